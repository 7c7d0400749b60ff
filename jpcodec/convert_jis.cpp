// ConvertJis: JIS (ISO-2022-JP style escapes) to Shift-JIS.
#include "jpcodec/blocks.h"
#include "jpcodec/internal.h"

namespace jpcodec {
namespace JPCODEC_BLOCKS {

namespace {

enum JisMode { kSingleByte, kKatakana, kDoubleByte };

// The escape sequences, each with the mode it selects. None is a prefix of another, so at most one
// matches at a position, and trying them in any order finds what trying them in this order would:
//   ESC $ @          double-byte  JIS C 6226-1978
//   ESC $ B          double-byte  JIS X 0208-1983
//   ESC & @ ESC $ B  double-byte  JIS X 0208-1990
//   ESC $ ( D        double-byte  JIS X 0212-1990, read as JIS X 0208
//   ESC ( J          single-byte  JIS X 0201 Roman
//   ESC ( H          single-byte  handled like ESC ( J
//   ESC ( B          single-byte  ASCII
//   ESC ( I          katakana     JIS X 0201 katakana
// Returns the length of the sequence at buf[i] (an ESC), its mode in *mode; 0 when none matches
// whole. Reads below `len` only.
int32_t MatchEscape(const uint8_t* buf, int32_t i, int32_t len, JisMode* mode) {
  const int32_t left = len - i;
  if (left < 3) return 0;
  const uint8_t second = buf[i + 1];
  const uint8_t third = buf[i + 2];
  if (second == '$') {
    if (third == '@' || third == 'B') {
      *mode = kDoubleByte;
      return 3;
    }
    if (third == '(' && left >= 4 && buf[i + 3] == 'D') {
      *mode = kDoubleByte;
      return 4;
    }
  } else if (second == '(') {
    if (third == 'J' || third == 'H' || third == 'B') {
      *mode = kSingleByte;
      return 3;
    }
    if (third == 'I') {
      *mode = kKatakana;
      return 3;
    }
  } else if (second == '&' && third == '@' && left >= 6 && buf[i + 3] == 0x1B && buf[i + 4] == '$' &&
             buf[i + 5] == 'B') {
    *mode = kDoubleByte;
    return 6;
  }
  return 0;
}

// Runs a block at a time: single-byte text up to a NUL or ESC, or (`pairs`) pairs of 0x21-0x7E
// bytes converted (escapes start with ESC, so none can hide in either run). A block is written
// whole and only its run kept; *i and *j advance over it. True when whole blocks were taken (the
// caller looks again); false when no block fits or the run ended inside one, whose ending byte the
// caller then takes at once.
bool TakeBlocks(const uint8_t* buf, uint8_t* scratch, int32_t len, int32_t limit, bool pairs, int32_t* i,
                int32_t* j) {
  if (len - *i < kBlockBytes || limit - *j < kBlockBytes) return false;
  int32_t run;
  if (!pairs) {
    run = LeadingPlainBytes(buf + *i);
    CopyBlock(scratch + *j, buf + *i);
  } else {
    run = LeadingInRange(buf + *i, 0x21, 0x7E) & ~1;
    ConvertPairBlock(scratch + *j, buf + *i, 0);
  }
  *i += run;
  *j += run;
  if (run != kBlockBytes) return false;
  while (len - *i >= kBlockBytes && limit - *j >= kBlockBytes &&
         (pairs ? AllInRange(buf + *i, 0x21, 0x7E) : LeadingPlainBytes(buf + *i) == kBlockBytes)) {
    if (pairs) {
      ConvertPairBlock(scratch + *j, buf + *i, 0);
    } else {
      CopyBlock(scratch + *j, buf + *i);
    }
    *i += kBlockBytes;
    *j += kBlockBytes;
  }
  return true;
}

}  // namespace

int32_t ConvertJisPiece(const uint8_t* buf, uint8_t* scratch, int32_t len, TextPiece* piece) {
  // Katakana doubles its bytes, so output can outgrow the source: every character must fit below
  // `limit`. Text that does not fit is cut before the first character that does not fit.
  const int32_t limit = piece->nLimit;
  const bool last = piece->bLast;
  JisMode mode = static_cast<JisMode>(piece->nMode);
  piece->bEnded = true;  // until the loop runs out of bytes rather than of text or room
  int32_t i = 0;
  int32_t j = 0;
  while (i < len) {
    if (mode != kKatakana && TakeBlocks(buf, scratch, len, limit, mode == kDoubleByte, &i, &j)) continue;

    const uint8_t b = buf[i];
    if (b == 0x00) break;  // only at a character start: a NUL in second place is converted
    // A piece that the text goes on behind leaves what may need the next piece's bytes (an
    // escape's rest, a pair's second byte, a kana's mark) to the next piece.
    if (!last && len - i < (b == 0x1B ? 6 : 2)) {
      piece->bEnded = false;
      break;
    }
    if (b == 0x1B) {
      const int32_t escapeLength = MatchEscape(buf, i, len, &mode);
      if (escapeLength > 0) {
        i += escapeLength;
        continue;
      }
      // Any other ESC is an ordinary byte of the current mode.
    }

    if (mode == kSingleByte) {
      // JIS X 0201 Roman and ASCII: copied alike.
      if (j + 1 > limit) break;
      scratch[j++] = b;
      i += 1;
    } else if (mode == kDoubleByte) {
      // JIS X 0208 (and 0212, read as 0208): the pair arithmetic, bytes untested.
      if (i + 1 >= len) break;  // a first byte in the buffer's last byte: dropped
      if (j + 2 > limit) break;
      scratch[j] = b;
      scratch[j + 1] = buf[i + 1];
      JisToSjis(scratch + j);
      // Untested bytes can make a NUL, and the text ends at the first NUL it holds.
      if (scratch[j] == 0x00 || scratch[j + 1] == 0x00) {
        piece->nTaken = i + 2;
        piece->nMode = mode;
        return scratch[j] == 0x00 ? j : j + 1;
      }
      i += 2;
      j += 2;
    } else {
      // JIS X 0201 katakana: 8-bit bytes widened; 7-bit bytes find no row and give "?".
      int32_t out = j;  // a copy, so that j itself can stay in a register
      const int consumed = WidenKatakana(buf, i, len, scratch, &out, limit);
      if (consumed == 0) break;
      i += consumed;
      j = out;
    }
  }
  if (i >= len) piece->bEnded = false;
  piece->nTaken = i < len ? i : len;
  piece->nMode = mode;
  return j;
}

int32_t ConvertJis(const uint8_t* buf, uint8_t* scratch, int32_t len) {
  // The whole text in one piece; the last byte is kept for the NUL.
  TextPiece whole{true, len - 1, kSingleByte, 0, false};
  const int32_t j = ConvertJisPiece(buf, scratch, len, &whole);
  if (j < len) scratch[j] = 0x00;
  return j;
}

}  // namespace JPCODEC_BLOCKS
}  // namespace jpcodec
