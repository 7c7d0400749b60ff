// ConvertStreamBlock: each block with the bytes the one before left, through the converters' piece
// forms (EUC-JP, JIS) or ConvertUtf8ToSjis up to the block's last character start.
#include "jpcodec/text_stream.h"

#include <cstring>

#include "jpcodec/internal.h"
#include "jpcodec/utf8_to_sjis.h"
#include "platform/win32.h"

namespace jpcodec {

namespace {

constexpr size_t kWorkBytes = kStreamBlockBytes + kStreamCarryBytes + 1;
// UTF-8 takes the most: four bytes out for one in (Utf8ToSjisRoom); JIS two and a block more.
constexpr size_t kOutBytes = 4 * kWorkBytes + 64;
// A JIS piece's room when the text's own is larger: more than any piece writes, so never the
// reason a character is cut.
constexpr int32_t PieceRoom(int32_t length) { return 2 * length + 64; }

bool IsContinuation(uint8_t b) { return b >= 0x80 && b <= 0xBF; }

// Where the UTF-8 text at `bytes` may be cut without cutting a character that the bytes behind
// it might finish: before the last byte that is not a continuation byte when it lies among the
// last three and may begin a sequence. A sequence never takes a byte that is not a continuation
// byte, so the conversion before the cut and after it are the conversion of the whole.
int32_t Utf8Cut(const uint8_t* bytes, int32_t length) {
  for (int32_t k = length - 1; k >= 0 && k >= length - 3; --k) {
    if (!IsContinuation(bytes[k])) return bytes[k] >= 0xC0 ? k : length;
  }
  return length;
}

}  // namespace

bool BeginTextStream(TextStream* stream, StreamCode code, uint64_t length) {
  *stream = TextStream{code, 0, static_cast<int64_t>(length), false, 0, nullptr, nullptr};
  if (length >= kMostTextBytes) return false;  // the text and its NUL would not fit
  stream->pWork = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, kWorkBytes));
  stream->pOut = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, kOutBytes));
  if (stream->pWork == nullptr || stream->pOut == nullptr) {
    EndTextStream(stream);
    return false;
  }
  return true;
}

int32_t ConvertStreamBlock(TextStream* stream, const uint8_t* in, int32_t count, bool last, const uint8_t** out) {
  *out = stream->pOut;
  if (stream->bEnded || stream->pWork == nullptr || count < 0 || count > kStreamBlockBytes) return 0;
  uint8_t* work = stream->pWork;
  int32_t length = stream->nCarried;
  if (count > 0) std::memcpy(work + length, in, static_cast<size_t>(count));
  length += count;

  if (stream->nCode == kStreamUtf8) {
    const int32_t cut = last ? length : Utf8Cut(work, length);
    const auto written = static_cast<int32_t>(ConvertUtf8ToSjis(work, static_cast<size_t>(cut), stream->pOut));
    stream->nCarried = length - cut;
    std::memmove(work, work + cut, static_cast<size_t>(stream->nCarried));
    return written;
  }

  // The last piece ends with the text's NUL, as the buffer converted whole does.
  if (last) work[length++] = 0x00;
  TextPiece piece{last, 0, stream->nMode, 0, false};
  piece.nLimit = stream->nRoom < PieceRoom(length) ? static_cast<int32_t>(stream->nRoom) : PieceRoom(length);
  const int32_t written = PieceConverterFor(stream->nCode == kStreamEuc ? kEucJp : kJis)(work, stream->pOut, length, &piece);
  stream->nMode = piece.nMode;
  stream->nRoom -= written;
  stream->bEnded = piece.bEnded || last;
  stream->nCarried = length - piece.nTaken;
  std::memmove(work, work + piece.nTaken, static_cast<size_t>(stream->nCarried));
  return written;
}

void EndTextStream(TextStream* stream) {
  if (stream->pWork != nullptr) HeapFree(GetProcessHeap(), 0, stream->pWork);
  if (stream->pOut != nullptr) HeapFree(GetProcessHeap(), 0, stream->pOut);
  stream->pWork = nullptr;
  stream->pOut = nullptr;
}

}  // namespace jpcodec
