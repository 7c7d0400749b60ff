// Waiting on one file: its own writes and its replacement wake the wait; other files in the same
// directory do not.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/file_watch.h"
#include "support/files.h"

namespace {
using Clock = std::chrono::steady_clock;

// Runs `change` 50 ms into a wait of up to `limitMs`; returns how long the wait took, in ms.
template <typename Change>
long WaitAround(HANDLE watch, DWORD limitMs, Change change) {
  std::thread changer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    change();
  });
  const auto start = Clock::now();
  WaitForFileChange(watch, limitMs, 1);
  const long took = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  changer.join();
  return took;
}

TEST(FileWatch, WakesForItsFileOnlyAndFollowsReplacement) {
  test_support::TempDir dir;
  const std::string path = dir.path() + "/exchange.tmp";
  const std::string other = dir.path() + "/other.tmp";
  test_support::WriteAll(path, "0");
  test_support::WriteAll(other, "0");
  HANDLE watch = BeginFileWatch(path.c_str());
  ASSERT_NE(nullptr, watch);

  // Another file in the directory: the wait runs to its limit.
  EXPECT_GE(WaitAround(watch, 400, [&] { test_support::WriteAll(other, "changed"); }), 350);
  // Written in place: wakes long before the limit.
  EXPECT_LT(WaitAround(watch, 10000, [&] { test_support::WriteAll(path, "91"); }), 5000);
  // Replaced by a rename (how back-end programs answer): wakes too.
  const std::string answer = path + ".answer";
  test_support::WriteAll(answer, "91 answer");
  EXPECT_LT(WaitAround(watch, 10000, [&] { std::rename(answer.c_str(), path.c_str()); }), 5000);
  // The replacement is watched in its turn.
  WaitForFileChange(watch, 0, 1);
  EXPECT_LT(WaitAround(watch, 10000, [&] { test_support::WriteAll(path, "92"); }), 5000);
  EndFileWatch(watch);
}

TEST(FileWatch, NoWatchForAMissingFileOrNullPath) {
  test_support::TempDir dir;
  EXPECT_EQ(nullptr, BeginFileWatch((dir.path() + "/missing").c_str()));
  EXPECT_EQ(nullptr, BeginFileWatch(nullptr));
  WaitForFileChange(nullptr, 1000, 1);  // only pauses
}
}  // namespace
