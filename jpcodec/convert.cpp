// ConvertText: detect, convert into a scratch buffer, copy back.
#include <cstring>

#include "jpcodec/internal.h"
#include "platform/win32.h"

namespace jpcodec {

namespace {

// Copies the converted text with its NUL into `buf`; returns the text's length, or `len` when the
// `written` bytes (at most `len`) hold no NUL.
unsigned long CopyBack(char* buf, const uint8_t* scratch, int32_t written, int32_t len) {
  const void* nul = std::memchr(scratch, 0x00, static_cast<size_t>(written));
  if (nul == nullptr) {
    std::memcpy(buf, scratch, static_cast<size_t>(len));
    return static_cast<unsigned long>(len);
  }
  const size_t textLength = static_cast<size_t>(static_cast<const uint8_t*>(nul) - scratch);
  std::memcpy(buf, scratch, textLength + 1);
  return textLength;
}

}  // namespace

unsigned long ConvertText(char* buf, unsigned long len) {
  // Lengths are signed 32-bit: 0, and anything with the top bit set (or wider), stay unchanged.
  if (len == 0 || len > 0x7FFFFFFFul || buf == nullptr) return len;
  const int32_t length = static_cast<int32_t>(len);
  const auto* source = reinterpret_cast<const uint8_t*>(buf);

  const DetectOutcome outcome = DetectCode(source, length);
  if (outcome == kUnchanged) return len;

  auto* scratch = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, len));
  if (scratch == nullptr) return len;  // nothing converted, nothing lost
  const int32_t j = outcome == kEucJp ? ConvertEuc(source, scratch, length)
                                      : ConvertJis(source, scratch, length);
  // The converter wrote scratch[0..j) and, when j < len, the NUL at j: nothing beyond is read.
  const unsigned long result = CopyBack(buf, scratch, j < length ? j + 1 : length, length);
  HeapFree(GetProcessHeap(), 0, scratch);
  return result;
}

}  // namespace jpcodec
