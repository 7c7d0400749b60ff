// The code page 932 bytes of every code point above U+0080 that has them, from the WHATWG
// Encoding Standard's Shift_JIS encoder (jpcodec/tables/make_utf8_sjis_table.py makes the table).
#ifndef KARVEL_JPCODEC_UTF8_SJIS_TABLE_H
#define KARVEL_JPCODEC_UTF8_SJIS_TABLE_H

#include <cstdint>

namespace jpcodec {

// By the code point's high byte: its page of 256 entries, or null when the page has none. An entry
// is 0 (no mapping), a single byte (below 0x100) or lead << 8 | trail.
extern const uint16_t* const kSjisPages[256];

}  // namespace jpcodec

#endif  // KARVEL_JPCODEC_UTF8_SJIS_TABLE_H
