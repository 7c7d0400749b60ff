#include "tools/dump/shown_text.h"

#include <cstdio>

#include "karvel_cp932.h"

namespace {

void AppendByteEscape(std::string* out, unsigned char byte) {
  char text[8];
  std::snprintf(text, sizeof text, "\\x%02X", byte);
  *out += text;
}

// An ASCII byte as shown; false when it is no ASCII byte.
bool AppendAscii(std::string* out, unsigned char byte) {
  if (byte >= 0x80) return false;
  switch (byte) {
    case '\\': *out += "\\\\"; return true;
    case '\t': *out += "\\t"; return true;
    case '\r': *out += "\\r"; return true;
    case '\n': *out += "\\n"; return true;
    default: break;
  }
  if (byte < 0x20 || byte == 0x7F) {
    AppendByteEscape(out, byte);
  } else {
    out->push_back(static_cast<char>(byte));
  }
  return true;
}

bool IsLeadByte(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

// The length of the valid UTF-8 sequence at the start of `bytes`, 0 when there is none (overlong
// forms, surrogates and code points past U+10FFFF are none).
size_t Utf8SequenceLength(std::string_view bytes) {
  const auto b0 = static_cast<unsigned char>(bytes[0]);
  size_t length = 0;
  uint32_t low = 0;
  uint32_t code = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2, low = 0x80, code = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3, low = 0x800, code = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4, low = 0x10000, code = b0 & 0x07;
  } else {
    return 0;
  }
  if (bytes.size() < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    const auto b = static_cast<unsigned char>(bytes[k]);
    if ((b & 0xC0) != 0x80) return 0;
    code = code << 6 | (b & 0x3F);
  }
  if (code < low || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  // C1 controls (U+0080-U+009F) are escaped as controls.
  if (code < 0xA0) return 0;
  return length;
}

}  // namespace

std::string ShownCp932(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (AppendAscii(&out, byte)) continue;
    if (byte >= 0xA1 && byte <= 0xDF) {
      out += karvel::DecodeValue(bytes.substr(i, 1));
      continue;
    }
    // A pair decodes to one character, never to the replacement character, when it is one.
    if (IsLeadByte(byte) && i + 1 < bytes.size()) {
      const std::string pair = karvel::DecodeValue(bytes.substr(i, 2));
      if (pair.compare(0, 3, "\xEF\xBF\xBD") != 0) {
        out += pair;
        ++i;
        continue;
      }
    }
    AppendByteEscape(&out, byte);
  }
  return out;
}

std::string ShownUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 4);
  for (size_t i = 0; i < bytes.size();) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (AppendAscii(&out, byte)) {
      ++i;
      continue;
    }
    const size_t length = Utf8SequenceLength(bytes.substr(i));
    if (length == 0) {
      AppendByteEscape(&out, byte);
      ++i;
    } else {
      out.append(bytes.data() + i, length);
      i += length;
    }
  }
  return out;
}

std::string HexOf(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (!out.empty()) out.push_back(' ');
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 0x0F]);
  }
  return out;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (byte < 0x20 || byte == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}
