// The three-byte sequence table, unfolded from the code point pages once: 128 KiB that spare the
// converter the shifts and the two lookups of each kana and kanji.
#include <cstring>

#include "jpcodec/utf8_sjis_table.h"
#include "jpcodec/utf8_to_sjis_internal.h"

namespace jpcodec {

namespace {

struct ThreeByteTable {
  uint16_t codes[0x10000];
  ThreeByteTable() {
    for (uint32_t index = 0; index < 0x10000; ++index) {
      const uint32_t code = ((index & 0x0F) << 12) | (((index >> 4) & 0x3F) << 6) | (index >> 10);
      const uint16_t* page = kSjisPages[code >> 8];
      const uint16_t bytes = page != nullptr ? page[code & 0xFF] : 0;
      const bool wellFormed = code >= 0x800 && (code < 0xD800 || code > 0xDFFF);
      const uint8_t inOrder[2] = {static_cast<uint8_t>(bytes >> 8), static_cast<uint8_t>(bytes)};
      codes[index] = 0;
      if (wellFormed && bytes > 0xFF) std::memcpy(&codes[index], inOrder, 2);
    }
  }
};

}  // namespace

const uint16_t* ThreeByteSjisCodes() {
  static const ThreeByteTable table;
  return table.codes;
}

}  // namespace jpcodec
