// Block steps with AVX2: 32 bytes a block. Only convert_euc.cpp, convert_jis.cpp and
// utf8_to_sjis.cpp are compiled with them (with -mavx2 -mbmi2, into namespace `wide`), and they are
// called only on processors that have AVX2 and BMI2. The steps are the SSE2 ones, twice as wide; where a step needs the byte before
// each byte, the shift crosses the two 16-byte halves.
#ifndef KARVEL_JPCODEC_BLOCKS_AVX2_H
#define KARVEL_JPCODEC_BLOCKS_AVX2_H

#include <immintrin.h>

#include <cstdint>

#include "jpcodec/internal.h"

namespace jpcodec {
namespace wide {

inline constexpr int32_t kBlockBytes = 32;

inline __m256i LoadBlock(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Byte k of the result is 0xFF where byte k of `v` lies in [lo, hi].
inline __m256i InRangeBytes(__m256i v, uint8_t lo, uint8_t hi) {
  const __m256i shifted = _mm256_sub_epi8(v, _mm256_set1_epi8(static_cast<char>(lo)));
  const __m256i over = _mm256_subs_epu8(shifted, _mm256_set1_epi8(static_cast<char>(hi - lo)));
  return _mm256_cmpeq_epi8(over, _mm256_setzero_si256());
}

// Bit k set when byte k of `v` lies in [lo, hi].
inline uint32_t InRangeMask(__m256i v, uint8_t lo, uint8_t hi) {
  return static_cast<uint32_t>(_mm256_movemask_epi8(InRangeBytes(v, lo, hi)));
}

inline uint32_t EqualMask(__m256i v, uint8_t value) {
  return static_cast<uint32_t>(
      _mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(value)))));
}

// Count of the mask's leading (low-order) set bits, at most kBlockBytes.
inline int32_t LeadingOnes(uint32_t mask) { return __builtin_ctzll(~static_cast<uint64_t>(mask)); }

inline int32_t LeadingInRange(const uint8_t* p, uint8_t lo, uint8_t hi) {
  return LeadingOnes(InRangeMask(LoadBlock(p), lo, hi));
}

// Leading bytes that are neither NUL nor ESC: what single-byte mode of JIS text copies.
inline int32_t LeadingPlainBytes(const uint8_t* p) {
  const __m256i v = LoadBlock(p);
  return LeadingOnes(~(EqualMask(v, 0x00) | EqualMask(v, 0x1B)));
}

inline bool AllInRange(const uint8_t* p, uint8_t lo, uint8_t hi) {
  return InRangeMask(LoadBlock(p), lo, hi) == 0xFFFFFFFFu;
}

inline void CopyBlock(uint8_t* to, const uint8_t* from) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), LoadBlock(from));
}

// JisToSjis on the sixteen pairs at `from` after subtracting `bias` (0x80 for EUC-JP, 0 for JIS),
// written to `to`; only for bytes 0x21-0x7E after the bias. One pair per 16-bit lane.
inline void ConvertPairBlock(uint8_t* to, const uint8_t* from, uint8_t bias) {
  const __m256i v = _mm256_sub_epi8(LoadBlock(from), _mm256_set1_epi8(static_cast<char>(bias)));
  const __m256i a = _mm256_and_si256(v, _mm256_set1_epi16(0x00FF));
  const __m256i b = _mm256_srli_epi16(v, 8);
  const __m256i half = _mm256_srli_epi16(_mm256_add_epi16(a, _mm256_set1_epi16(1)), 1);
  const __m256i upper =
      _mm256_and_si256(_mm256_cmpgt_epi16(half, _mm256_set1_epi16(0x2F)), _mm256_set1_epi16(0x40));
  const __m256i first = _mm256_add_epi16(_mm256_add_epi16(half, _mm256_set1_epi16(0x70)), upper);
  const __m256i oddMask = _mm256_srai_epi16(_mm256_slli_epi16(a, 15), 15);
  const __m256i below60 = _mm256_cmpgt_epi16(_mm256_set1_epi16(0x60), b);
  const __m256i oddAdjust =
      _mm256_and_si256(oddMask, _mm256_add_epi16(below60, _mm256_set1_epi16(0x20 - 0x7E)));
  const __m256i second = _mm256_add_epi16(b, _mm256_add_epi16(oddAdjust, _mm256_set1_epi16(0x7E)));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), _mm256_or_si256(first, _mm256_slli_epi16(second, 8)));
}

