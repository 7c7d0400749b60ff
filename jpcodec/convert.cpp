// ConvertText: detect, convert into a scratch buffer, copy back.
#include <cstring>

#include "jpcodec/internal.h"
#include "platform/win32.h"

namespace jpcodec {

unsigned long ConvertText(char* buf, unsigned long len) {
  // Lengths are signed 32-bit: 0, and anything with the top bit set (or wider), stay unchanged.
  if (len == 0 || len > 0x7FFFFFFFul || buf == nullptr) return len;
  const int32_t length = static_cast<int32_t>(len);
  const auto* source = reinterpret_cast<const uint8_t*>(buf);

  const DetectOutcome outcome = DetectCode(source, length);
  if (outcome == kUnchanged) return len;

  auto* scratch = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, len));
  if (scratch == nullptr) return len;  // nothing converted, nothing lost
  const int32_t textLength = outcome == kEucJp ? ConvertEuc(source, scratch, length)
                                               : ConvertJis(source, scratch, length);
  // Copy back the text and its NUL, or all `len` bytes when they hold no NUL; the bytes after the
  // NUL keep their contents.
  std::memcpy(buf, scratch, static_cast<size_t>(textLength < length ? textLength + 1 : length));
  HeapFree(GetProcessHeap(), 0, scratch);
  return static_cast<unsigned long>(textLength);
}

}  // namespace jpcodec
