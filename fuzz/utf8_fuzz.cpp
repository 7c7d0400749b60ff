// Arbitrary bytes through the UTF-8 converter: no sanitizer finding in an output buffer of exactly
// Utf8ToSjisRoom bytes on the heap, and the wide converter (AVX2, PEXT) writing the same bytes as the
// narrow one wherever the processor runs both.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "jpcodec/internal.h"
#include "jpcodec/utf8_to_sjis.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The input on the heap at its exact size too, so a read past it is a finding.
  std::unique_ptr<uint8_t[]> in(new uint8_t[size]);
  std::memcpy(in.get(), data, size);
  const size_t room = jpcodec::Utf8ToSjisRoom(size);
  std::unique_ptr<uint8_t[]> wide(new uint8_t[room]), narrow(new uint8_t[room]);

  jpcodec::AllowWideBlocks(true);
  const size_t wideLength = jpcodec::ConvertUtf8ToSjis(in.get(), size, wide.get());
  jpcodec::AllowWideBlocks(false);
  const size_t narrowLength = jpcodec::ConvertUtf8ToSjis(in.get(), size, narrow.get());
  if (wideLength > room || wideLength != narrowLength) std::abort();
  if (std::memcmp(wide.get(), narrow.get(), wideLength) != 0) std::abort();
  return 0;
}
