// The pieces behind ConvertUtf8ToSjis: its loop in both block widths and the table of three-byte
// sequences they share.
#ifndef KARVEL_JPCODEC_UTF8_TO_SJIS_INTERNAL_H
#define KARVEL_JPCODEC_UTF8_TO_SJIS_INTERNAL_H

#include <cstddef>
#include <cstdint>

namespace jpcodec {

// The two-byte codes of three-byte sequences (1110xxxx 10yyyyyy 10zzzzzz), indexed by the
// sequence's payload bits in the order they lie in memory: xxxx | yyyyyy << 4 | zzzzzz << 10, so a
// sequence needs no reassembly into its code point. Each entry holds its two bytes in output order
// (lead byte first in memory), to be stored with one copy; zero for an overlong form, a surrogate and
// a code point without a two-byte code, which take the general path. Built on the first call.
const uint16_t* ThreeByteSjisCodes();

// ConvertUtf8ToSjis in `narrow` (what the build targets) and, on x86-64, `wide` (AVX2 and BMI2)
// form, with the same results.
namespace narrow {
size_t ConvertUtf8ToSjis(const uint8_t* in, size_t length, uint8_t* out);
}  // namespace narrow
namespace wide {
size_t ConvertUtf8ToSjis(const uint8_t* in, size_t length, uint8_t* out);
}  // namespace wide

}  // namespace jpcodec

#endif  // KARVEL_JPCODEC_UTF8_TO_SJIS_INTERNAL_H
