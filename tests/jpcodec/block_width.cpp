// With JPCODEC_TEST_NARROW=1 the whole suite runs on the narrow (SSE2 or plain) converters even
// where the wide (AVX2) ones would be chosen, so both widths are tested on one machine.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "jpcodec/internal.h"

namespace {

class NarrowBlocks : public testing::Environment {
 public:
  void SetUp() override {
    const char* narrow = std::getenv("JPCODEC_TEST_NARROW");
    jpcodec::AllowWideBlocks(!(narrow != nullptr && std::strcmp(narrow, "1") == 0));
  }
};

const testing::Environment* const kNarrowBlocks = testing::AddGlobalTestEnvironment(new NarrowBlocks);

}  // namespace
