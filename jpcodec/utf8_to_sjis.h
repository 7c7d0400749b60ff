// UTF-8 text to Shift-JIS as code page 932 (Windows-31J) encodes it: the mapping browsers use when
// they submit a Shift_JIS form, so a value typed on a UTF-8 page reaches a back-end as it would
// from a Shift_JIS page. Not exported: the extension links it itself.
#ifndef KARVEL_JPCODEC_UTF8_TO_SJIS_H
#define KARVEL_JPCODEC_UTF8_TO_SJIS_H

#include <cstddef>
#include <cstdint>

namespace jpcodec {

// The most bytes ConvertUtf8ToSjis writes for `length` input bytes (a two-byte character without a
// mapping becomes a seven-byte reference).
constexpr size_t Utf8ToSjisRoom(size_t length) { return length * 4 + 1; }

// Converts the `length` bytes at `in` into `out`, which holds Utf8ToSjisRoom(length) bytes, and
// returns the bytes written (no NUL is added; a NUL in the input is one in the output). A character
// without a mapping becomes a decimal character reference "&#NNNN;", as browsers send it for a
// Shift_JIS form; each invalid or cut sequence (its longest valid beginning) becomes "?".
size_t ConvertUtf8ToSjis(const uint8_t* in, size_t length, uint8_t* out);

}  // namespace jpcodec

#endif  // KARVEL_JPCODEC_UTF8_TO_SJIS_H
