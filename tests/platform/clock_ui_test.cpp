// GetLocalTime with and without the test clock; MessageBoxA's line on standard error.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <vector>

#include "platform/test_hooks.h"
#include "platform/win32.h"
#include "support/files.h"

namespace {

void FixedTime(SYSTEMTIME* time) {
  *time = SYSTEMTIME{1999, 12, 5, 31, 23, 59, 58, 999};
}

std::vector<int> Fields(const SYSTEMTIME& t) {
  return {t.wYear, t.wMonth, t.wDayOfWeek, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

TEST(Clock, LocalTimeComesFromHookOrSystem) {
  karvel_test::SetLocalTimeSource(FixedTime);
  SYSTEMTIME hooked{};
  GetLocalTime(&hooked);
  karvel_test::SetLocalTimeSource(nullptr);
  EXPECT_EQ((std::vector<int>{1999, 12, 5, 31, 23, 59, 58, 999}), Fields(hooked));

  SYSTEMTIME now{};
  GetLocalTime(&now);
  const std::vector<int> low = {2024, 1, 0, 1, 0, 0, 0, 0};
  const std::vector<int> high = {9999, 12, 6, 31, 23, 59, 59, 999};
  for (size_t i = 0; i < low.size(); ++i) {
    EXPECT_GE(Fields(now)[i], low[i]) << "field " << i << " (real clock after the hook)";
    EXPECT_LE(Fields(now)[i], high[i]) << "field " << i;
  }
  // The weekday must agree with the date, with Sunday as 0.
  struct tm date{};
  date.tm_year = now.wYear - 1900;
  date.tm_mon = now.wMonth - 1;
  date.tm_mday = now.wDay;
  ASSERT_NE(-1, timegm(&date));
  EXPECT_EQ(date.tm_wday, now.wDayOfWeek);
}

TEST(MessageBox, WritesOneLineToStandardError) {
  test_support::TempDir dir;
  std::string capture = dir.File("stderr.txt");
  int file = open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(file, 0);
  int savedStderr = dup(STDERR_FILENO);
  ASSERT_GE(savedStderr, 0);
  ASSERT_EQ(STDERR_FILENO, dup2(file, STDERR_FILENO));
  struct Case {
    const char* caption;
    const char* text;
  };
  const Case cases[] = {{"karvel", "disk full"}, {nullptr, "no caption"}, {"no text", nullptr}};
  int results[3];
  for (int i = 0; i < 3; ++i) {
    results[i] = MessageBoxA(nullptr, cases[i].text, cases[i].caption, MB_OK | MB_ICONSTOP);
  }
  dup2(savedStderr, STDERR_FILENO);
  close(savedStderr);
  close(file);
  for (int result : results) EXPECT_EQ(IDOK, result);
  EXPECT_EQ("karvel: disk full\n: no caption\nno text: \n", test_support::ReadAll(capture));
}

}  // namespace
