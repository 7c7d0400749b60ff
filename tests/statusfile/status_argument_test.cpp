// Splitting the argument string into its four fields.
#include <gtest/gtest.h>

#include <string>

#include "statusfile/status_argument.h"

namespace {

TEST(StatusArgument, SplitsIntoFourFields) {
  const struct {
    const char* argument;
    const char* dir;
    const char* name;
    const char* first;
    const char* second;
  } cases[] = {
      {"C:\\SETUP\\,PC\\01,abc,def", "C:\\SETUP\\", "PC_01", "abc", "def"},
      {"d,a<b,,", "d", "a_b", "", ""},
      {"only", "only", "", "", ""},
      {"", "", "", "", ""},
      {"a,b,c,d,e,f", "a", "b", "c", "f"},
      {"a,b,c,d,", "a", "b", "c", ""},
      {",,,x", "", "", "", "x"},
      {"x\\y<,n,<,\\", "x\\y<", "n", "<", "\\"},
  };
  for (const auto& c : cases) {
    StatusArgument fields;
    SplitStatusArgument(c.argument, &fields);
    EXPECT_STREQ(c.dir, fields.szTemplateDir) << c.argument;
    EXPECT_STREQ(c.name, fields.szStatusName) << c.argument;
    EXPECT_STREQ(c.first, fields.szFirstValue) << c.argument;
    EXPECT_STREQ(c.second, fields.szSecondValue) << c.argument;
  }
}

TEST(StatusArgument, LooksAtNoMoreThan260Bytes) {
  // A single field of 300 bytes: 259 are kept (the buffer's last byte is its NUL).
  const std::string longField(300, 'z');
  StatusArgument fields;
  SplitStatusArgument(longField.c_str(), &fields);
  EXPECT_EQ(std::string(259, 'z'), fields.szTemplateDir);

  // Bytes after the 260th are not looked at, commas included.
  const std::string past = std::string(258, 'a') + ",b,c,d";
  SplitStatusArgument(past.c_str(), &fields);
  EXPECT_EQ(std::string(258, 'a'), fields.szTemplateDir);
  EXPECT_STREQ("b", fields.szStatusName);
  EXPECT_STREQ("", fields.szFirstValue);

  SplitStatusArgument(nullptr, &fields);
  EXPECT_STREQ("", fields.szTemplateDir);
  EXPECT_STREQ("", fields.szSecondValue);
}

}  // namespace
