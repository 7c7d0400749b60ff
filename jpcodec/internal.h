// The converter's steps, shared by its source files and by the tests. Nothing here is exported;
// what the extension may call besides the export is in converters.h.
//
// Positions are signed 32-bit like the lengths callers pass; ConvertText refuses any `len` that does
// not fit, so every index below stays in [0, len].
#ifndef KARVEL_JPCODEC_INTERNAL_H
#define KARVEL_JPCODEC_INTERNAL_H

#include <cstdint>

#include "jpcodec/converters.h"

namespace jpcodec {

// What a byte or a sequence that makes no character becomes in the Shift-JIS output.
inline constexpr uint8_t kSubstitute = '?';

// One row of the half-width katakana table: the half-width byte that selects it (kNoKey: reached
// only as the voiced or semi-voiced neighbour of a keyed row) and its full-width Shift-JIS bytes.
struct KatakanaRow {
  uint8_t bKey;
  uint8_t bLead;
  uint8_t bTrail;
};
inline constexpr uint8_t kNoKey = 0x00;
inline constexpr int kKatakanaRows = 92;
extern const KatakanaRow kKatakanaTable[kKatakanaRows];

// Write the Shift-JIS form of the text into `scratch` (`len` bytes) and return the converted
// text's length t: scratch[t] is its NUL when t < len, and t = len means the output filled the
// buffer without one. The source text ends at a NUL at a character start or at `len`; when the pair
// arithmetic makes a NUL byte the output text ends there too (nothing after it could reach the
// caller). No unwritten scratch byte lies before t + 1. Neither reads at `len` or beyond.
// ConvertJis cuts text that would outgrow the buffer at a character boundary, keeping room for the
// NUL; ConvertEuc never outgrows it (each character shrinks or keeps its size).
// Each comes in two block widths with the same results: `narrow` (SSE2 or plain steps, what the
// build targets) and, on x86-64, `wide` (AVX2 steps, for processors that have AVX2 and BMI2).
//
// The Piece forms convert one piece of a longer text, as the whole text's conversion converts it:
// a piece that is not the last (bLast false) leaves a character that might need bytes behind the
// piece (at most its last 5 bytes) untaken, for the next piece to begin with. nLimit is the most
// output bytes the piece may write (JIS: the room the whole text has left; a NUL is not written);
// the JIS mode goes from piece to piece in nMode. They return the bytes written; `scratch` needs
// room for twice `len` bytes and a block more.
struct TextPiece {
  bool bLast;       // in: the piece ends the text
  int32_t nLimit;   // in: JIS output room
  int32_t nMode;    // in and out: JIS mode at the piece's start, then at its end
  int32_t nTaken;   // out: source bytes used
  bool bEnded;      // out: the text ended in the piece (a NUL, or no room): nothing after it counts
};
namespace narrow {
int32_t ConvertJis(const uint8_t* buf, uint8_t* scratch, int32_t len);
int32_t ConvertEuc(const uint8_t* buf, uint8_t* scratch, int32_t len);
int32_t ConvertJisPiece(const uint8_t* buf, uint8_t* scratch, int32_t len, TextPiece* piece);
int32_t ConvertEucPiece(const uint8_t* buf, uint8_t* scratch, int32_t len, TextPiece* piece);
}  // namespace narrow
namespace wide {
int32_t ConvertJis(const uint8_t* buf, uint8_t* scratch, int32_t len);
int32_t ConvertEuc(const uint8_t* buf, uint8_t* scratch, int32_t len);
int32_t ConvertJisPiece(const uint8_t* buf, uint8_t* scratch, int32_t len, TextPiece* piece);
int32_t ConvertEucPiece(const uint8_t* buf, uint8_t* scratch, int32_t len, TextPiece* piece);
}  // namespace wide

// Rewrites a JIS X 0208 row/cell pair in place as its Shift-JIS pair.
//
// JIS X 0208 places a character at row r and cell c, 1 to 94 each, and writes it as the bytes
// a = r + 0x20 and b = c + 0x20 (0x21-0x7E): so in JIS text, and in EUC-JP with the high bit set
// (the callers take 0x80 off first). Shift-JIS puts two rows under one lead byte: a lead byte has
// 188 trail bytes, 0x40-0x7E and 0x80-0xFC (0x7F, DEL, is never one), the first 94 for the odd
// row r, the last 94 for the even row r + 1.
//
// Lead byte. Rows 1-62 give 0x81-0x9F, that is (r + 1) / 2 + 0x80. Rows 63-94 would give
// 0xA0-0xAF, but 0xA0-0xDF lead no pair (0xA1-0xDF are the half-width katakana), so these rows
// move 0x40 up, to 0xE0-0xEF. In terms of a, (a + 1) / 2 is (r + 1) / 2 + 0x10 (0x20 is even, so
// both round down alike): the lead is (a + 1) / 2 + 0x70, and (a + 1) / 2 + 0xB0 from row 63
// (a = 0x5F) on.
//
// Trail byte. a is odd exactly where r is. An odd row's cells 1-63 give 0x40-0x7E, c + 0x3F, that
// is b + 0x1F; its cells 64-94 (b = 0x60 on) step over 0x7F to 0x80-0x9E, b + 0x20. An even row's
// cells give 0x9F-0xFC, c + 0x9E, that is b + 0x7E.
//
// For example, 山 at row 27 cell 19 is JIS 3B 33: (0x3C / 2) + 0x70 = 0x8E, and 0x33 + 0x1F =
// 0x52, Shift-JIS 8E 52. These are the bytes of the WHATWG index's pointer (r - 1) * 94 + (c - 1)
// for every row and cell (188 trails are two rows of 94).
//
// Every sum is modulo 256, so bytes outside 0x21-0x7E go through the same formulas untested. Each
// source file has its own copy (static), so no copy compiled for AVX2 can stand in for the others.
static inline void JisToSjis(uint8_t* pair) {
  const uint8_t a = pair[0];
  const uint8_t b = pair[1];
  pair[0] = static_cast<uint8_t>((static_cast<uint8_t>(a + 1) >> 1) + (a < 0x5F ? 0x70 : 0xB0));
  pair[1] = static_cast<uint8_t>(b + ((a & 1) == 0 ? 0x7E : (b < 0x60 ? 0x1F : 0x20)));
}

// Widens the half-width katakana byte buf[p] (with a voiced 0xDE or semi-voiced 0xDF mark in
// buf[p + 1], when that lies below `len`) into scratch[*j], advancing *j. Returns the source bytes
// consumed: 2 when the mark was combined, else 1. A byte without a row becomes "?". Returns 0, and
// writes nothing, when the output would pass `limit`.
int WidenKatakana(const uint8_t* buf, int32_t p, int32_t len, uint8_t* scratch, int32_t* j,
                  int32_t limit);

// The whole conversion as ConvertToSjis2 exports it (ConvertTextAs on what DetectCode decides).
unsigned long ConvertText(char* buf, unsigned long len);

// The piece converter for `outcome` (kEucJp or kJis) in the block width this processor runs.
using PieceConverter = int32_t (*)(const uint8_t* buf, uint8_t* scratch, int32_t len, TextPiece* piece);
PieceConverter PieceConverterFor(DetectOutcome outcome);

// Tests: false makes ConvertText and ConvertUtf8ToSjis use the narrow converters even where the
// wide ones could run.
void AllowWideBlocks(bool allowed);

}  // namespace jpcodec

#endif  // KARVEL_JPCODEC_INTERNAL_H
