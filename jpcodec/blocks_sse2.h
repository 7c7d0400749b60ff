// Block steps with SSE2: 16 bytes a block (any x86-64, and i686 builds that enable SSE2).
#ifndef KARVEL_JPCODEC_BLOCKS_SSE2_H
#define KARVEL_JPCODEC_BLOCKS_SSE2_H

#include <emmintrin.h>

#include <cstdint>

#include "jpcodec/internal.h"

namespace jpcodec {
namespace narrow {

inline constexpr int32_t kBlockBytes = 16;

inline __m128i LoadBlock(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Bit k set when byte k of `v` lies in [lo, hi].
inline unsigned InRangeMask(__m128i v, uint8_t lo, uint8_t hi) {
  const __m128i shifted = _mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(lo)));
  const __m128i over = _mm_subs_epu8(shifted, _mm_set1_epi8(static_cast<char>(hi - lo)));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(over, _mm_setzero_si128())));
}

inline unsigned EqualMask(__m128i v, uint8_t value) {
  return static_cast<unsigned>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(value)))));
}

// Count of the mask's leading (low-order) set bits, at most kBlockBytes.
inline int32_t LeadingOnes(unsigned mask) {
  return __builtin_ctz(~mask | (1u << kBlockBytes));
}

// Leading bytes in [lo, hi].
inline int32_t LeadingInRange(const uint8_t* p, uint8_t lo, uint8_t hi) {
  return LeadingOnes(InRangeMask(LoadBlock(p), lo, hi));
}

// Leading bytes that are neither NUL nor ESC: what single-byte mode of JIS text copies.
inline int32_t LeadingPlainBytes(const uint8_t* p) {
  const __m128i v = LoadBlock(p);
  return LeadingOnes(~(EqualMask(v, 0x00) | EqualMask(v, 0x1B)) & 0xFFFFu);
}

// Leading bytes that decide nothing and start nothing: 0x01-0x7F but ESC.
inline int32_t LeadingUndecidedAscii(const uint8_t* p) {
  const __m128i v = LoadBlock(p);
  return LeadingOnes(InRangeMask(v, 0x01, 0x7F) & ~EqualMask(v, 0x1B));
}

// Whether all bytes of the block are in [lo, hi].
inline bool AllInRange(const uint8_t* p, uint8_t lo, uint8_t hi) {
  return InRangeMask(LoadBlock(p), lo, hi) == 0xFFFFu;
}

// Whether all bytes of the four blocks at `p` decide nothing: no NUL, no ESC, no 8-bit byte.
inline bool AllUndecidedAscii4(const uint8_t* p) {
  __m128i bad = _mm_setzero_si128();
  for (int k = 0; k < 4; ++k) {
    const __m128i v = LoadBlock(p + k * kBlockBytes);
    const __m128i special = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_setzero_si128()),
                                         _mm_cmpeq_epi8(v, _mm_set1_epi8(0x1B)));
    bad = _mm_or_si128(bad, _mm_or_si128(v, special));  // high bit: 8-bit byte, NUL or ESC
  }
  return _mm_movemask_epi8(bad) == 0;
}

inline void CopyBlock(uint8_t* to, const uint8_t* from) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to), LoadBlock(from));
}

