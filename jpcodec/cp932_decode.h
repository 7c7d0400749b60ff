// Code page 932 (Windows-31J) text to UTF-8, as the back-end kit's DecodeValue decodes a value and
// browsers decode a Shift_JIS page: an upload's Shift-JIS name becomes the name a Windows program
// sees. Not exported: the extension links it itself.
#ifndef KARVEL_JPCODEC_CP932_DECODE_H
#define KARVEL_JPCODEC_CP932_DECODE_H

#include <cstddef>
#include <cstdint>

namespace jpcodec {

// The most bytes DecodeCp932 writes for `length` input bytes: three for one (a half-width katakana
// byte, or a byte that begins no character and becomes U+FFFD).
constexpr size_t Cp932ToUtf8Room(size_t length) { return length * 3; }

// Decodes the `length` bytes at `in` into `out`, which holds `room` bytes, and sets *written to
// the bytes written (no NUL is added; a NUL in the input is one in the output). Bytes up to 0x80
// are themselves, A1-DF half-width katakana (U+FF61-U+FF9F), the user-defined codes F040-F9FC
// U+E000-U+E757. A byte that begins no character becomes U+FFFD; so does a lead byte whose pair has
// no character (or that ends the input), and the byte after it is read again: nothing valid is
// lost. False when the next character does not fit in `room`: `out` then holds the characters
// before it, and nothing is written past `room`.
bool DecodeCp932(const uint8_t* in, size_t length, uint8_t* out, size_t room, size_t* written);

}  // namespace jpcodec

#endif  // KARVEL_JPCODEC_CP932_DECODE_H
