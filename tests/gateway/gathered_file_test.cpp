// Gathered writes: whatever the pieces and overwrites, the file ends as if each had been written
// in place, and a small file reaches the disk only when flushed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway/gathered_file.h"
#include "support/files.h"

namespace gateway_test {
namespace {

using test_support::ReadAll;
using test_support::TempDir;

struct Step {
  bool overwrite;  // else an append
  DWORD at;        // where an overwrite starts
  DWORD count;
};

TEST(GatheredFile, EndsAsIfEveryPieceWereWrittenInPlace) {
  constexpr DWORD kBuffer = GATHER_BUFFER_BYTES;
  const struct {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"small pieces, header written over", {{false, 0, 524}, {false, 0, 32}, {false, 0, 7}, {true, 0, 540}}},
      {"pieces across the buffer's end", {{false, 0, kBuffer - 3}, {false, 0, 10}, {false, 0, kBuffer}, {true, 2, 9}}},
      {"a piece larger than the buffer", {{false, 0, 100}, {false, 0, 3 * kBuffer + 5}, {false, 0, 1}}},
      {"over flushed and buffered bytes", {{false, 0, kBuffer + 100}, {true, kBuffer - 50, 120}, {true, 0, 524}}},
      {"over the file's whole length", {{false, 0, 2 * kBuffer + 17}, {true, 0, 2 * kBuffer + 17}}},
      {"exactly the buffer", {{false, 0, kBuffer}, {true, kBuffer - 1, 1}}},
  };
  TempDir dir;
  int round = 0;
  for (const auto& c : cases) {
    const std::string path = dir.File("gathered" + std::to_string(++round));
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << c.name;
    auto* gathered = new GatheredFile;
    BeginGathering(gathered, file);
    std::string expected;
    char fill = 'a';
    for (const Step& step : c.steps) {
      const std::string bytes(step.count, fill);
      fill = static_cast<char>(fill == 'z' ? 'a' : fill + 1);
      if (step.overwrite) {
        EXPECT_TRUE(OverwriteGathered(gathered, step.at, bytes.data(), step.count)) << c.name;
        expected.replace(step.at, step.count, bytes);
      } else {
        EXPECT_TRUE(GatherBytes(gathered, bytes.data(), step.count)) << c.name;
        expected += bytes;
      }
      EXPECT_EQ(GatheredOffset(*gathered), expected.size()) << c.name;
    }
    // Nothing past the gathered bytes can be written over.
    EXPECT_FALSE(OverwriteGathered(gathered, static_cast<DWORD>(expected.size()) - 1, "xy", 2)) << c.name;
    if (expected.size() < kBuffer) {
      EXPECT_EQ(ReadAll(path), "") << c.name << ": gathered, not yet written";
    }
    EXPECT_TRUE(FlushGathered(gathered)) << c.name;
    CloseHandle(file);
    EXPECT_EQ(ReadAll(path), expected) << c.name;
    delete gathered;
  }
}

// A file that cannot be written to fails the flush, and every later step, instead of passing.
TEST(GatheredFile, AFailedWriteIsReportedAndStays) {
  TempDir dir;
  const std::string path = dir.File("read-only");
  HANDLE made = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(made, INVALID_HANDLE_VALUE);
  CloseHandle(made);
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  auto* gathered = new GatheredFile;
  BeginGathering(gathered, file);
  EXPECT_TRUE(GatherBytes(gathered, "header", 6)) << "still only in memory";
  EXPECT_FALSE(FlushGathered(gathered));
  EXPECT_FALSE(GatherBytes(gathered, "more", 4));
  EXPECT_FALSE(OverwriteGathered(gathered, 0, "H", 1));
  EXPECT_FALSE(FlushGathered(gathered));
  const std::string large(GATHER_BUFFER_BYTES * 2, 'x');
  BeginGathering(gathered, file);
  EXPECT_FALSE(GatherBytes(gathered, large.data(), static_cast<DWORD>(large.size()))) << "written at once, and failed";
  CloseHandle(file);
  EXPECT_EQ(ReadAll(path), "");
  delete gathered;
}

}  // namespace
}  // namespace gateway_test
