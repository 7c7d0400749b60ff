// A text converted to Shift-JIS block by block, with the same bytes as converting it whole: a form
// value of many megabytes needs no second copy of itself in memory. Not exported: the extension
// links it itself.
#ifndef KARVEL_JPCODEC_TEXT_STREAM_H
#define KARVEL_JPCODEC_TEXT_STREAM_H

#include <cstdint>

namespace jpcodec {

enum StreamCode {
  kStreamEuc,   // as ConvertTextAs(kEucJp) converts a buffer of the text and its NUL
  kStreamJis,   // as ConvertTextAs(kJis) converts it
  kStreamUtf8,  // as ConvertUtf8ToSjis converts the text
};

// The most bytes one block may bring.
inline constexpr int32_t kStreamBlockBytes = 16 * 1024;
// The most bytes a block leaves for the next: a character that may go on behind the block.
inline constexpr int32_t kStreamCarryBytes = 8;

struct TextStream {
  StreamCode nCode;
  int32_t nMode;       // JIS: the mode the text is in between blocks
  int64_t nRoom;       // JIS: output bytes the text may still take (it is cut where they run out)
  bool bEnded;         // EUC-JP and JIS: the text ended (a NUL, or no room): later blocks count nothing
  int32_t nCarried;    // bytes of the last block left at the start of pWork
  uint8_t* pWork;      // the carried bytes, the block and a NUL
  uint8_t* pOut;       // the converted block
};

// Begins the conversion of a text of `length` bytes; for EUC-JP and JIS it ends there or at its
// first NUL at a character start, and takes at most `length` bytes converted, as ConvertTextAs
// converts a buffer holding the text and a NUL (length + 1 bytes). False (nothing held) without
// memory or when `length` is 0x7FFFFFFF or more.
bool BeginTextStream(TextStream* stream, StreamCode code, uint64_t length);

// Converts the text's next `count` bytes (at most kStreamBlockBytes); `last` for its last block,
// which may be empty. Points *out at the converted bytes, which stay until the next call, and
// returns their count. The blocks' outputs one after another are the whole text's conversion
// (without a NUL).
int32_t ConvertStreamBlock(TextStream* stream, const uint8_t* in, int32_t count, bool last, const uint8_t** out);

// Releases what the stream holds.
void EndTextStream(TextStream* stream);

}  // namespace jpcodec

#endif  // KARVEL_JPCODEC_TEXT_STREAM_H
