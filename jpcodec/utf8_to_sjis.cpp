#include "jpcodec/utf8_to_sjis.h"

#include <cstring>

#if defined(__SSE2__) && !defined(JPCODEC_PLAIN)
#include <emmintrin.h>
#endif

#include "jpcodec/utf8_sjis_table.h"

namespace jpcodec {

namespace {

// The bytes of ASCII before the first other byte, 16 at a time where SSE2 is at hand: Japanese
// forms still carry long runs of it (numbers, addresses, markup).
size_t AsciiRun(const uint8_t* in, size_t length) {
  size_t k = 0;
#if defined(__SSE2__) && !defined(JPCODEC_PLAIN)
  for (; k + 16 <= length; k += 16) {
    const int high = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + k)));
    if (high != 0) return k + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(high)));
  }
#endif
  while (k < length && in[k] < 0x80) ++k;
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

}  // namespace

size_t ConvertUtf8ToSjis(const uint8_t* in, size_t length, uint8_t* out) {
  uint8_t* const start = out;
  size_t i = 0;
  while (i < length) {
    // ASCII: copied as it is.
    const size_t ascii = AsciiRun(in + i, length - i);
    std::memcpy(out, in + i, ascii);
    out += ascii;
    i += ascii;
    if (i == length) break;

    // A multi-byte sequence: its length and the range of its second byte from the first, as the
    // UTF-8 decoder of the Encoding Standard takes them (no overlong forms, no surrogates, nothing
    // above U+10FFFF).
    const uint8_t lead = in[i];
    int needed = 0;
    uint32_t code = 0;
    uint8_t lower = 0x80, upper = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      needed = 1;
      code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      needed = 2;
      code = lead & 0x0F;
      if (lead == 0xE0) lower = 0xA0;
      if (lead == 0xED) upper = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      needed = 3;
      code = lead & 0x07;
      if (lead == 0xF0) lower = 0x90;
      if (lead == 0xF4) upper = 0x8F;
    } else {
      *out++ = '?';  // a byte no sequence begins with
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool whole = true;
    for (int k = 0; k < needed; ++k, ++j) {
      if (j >= length || in[j] < lower || in[j] > upper) {
        whole = false;
        break;
      }
      code = (code << 6) | (in[j] & 0x3F);
      lower = 0x80;
      upper = 0xBF;
    }
    if (!whole) {
      // The sequence's valid beginning is one error; the byte that broke it starts afresh.
      *out++ = '?';
      i = j;
      continue;
    }
    out = Encode(code, out);
    i = j;
  }
  return static_cast<size_t>(out - start);
}

}  // namespace jpcodec
