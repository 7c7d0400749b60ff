// ConvertUtf8ToSjis's loop, compiled once per block width like the other converters; the wide build
// (x86-64 processors with AVX2 and BMI2) gathers two sequences' payload bits with one PEXT.
#include <cstring>

#if defined(__BMI2__) && !defined(JPCODEC_PLAIN)
#include <immintrin.h>
#endif

#include "jpcodec/blocks.h"
#include "jpcodec/utf8_sjis_table.h"
#include "jpcodec/utf8_to_sjis_internal.h"

namespace jpcodec {
namespace JPCODEC_BLOCKS {

namespace {

// Copies the ASCII at `in` up to the first other byte and returns how many bytes that was, a block
// at a time (32 bytes in the wide build, 16 with SSE2), for Japanese forms still carry long runs of
// it (numbers, addresses, markup). A block is stored whole, also past the run's end: that room
// belongs to the output still to come (no byte of input turns into more than four of output).
size_t CopyAscii(const uint8_t* in, size_t length, uint8_t* out) {
  size_t k = 0;
  for (; k + kBlockBytes <= length; k += kBlockBytes) {
    CopyBlock(out + k, in + k);
    const int32_t ascii = LeadingInRange(in + k, 0x00, 0x7F);
    if (ascii < kBlockBytes) return k + static_cast<size_t>(ascii);
  }
  for (; k < length && in[k] < 0x80; ++k) out[k] = in[k];
  return k;
}

// "&#NNNN;" for a code point without a mapping.
uint8_t* Reference(uint32_t code, uint8_t* out) {
  uint8_t digits[8];
  int count = 0;
  do {
    digits[count++] = static_cast<uint8_t>('0' + code % 10);
    code /= 10;
  } while (code != 0);
  *out++ = '&';
  *out++ = '#';
  while (count > 0) *out++ = digits[--count];
  *out++ = ';';
  return out;
}

uint8_t* Encode(uint32_t code, uint8_t* out) {
  // U+0080 is its own byte in code page 932, as ASCII is.
  if (code == 0x80) {
    *out++ = 0x80;
    return out;
  }
  const uint16_t* page = code <= 0xFFFF ? kSjisPages[code >> 8] : nullptr;
  const uint16_t bytes = page != nullptr ? page[code & 0xFF] : 0;
  if (bytes == 0) return Reference(code, out);
  if (bytes > 0xFF) *out++ = static_cast<uint8_t>(bytes >> 8);
  *out++ = static_cast<uint8_t>(bytes);
  return out;
}

// The payload bits of the sequence in the low three bytes of `w` (first byte lowest).
inline uint32_t ThreeByteIndex(uint64_t w) {
  return static_cast<uint32_t>((w & 0x0F) | ((w >> 4) & 0x3F0) | ((w >> 6) & 0xFC00));
}

// The indexes of the two sequences in the low six bytes of `w`: the first in the low 16 bits, the
// second in the next 16.
inline uint32_t ThreeBytePairIndexes(uint64_t w) {
#if defined(__BMI2__) && !defined(JPCODEC_PLAIN)
  return static_cast<uint32_t>(_pext_u64(w, 0x3F3F0F3F3F0Full));
#else
  return ThreeByteIndex(w) | ThreeByteIndex(w >> 24) << 16;
#endif
}

// Whether the low three bytes of `w` have the shape of a three-byte sequence (1110xxxx 10xxxxxx
// 10xxxxxx).
inline bool ThreeByteShape(uint64_t w) { return (w & 0xC0C0F0) == 0x8080E0; }

inline uint64_t Load64(const uint8_t* at) {
  uint64_t w;
  std::memcpy(&w, at, sizeof w);
  return w;
}

// Three-byte sequences with two-byte codes, where kana and kanji lie, two at a time: most of a
// Japanese text. Bytes are read eight at a time, the first in the lowest byte. Advances *i and
// *out over the pairs converted; stops before a pair that is not two such sequences, or where
// fewer than eight bytes are left.
inline void ConvertThreeBytePairs(const uint8_t* in, size_t length, const uint16_t* threeBytes, size_t* i,
                                  uint8_t** out) {
  while (*i + 8 <= length) {
    uint64_t w = Load64(in + *i);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    if ((w & 0xC0C0F0C0C0F0) != 0x8080E08080E0) return;
    const uint32_t both = ThreeBytePairIndexes(w);
    const uint16_t first = threeBytes[both & 0xFFFF];
    const uint16_t second = threeBytes[both >> 16];
    if (first == 0 || second == 0) return;
    std::memcpy(*out, &first, 2);
    std::memcpy(*out + 2, &second, 2);
    *out += 4;
    *i += 6;
  }
}

// One such sequence on its own (the last of a run, or near the end): true, *i and *out advanced,
// when the bytes at *i are one.
inline bool ConvertThreeByte(const uint8_t* in, size_t length, const uint16_t* threeBytes, size_t* i,
                             uint8_t** out) {
  if (*i + 3 > length) return false;
  const uint64_t w = in[*i] | (in[*i + 1] << 8) | (static_cast<uint32_t>(in[*i + 2]) << 16);
  const uint16_t bytes = ThreeByteShape(w) ? threeBytes[ThreeByteIndex(w)] : 0;
  if (bytes == 0) return false;
  std::memcpy(*out, &bytes, 2);
  *out += 2;
  *i += 3;
  return true;
}

// What the first byte of a multi-byte sequence says, as the UTF-8 decoder of the Encoding Standard
// takes it: how many continuation bytes follow, its payload bits, and the range of the second
// byte (so no overlong form, no surrogate and nothing above U+10FFFF passes).
struct SequenceStart {
  int nNeeded;
  uint32_t nCode;
  uint8_t bLower;
  uint8_t bUpper;
};

// False for a byte no sequence begins with (80-C1, F5-FF).
inline bool StartSequence(uint8_t lead, SequenceStart* start) {
  *start = SequenceStart{0, 0, 0x80, 0xBF};
  if (lead >= 0xC2 && lead <= 0xDF) {
    start->nNeeded = 1;
    start->nCode = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    start->nNeeded = 2;
    start->nCode = lead & 0x0F;
    if (lead == 0xE0) start->bLower = 0xA0;
    if (lead == 0xED) start->bUpper = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    start->nNeeded = 3;
    start->nCode = lead & 0x07;
    if (lead == 0xF0) start->bLower = 0x90;
    if (lead == 0xF4) start->bUpper = 0x8F;
  } else {
    return false;
  }
  return true;
}

// *code when the bytes at i are no whole sequence.
constexpr uint32_t kBrokenSequence = 0xFFFFFFFF;

// Decodes the sequence at in[i] (not ASCII) into *code, or kBrokenSequence when it is invalid or
// cut, and returns where the next one begins: after it, or, when it breaks, at the byte that broke
// it, which starts afresh (its valid beginning is one error). Always past i.
size_t DecodeSequence(const uint8_t* in, size_t length, size_t i, uint32_t* code) {
  SequenceStart start;
  *code = kBrokenSequence;
  if (!StartSequence(in[i], &start)) return i + 1;
  uint32_t decoded = start.nCode;
  uint8_t lower = start.bLower;
  uint8_t upper = start.bUpper;
  size_t j = i + 1;
  for (int k = 0; k < start.nNeeded; ++k, ++j) {
    if (j >= length || in[j] < lower || in[j] > upper) return j;
    decoded = (decoded << 6) | (in[j] & 0x3F);
    lower = 0x80;
    upper = 0xBF;
  }
  *code = decoded;
  return j;
}

}  // namespace

size_t ConvertUtf8ToSjis(const uint8_t* in, size_t length, uint8_t* out) {
  const uint16_t* const threeBytes = ThreeByteSjisCodes();
  uint8_t* const start = out;
  size_t i = 0;
  while (i < length) {
    // ASCII: copied as it is.
    if (in[i] < 0x80) {
      const size_t ascii = CopyAscii(in + i, length - i, out);
      out += ascii;
      i += ascii;
      continue;
    }
    // Kana and kanji, two at a time, then one on its own.
    ConvertThreeBytePairs(in, length, threeBytes, &i, &out);
    if (i == length || in[i] < 0x80) continue;
    if (ConvertThreeByte(in, length, threeBytes, &i, &out)) continue;
    // Anything else: one sequence decoded and encoded, or "?" for one that is broken.
    uint32_t code;
    i = DecodeSequence(in, length, i, &code);
    if (code == kBrokenSequence) {
      *out++ = kSubstitute;
    } else {
      out = Encode(code, out);
    }
  }
  return static_cast<size_t>(out - start);
}

}  // namespace JPCODEC_BLOCKS
}  // namespace jpcodec