// JisToSjis on the eight pairs at `from` after subtracting `bias` from every byte (0x80 for EUC-JP,
// 0 for JIS), written to `to`. Only for bytes that are 0x21-0x7E after the bias, where no sum
// wraps. Each pair is one 16-bit lane: first byte low, second byte high.
inline void ConvertPairBlock(uint8_t* to, const uint8_t* from, uint8_t bias) {
  const __m128i v = _mm_sub_epi8(LoadBlock(from), _mm_set1_epi8(static_cast<char>(bias)));
  const __m128i a = _mm_and_si128(v, _mm_set1_epi16(0x00FF));
  const __m128i b = _mm_srli_epi16(v, 8);
  // first = ((a + 1) >> 1) + 0x70, and 0x40 more from a = 0x5F on, where (a + 1) >> 1 >= 0x30
  const __m128i half = _mm_srli_epi16(_mm_add_epi16(a, _mm_set1_epi16(1)), 1);
  const __m128i upper = _mm_and_si128(_mm_cmpgt_epi16(half, _mm_set1_epi16(0x2F)), _mm_set1_epi16(0x40));
  const __m128i first = _mm_add_epi16(_mm_add_epi16(half, _mm_set1_epi16(0x70)), upper);
  // second = b + 0x7E when a is even; when odd, b + 0x1F below 0x60 and b + 0x20 from 0x60 on
  const __m128i oddMask = _mm_srai_epi16(_mm_slli_epi16(a, 15), 15);   // -1 where a is odd
  const __m128i below60 = _mm_cmplt_epi16(b, _mm_set1_epi16(0x60));    // -1 where b < 0x60
  const __m128i oddAdjust = _mm_and_si128(oddMask, _mm_add_epi16(below60, _mm_set1_epi16(0x20 - 0x7E)));
  const __m128i second = _mm_add_epi16(b, _mm_add_epi16(oddAdjust, _mm_set1_epi16(0x7E)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_or_si128(first, _mm_slli_epi16(second, 8)));
}

// Converts the EUC-JP window of kBlockBytes at `from` (a character start) into `to` where it holds
// only ASCII (0x01-0x7F) and complete two-byte characters (both bytes 0xA1-0xFE) in any mix, and
// returns how many bytes that prefix covers (0: none). The whole window is written; only the prefix
// counts. This is where runs change: one step with no branch on the run lengths.
inline int32_t ConvertEucWindow(uint8_t* to, const uint8_t* from) {
  const __m128i v = LoadBlock(from);
  const __m128i eucBytes = _mm_cmpeq_epi8(
      _mm_subs_epu8(_mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(0xA1))), _mm_set1_epi8(0xFE - 0xA1)),
      _mm_setzero_si128());
  const unsigned euc = static_cast<unsigned>(_mm_movemask_epi8(eucBytes));
  const unsigned ascii = InRangeMask(v, 0x01, 0x7F);
  // Each run of EUC bytes starts with a first byte, and first bytes sit at its even offsets. Adding
  // a run's start bit carries through the run and clears it, which tells runs that start at odd
  // positions from those that start at even ones.
  const unsigned starts = euc & ~(euc << 1);
  const unsigned evenRuns = (euc + (starts & 0xAAAAu)) & euc;
  const unsigned leads = (evenRuns & 0x5555u) | (euc & ~evenRuns & 0xAAAAu);
  // Stop before a first byte whose second byte is not an EUC byte of this window, and before any
  // byte that is neither kind.
  const unsigned stops = (leads & ~(euc >> 1)) | (~(ascii | euc) & 0xFFFFu) | 0x10000u;
  const int32_t covered = __builtin_ctz(stops);

  // Byte k of leadBytes is 0xFF where bit k of `leads` is set.
  const __m128i bits = _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
  const __m128i spread = _mm_set_epi64x(static_cast<long long>(0x0101010101010101ull * (leads >> 8)),
                                        static_cast<long long>(0x0101010101010101ull * (leads & 0xFF)));
  const __m128i leadBytes = _mm_cmpeq_epi8(_mm_and_si128(spread, bits), bits);
  const __m128i trailBytes = _mm_andnot_si128(leadBytes, eucBytes);

  const __m128i x = _mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(0x80)));  // JIS row and cell
  // first byte: ((a + 1) >> 1) + 0x70, and 0x40 more from a = 0x5F on
  const __m128i leadOut = _mm_add_epi8(
      _mm_add_epi8(_mm_avg_epu8(x, _mm_setzero_si128()), _mm_set1_epi8(0x70)),
      _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(0x5E)), _mm_set1_epi8(0x40)));
  // second byte: b + 0x7E after an even a; after an odd a, b + 0x1F below 0x60, b + 0x20 from it on
  const __m128i afterOdd = _mm_slli_epi16(_mm_slli_si128(x, 1), 7);  // a's low bit, now the top bit
  const __m128i oddPrevious = _mm_cmplt_epi8(afterOdd, _mm_setzero_si128());
  const __m128i below60 = _mm_cmpgt_epi8(_mm_set1_epi8(0x60), x);
  const __m128i trailAdd = _mm_add_epi8(
      _mm_set1_epi8(0x7E), _mm_and_si128(oddPrevious, _mm_add_epi8(below60, _mm_set1_epi8(0x20 - 0x7E))));
  const __m128i trailOut = _mm_add_epi8(x, trailAdd);

  __m128i out = _mm_or_si128(_mm_and_si128(leadBytes, leadOut), _mm_and_si128(trailBytes, trailOut));
  out = _mm_or_si128(out, _mm_andnot_si128(eucBytes, v));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to), out);
  return covered;
}

}  // namespace narrow
}  // namespace jpcodec

#endif  // KARVEL_JPCODEC_BLOCKS_SSE2_H