// The EUC-JP window of 32 bytes at `from` (a character start): converts its prefix of ASCII and
// complete two-byte characters, in any mix, and returns how many bytes that prefix covers.
inline int32_t ConvertEucWindow(uint8_t* to, const uint8_t* from) {
  const __m256i v = LoadBlock(from);
  const __m256i eucBytes = InRangeBytes(v, 0xA1, 0xFE);
  const uint64_t euc = static_cast<uint32_t>(_mm256_movemask_epi8(eucBytes));
  const uint64_t ascii = InRangeMask(v, 0x01, 0x7F);
  // First bytes sit at the even offsets of each run of EUC bytes (see the SSE2 window).
  const uint64_t starts = euc & ~(euc << 1);
  const uint64_t evenRuns = (euc + (starts & 0xAAAAAAAAu)) & euc;
  const uint64_t leads = (evenRuns & 0x55555555u) | (euc & ~evenRuns & 0xAAAAAAAAu);
  const uint64_t stops = (leads & ~(euc >> 1)) | (~(ascii | euc) & 0xFFFFFFFFu) | (uint64_t{1} << 32);
  const int32_t covered = __builtin_ctzll(stops);

  // Byte k of leadBytes is 0xFF where bit k of `leads` is set: each 16-byte half picks its two
  // mask bytes, then each byte tests its own bit.
  const __m256i spread = _mm256_shuffle_epi8(
      _mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(leads))),
      _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3,
                       3, 3, 3));
  const __m256i bits = _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4,
                                        8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
  const __m256i leadBytes = _mm256_cmpeq_epi8(_mm256_and_si256(spread, bits), bits);
  const __m256i trailBytes = _mm256_andnot_si256(leadBytes, eucBytes);

  const __m256i x = _mm256_sub_epi8(v, _mm256_set1_epi8(static_cast<char>(0x80)));
  const __m256i leadOut = _mm256_add_epi8(
      _mm256_add_epi8(_mm256_avg_epu8(x, _mm256_setzero_si256()), _mm256_set1_epi8(0x70)),
      _mm256_and_si256(_mm256_cmpgt_epi8(x, _mm256_set1_epi8(0x5E)), _mm256_set1_epi8(0x40)));
  // The byte before each byte: the high half's first byte takes the low half's last.
  const __m256i previous = _mm256_alignr_epi8(x, _mm256_permute2x128_si256(x, x, 0x08), 15);
  const __m256i afterOdd = _mm256_slli_epi16(previous, 7);  // a's low bit, now each byte's top bit
  const __m256i oddPrevious = _mm256_cmpgt_epi8(_mm256_setzero_si256(), afterOdd);
  const __m256i below60 = _mm256_cmpgt_epi8(_mm256_set1_epi8(0x60), x);
  const __m256i trailAdd = _mm256_add_epi8(
      _mm256_set1_epi8(0x7E),
      _mm256_and_si256(oddPrevious, _mm256_add_epi8(below60, _mm256_set1_epi8(0x20 - 0x7E))));
  const __m256i trailOut = _mm256_add_epi8(x, trailAdd);

  __m256i out = _mm256_or_si256(_mm256_and_si256(leadBytes, leadOut), _mm256_and_si256(trailBytes, trailOut));
  out = _mm256_or_si256(out, _mm256_andnot_si256(eucBytes, v));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), out);
  return covered;
}

}  // namespace wide
}  // namespace jpcodec

#endif  // KARVEL_JPCODEC_BLOCKS_AVX2_H
