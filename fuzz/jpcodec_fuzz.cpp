// Arbitrary buffers through the converter: no sanitizer finding, a result within `len`, a NUL at
// the result when it is below `len`, and the same bytes as the plain reference converter. The
// buffer is exactly `len` bytes on the heap, so any access past it is an AddressSanitizer finding.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "jpcodec/internal.h"
#include "reference_converter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 0x7FFFFFFF) return 0;
  std::unique_ptr<char[]> buf(new char[size]);
  std::memcpy(buf.get(), data, size);

  const unsigned long result = jpcodec::ConvertText(buf.get(), size);
  if (result > size) std::abort();
  if (result < size && (buf[result] != 0 || std::memchr(buf.get(), 0, result) != nullptr)) std::abort();

  const jpcodec_test::ReferenceResult expected =
      jpcodec_test::ReferenceConvert(std::vector<uint8_t>(data, data + size));
  if (expected.nResult != result) std::abort();
  if (std::memcmp(expected.bytes.data(), buf.get(), size) != 0) std::abort();
  return 0;
}
