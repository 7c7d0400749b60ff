// DetectCode: the first deciding byte before the NUL tells JIS, EUC-JP, or neither.
#include "jpcodec/blocks.h"
#include "jpcodec/internal.h"

namespace jpcodec {

DetectOutcome DetectCode(const uint8_t* buf, int32_t len) {
  using namespace narrow;  // the scan for ASCII is quick enough at 16 bytes a step
  if (len <= 0) return kUnchanged;
  bool skipNext = false;  // the byte after an ambiguous lead byte decides nothing
  int32_t i = 0;
  while (i < len) {
    // ASCII decides nothing: pass over it four blocks, then one block at a time.
    if (!skipNext) {
      while (len - i >= 4 * kBlockBytes && AllUndecidedAscii4(buf + i)) i += 4 * kBlockBytes;
      if (len - i >= kBlockBytes) {
        const int32_t run = LeadingUndecidedAscii(buf + i);
        i += run;
        if (run == kBlockBytes) continue;
      }
      if (i == len) break;  // the blocks reached the end
    }
    const uint8_t b = buf[i];
    if (b == 0x00) return kUnchanged;
    // ESC comes before the skip test: an ESC right after an ambiguous lead byte still means JIS.
    if (b == 0x1B) return kJis;
    if (skipNext) {
      skipNext = false;
    } else if ((b >= 0x81 && b <= 0x84) || (b >= 0x88 && b <= 0x9F)) {
      return kUnchanged;  // a Shift-JIS lead byte (0x8E included): Shift-JIS already
    } else if (b >= 0xE0 && b <= 0xEA) {
      skipNext = true;  // a lead byte both codes use
    } else if ((b >= 0xA1 && b <= 0xDF) || (b >= 0xEB && b <= 0xF2)) {
      return kEucJp;
    }
    ++i;
  }
  return kUnchanged;
}

}  // namespace jpcodec
