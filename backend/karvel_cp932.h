// karvel back-end kit (C++17, header only): field values as text.
//
// The server writes every converted value in Shift-JIS as Windows code page 932 (Windows-31J)
// encodes it: NEC and IBM extension characters (①, ㈱, 髙, 﨑) included, 〜 as 81 60. Decode
// values with code page 932, not with a plain Shift_JIS (JIS X 0208) decoder, which loses those.
// A character the form's page could not encode arrives as a decimal reference, "&#128512;".
#ifndef KARVEL_BACKEND_KARVEL_CP932_H
#define KARVEL_BACKEND_KARVEL_CP932_H

#include <cstdint>
#include <string>
#include <string_view>

#include "karvel_cp932_table.h"

namespace karvel {

namespace detail {

inline void AppendUtf8(std::string* out, uint32_t code) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

}  // namespace detail

// `value` (code page 932) as UTF-8, decoded as browsers decode Shift_JIS pages: bytes up to 0x80
// are themselves, A1-DF half-width katakana, user-defined codes (F040-F9FC) U+E000-U+E757. A byte
// that begins no character becomes U+FFFD; so does a lead byte whose pair has no character, and
// the byte after it is read again (as Python's cp932 codec does: nothing valid is lost).
inline std::string DecodeValue(std::string_view value) {
  std::string out;
  out.reserve(value.size() + value.size() / 2);
  for (size_t i = 0; i < value.size(); ++i) {
    const auto byte = static_cast<unsigned char>(value[i]);
    if (byte <= 0x80) {
      detail::AppendUtf8(&out, byte);
      continue;
    }
    if (byte >= 0xA1 && byte <= 0xDF) {
      detail::AppendUtf8(&out, 0xFF61 + (byte - 0xA1));
      continue;
    }
    const bool lead = (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    if (!lead || i + 1 == value.size()) {
      detail::AppendUtf8(&out, 0xFFFD);
      continue;
    }
    const auto trail = static_cast<unsigned char>(value[i + 1]);
    uint32_t code = 0;
    if ((trail >= 0x40 && trail <= 0x7E) || (trail >= 0x80 && trail <= 0xFC)) {
      const uint32_t pointer = (byte - (byte < 0xA0 ? 0x81 : 0xC1)) * 188u + trail - (trail < 0x7F ? 0x40 : 0x41);
      code = pointer >= 8836 && pointer <= 10715 ? 0xE000 + (pointer - 8836) : detail::kCp932CodePoints[pointer];
    }
    detail::AppendUtf8(&out, code != 0 ? code : 0xFFFD);
    if (code != 0) ++i;
  }
  return out;
}

}  // namespace karvel

#endif  // KARVEL_BACKEND_KARVEL_CP932_H
