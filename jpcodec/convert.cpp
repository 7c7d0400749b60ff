// ConvertText: detect, convert into a scratch buffer, copy back.
#include <atomic>
#include <cstring>

#include "jpcodec/internal.h"
#include "jpcodec/utf8_to_sjis.h"
#include "jpcodec/utf8_to_sjis_internal.h"
#include "platform/win32.h"

namespace jpcodec {

namespace {

std::atomic<bool> g_wideAllowed{true};

using Converter = int32_t (*)(const uint8_t* buf, uint8_t* scratch, int32_t len);

#if defined(JPCODEC_HAVE_WIDE)
// Whether the wide converters run (they exist in x86-64 builds): the processor has AVX2 and BMI2
// (asked once) and no test has turned them off.
bool UseWide() {
  static const bool capable = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
  return capable && g_wideAllowed.load(std::memory_order_relaxed);
}
#endif

Converter ChooseConverter(DetectOutcome outcome) {
#if defined(JPCODEC_HAVE_WIDE)
  if (UseWide()) return outcome == kEucJp ? wide::ConvertEuc : wide::ConvertJis;
#endif
  return outcome == kEucJp ? narrow::ConvertEuc : narrow::ConvertJis;
}

// Whether a buffer of `len` bytes is converted at all: lengths are signed 32-bit, so 0, and
// anything with the top bit set (or wider), stay unchanged.
bool Convertible(const char* buf, unsigned long len) { return buf != nullptr && len != 0 && len <= kMostTextBytes; }

}  // namespace

PieceConverter PieceConverterFor(DetectOutcome outcome) {
#if defined(JPCODEC_HAVE_WIDE)
  if (UseWide()) return outcome == kEucJp ? wide::ConvertEucPiece : wide::ConvertJisPiece;
#endif
  return outcome == kEucJp ? narrow::ConvertEucPiece : narrow::ConvertJisPiece;
}

void AllowWideBlocks(bool allowed) { g_wideAllowed.store(allowed); }

size_t ConvertUtf8ToSjis(const uint8_t* in, size_t length, uint8_t* out) {
#if defined(JPCODEC_HAVE_WIDE)
  if (UseWide()) return wide::ConvertUtf8ToSjis(in, length, out);
#endif
  return narrow::ConvertUtf8ToSjis(in, length, out);
}

unsigned long ConvertText(char* buf, unsigned long len) {
  if (!Convertible(buf, len)) return len;
  return ConvertTextAs(buf, len, DetectCode(reinterpret_cast<const uint8_t*>(buf), static_cast<int32_t>(len)));
}

unsigned long ConvertTextAs(char* buf, unsigned long len, DetectOutcome outcome) {
  if (!Convertible(buf, len) || outcome == kUnchanged) return len;
  const int32_t length = static_cast<int32_t>(len);
  const auto* source = reinterpret_cast<const uint8_t*>(buf);

  auto* scratch = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, len));
  if (scratch == nullptr) return len;  // nothing converted, nothing lost
  const int32_t textLength = ChooseConverter(outcome)(source, scratch, length);
  // Copy back the text and its NUL, or all `len` bytes when they hold no NUL; the bytes after the
  // NUL keep their contents.
  std::memcpy(buf, scratch, static_cast<size_t>(textLength < length ? textLength + 1 : length));
  HeapFree(GetProcessHeap(), 0, scratch);
  return static_cast<unsigned long>(textLength);
}

}  // namespace jpcodec
