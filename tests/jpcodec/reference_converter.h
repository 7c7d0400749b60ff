// A second, deliberately plain converter for differential tests: one byte at a time, a linear
// search of the katakana table, no blocks and no shared code with the library but the table data.
// It follows the same rules, including those for text that outgrows its buffer and for characters
// cut off by the buffer's end.
#ifndef KARVEL_TESTS_JPCODEC_REFERENCE_CONVERTER_H
#define KARVEL_TESTS_JPCODEC_REFERENCE_CONVERTER_H

#include <cstdint>
#include <vector>

namespace jpcodec_test {

struct ReferenceResult {
  unsigned long nResult;           // what ConvertToSjis2 must return
  std::vector<uint8_t> bytes;      // the caller's buffer afterwards
};

ReferenceResult ReferenceConvert(const std::vector<uint8_t>& input);

}  // namespace jpcodec_test

#endif
