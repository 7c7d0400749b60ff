// ConvertEuc: EUC-JP to Shift-JIS. No character grows, so the output index never passes the source
// index (j <= i) and the scratch buffer, as long as the source, always has room.
#include "jpcodec/blocks.h"
#include "jpcodec/internal.h"

namespace jpcodec {
namespace JPCODEC_BLOCKS {

namespace {

bool IsEucByte(uint8_t b) { return b >= 0xA1 && b <= 0xFE; }

}  // namespace

int32_t ConvertEucPiece(const uint8_t* buf, uint8_t* scratch, int32_t len, TextPiece* piece) {
  const bool last = piece->bLast;
  piece->bEnded = false;
  int32_t i = 0;
  int32_t j = 0;
  while (i < len) {
    // A block at a time while a whole block lies inside the buffer: blocks of one kind first, then
    // a window where ASCII and two-byte characters (both bytes 0xA1-0xFE) mix. A block is written
    // whole but only what it covers is kept; j + kBlockBytes <= i + kBlockBytes <= len.
    if (len - i >= kBlockBytes) {
      if (AllInRange(buf + i, 0xA1, 0xFE)) {
        ConvertPairBlock(scratch + j, buf + i, 0x80);
        i += kBlockBytes;
        j += kBlockBytes;
        continue;
      }
      if (AllInRange(buf + i, 0x01, 0x7F)) {
        CopyBlock(scratch + j, buf + i);
        i += kBlockBytes;
        j += kBlockBytes;
        continue;
      }
      const int32_t covered = ConvertEucWindow(scratch + j, buf + i);
      if (covered > 0) {
        i += covered;
        j += covered;
        continue;
      }
    }

    const uint8_t b = buf[i];
    if (b == 0x00) {
      piece->bEnded = true;
      break;
    }
    // A piece that the text goes on behind leaves a character that may need the next piece's
    // bytes (a second byte, a kana byte and its mark) to the next piece: whole, it is converted
    // as in one pass.
    if (!last && b >= 0x80 && len - i <= 2) break;

    // Code set 1 (JIS X 0208): lead 0xA1-0xF2 takes any second byte. Leads 0xF3-0xFE (rows 83-84
    // and the extension kanji browsers send) form a character only with a second byte 0xA1-0xFE.
    const bool pairLead = (b >= 0xA1 && b <= 0xF2) ||
                          (b >= 0xF3 && b <= 0xFE && i + 1 < len && IsEucByte(buf[i + 1]));
    if (pairLead) {
      if (i + 1 >= len) break;  // a lead byte in the buffer's last byte has no second byte: dropped
      scratch[j] = static_cast<uint8_t>(b - 0x80);
      scratch[j + 1] = static_cast<uint8_t>(buf[i + 1] - 0x80);
      JisToSjis(scratch + j);
      // An untested second byte can make a NUL, and the text ends at the first NUL it holds.
      if (scratch[j] == 0x00 || scratch[j + 1] == 0x00) {
        piece->bEnded = true;
        piece->nTaken = i + 2;
        return scratch[j] == 0x00 ? j : j + 1;
      }
      i += 2;
      j += 2;
      continue;
    }

    // Code set 2 (half-width katakana): 0x8E, the kana byte, perhaps a mark byte.
    if (b == 0x8E) {
      if (i + 1 >= len || buf[i + 1] == 0x00) {
        // No kana byte follows: the 0x8E alone becomes a substitute and the NUL still ends the text.
        scratch[j++] = kSubstitute;
        i += 1;
        continue;
      }
      int32_t out = j;  // a copy, so that j itself can stay in a register
      i += 1 + WidenKatakana(buf, i + 1, len, scratch, &out, len);
      j = out;
      continue;
    }

    // Everything else (ASCII controls, 0x80-0x8D, 0x8F-0xA0, a lone 0xF3-0xFE, 0xFF): copied.
    scratch[j++] = b;
    i += 1;
  }
  piece->nTaken = i < len ? i : len;
  return j;
}

int32_t ConvertEuc(const uint8_t* buf, uint8_t* scratch, int32_t len) {
  TextPiece whole{true, len - 1, 0, 0, false};
  const int32_t j = ConvertEucPiece(buf, scratch, len, &whole);
  if (j < len) scratch[j] = 0x00;
  return j;
}

}  // namespace JPCODEC_BLOCKS
}  // namespace jpcodec
