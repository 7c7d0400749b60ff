// The code point of every two-byte code page 932 code, from the WHATWG Encoding Standard's
// index-jis0208. jpcodec/tables/make_cp932_decode_table.py makes the table, and from the same index
// the back-end kit's copy of it (backend/karvel_cp932_table.h), entry for entry.
#ifndef KARVEL_JPCODEC_CP932_DECODE_TABLE_H
#define KARVEL_JPCODEC_CP932_DECODE_TABLE_H

#include <cstdint>

namespace jpcodec {

// Leads 81-9F and E0-FC, 188 trails each (40-7E and 80-FC).
inline constexpr int kCp932Pointers = 60 * 188;

// By pointer, (lead - (lead < 0xA0 ? 0x81 : 0xC1)) * 188 + trail - (trail < 0x7F ? 0x40 : 0x41): the
// code point, 0 where the code has none. The user-defined rows (F040-F9FC) follow a rule instead
// and are 0 here.
extern const uint16_t kCp932CodePoints[kCp932Pointers];

}  // namespace jpcodec

#endif  // KARVEL_JPCODEC_CP932_DECODE_TABLE_H
