// DecodeCp932: one character at a time, two-byte codes through the index table.
#include "jpcodec/cp932_decode.h"

#include "jpcodec/cp932_decode_table.h"

namespace jpcodec {

namespace {

constexpr uint32_t kReplacement = 0xFFFD;
// A1 is U+FF61 (｡), and the half-width katakana follow it in order up to DF, U+FF9F (ﾟ).
constexpr uint8_t kFirstKatakana = 0xA1;
constexpr uint8_t kLastKatakana = 0xDF;
constexpr uint32_t kFirstKatakanaCode = 0xFF61;
// The user-defined rows F0-F9 (pointers 8836 to 10715) are the private use area from U+E000 on.
constexpr uint32_t kFirstUserPointer = 8836;
constexpr uint32_t kLastUserPointer = 10715;
constexpr uint32_t kFirstUserCode = 0xE000;

bool IsLead(uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
bool IsTrail(uint8_t b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC); }

// The code point of the pair `lead` `trail` (lead is a lead byte), 0 when it has none.
uint32_t PairCode(uint8_t lead, uint8_t trail) {
  if (!IsTrail(trail)) return 0;
  const uint32_t pointer = (lead - (lead < 0xA0 ? 0x81 : 0xC1)) * 188u + trail - (trail < 0x7F ? 0x40 : 0x41);
  if (pointer >= kFirstUserPointer && pointer <= kLastUserPointer) return kFirstUserCode + (pointer - kFirstUserPointer);
  return kCp932CodePoints[pointer];
}

// Every code point here lies below U+10000: at most three bytes of UTF-8.
size_t Utf8Length(uint32_t code) { return code < 0x80 ? 1 : code < 0x800 ? 2 : 3; }

void PutUtf8(uint32_t code, uint8_t* out) {
  if (code < 0x80) {
    out[0] = static_cast<uint8_t>(code);
  } else if (code < 0x800) {
    out[0] = static_cast<uint8_t>(0xC0 | (code >> 6));
    out[1] = static_cast<uint8_t>(0x80 | (code & 0x3F));
  } else {
    out[0] = static_cast<uint8_t>(0xE0 | (code >> 12));
    out[1] = static_cast<uint8_t>(0x80 | ((code >> 6) & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | (code & 0x3F));
  }
}

}  // namespace

bool DecodeCp932(const uint8_t* in, size_t length, uint8_t* out, size_t room, size_t* written) {
  size_t i = 0;
  size_t j = 0;
  while (i < length) {
    const uint8_t b = in[i];
    uint32_t code = kReplacement;
    size_t taken = 1;
    if (b <= 0x80) {
      code = b;
    } else if (b >= kFirstKatakana && b <= kLastKatakana) {
      code = kFirstKatakanaCode + (b - kFirstKatakana);
    } else if (IsLead(b) && i + 1 < length) {
      const uint32_t pair = PairCode(b, in[i + 1]);
      if (pair != 0) {
        code = pair;
        taken = 2;
      }
    }
    const size_t size = Utf8Length(code);
    if (room - j < size) {
      *written = j;
      return false;
    }
    PutUtf8(code, out + j);
    j += size;
    i += taken;
  }
  *written = j;
  return true;
}

}  // namespace jpcodec
