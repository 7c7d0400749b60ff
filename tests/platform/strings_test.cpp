// lstrlenA, lstrcmpA, lstrcmpiA, lstrcpyA, lstrcatA, wsprintfA.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#include "platform/win32.h"

namespace {

int Sign(int value) { return (value > 0) - (value < 0); }

TEST(Lstr, ComparisonsAreUnsignedAndFoldOnlyAscii) {
  struct Case {
    const char* a;
    const char* b;
    int exact;     // sign of lstrcmpA
    int caseless;  // sign of lstrcmpiA
  };
  const Case cases[] = {
      {"a", "A", 1, 0},
      {"karvel", "KARVEL", 1, 0},
      {"abc", "abd", -1, -1},
      {"abc", "ab", 1, 1},
      {"", "", 0, 0},
      {"Zeta", "alpha", -1, 1},
      {"\xE0", "\xC0", 1, 1},  // Latin-1 a-grave / A-grave: not ASCII, not folded
      {"\x80", "a", 1, 1},     // bytes above 0x7F sort after ASCII
      {"a", "\xFF", -1, -1},
      {nullptr, "", 0, 0},
  };
  for (const Case& c : cases) {
    std::string label = std::string(c.a ? c.a : "(null)") + " vs " + c.b;
    EXPECT_EQ(c.exact, Sign(lstrcmpA(c.a, c.b))) << "lstrcmpA " << label;
    EXPECT_EQ(c.caseless, Sign(lstrcmpiA(c.a, c.b))) << "lstrcmpiA " << label;
    EXPECT_EQ(-c.exact, Sign(lstrcmpA(c.b, c.a))) << "lstrcmpA reversed " << label;
    EXPECT_EQ(-c.caseless, Sign(lstrcmpiA(c.b, c.a))) << "lstrcmpiA reversed " << label;
  }
}

TEST(Lstr, LengthCopyAndConcatenation) {
  EXPECT_EQ(0, lstrlenA(nullptr));
  EXPECT_EQ(0, lstrlenA(""));
  EXPECT_EQ(6, lstrlenA("karvel"));
  char buffer[32] = "xxxxxxxxxxxxxxx";
  EXPECT_EQ(buffer, lstrcpyA(buffer, "jp"));
  EXPECT_STREQ("jp", buffer);
  EXPECT_EQ(buffer, lstrcatA(buffer, "codec"));
  EXPECT_STREQ("jpcodec", buffer);
  EXPECT_EQ(buffer, lstrcatA(buffer, ""));
  EXPECT_STREQ("jpcodec", buffer);
}

TEST(Wsprintf, ConversionsFollowWindows) {
  struct Case {
    const char* label;
    const char* expected;
    std::function<int(char*)> format;
  };
  const DWORD allOnes = 0xFFFFFFFFu;
  const LONG minusOne = -1;
  const Case cases[] = {
      {"percent", "100%", [](char* b) { return wsprintfA(b, "%d%%", 100); }},
      {"char", "[x]", [](char* b) { return wsprintfA(b, "[%c]", 'x'); }},
      {"negative d", "-42", [](char* b) { return wsprintfA(b, "%d", -42); }},
      {"i", "7", [](char* b) { return wsprintfA(b, "%i", 7); }},
      {"large u", "3000000000", [](char* b) { return wsprintfA(b, "%u", 3000000000u); }},
      {"hex", "beef BEEF", [](char* b) { return wsprintfA(b, "%x %X", 0xBEEFu, 0xBEEFu); }},
      {"alternate hex", "0xff 0XFF", [](char* b) { return wsprintfA(b, "%#x %#X", 255u, 255u); }},
      {"string", "<abc>", [](char* b) { return wsprintfA(b, "<%s>", "abc"); }},
      {"null string", "(null)", [](char* b) { return wsprintfA(b, "%s", static_cast<char*>(nullptr)); }},
      {"S as s", "wide", [](char* b) { return wsprintfA(b, "%S", "wide"); }},
      {"width", "   42", [](char* b) { return wsprintfA(b, "%5d", 42); }},
      {"left", "42   |", [](char* b) { return wsprintfA(b, "%-5d|", 42); }},
      {"zero pad after sign", "-0042", [](char* b) { return wsprintfA(b, "%05d", -42); }},
      {"zero pad hex", "00000ABC", [](char* b) { return wsprintfA(b, "%08X", 0xABCu); }},
      {"zero pad with prefix", "0x00ff", [](char* b) { return wsprintfA(b, "%#06x", 255u); }},
      {"string precision", "abc", [](char* b) { return wsprintfA(b, "%.3s", "abcdef"); }},
      {"string width", "    ab|ab    |", [](char* b) { return wsprintfA(b, "%6s|%-6s|", "ab", "ab"); }},
      {"integer precision", "00042", [](char* b) { return wsprintfA(b, "%.5d", 42); }},
      {"precision in width", "     007", [](char* b) { return wsprintfA(b, "%8.3d", 7); }},
      {"l is 32-bit unsigned", "4294967295", [&](char* b) { return wsprintfA(b, "%lu", allOnes); }},
      {"l is 32-bit signed", "-1", [&](char* b) { return wsprintfA(b, "%ld", minusOne); }},
      {"l takes one slot", "-1 x", [&](char* b) { return wsprintfA(b, "%ld %s", minusOne, "x"); }},
      {"lx", "deadbeef", [](char* b) { return wsprintfA(b, "%lx", DWORD{0xDEADBEEF}); }},
      {"h signed", "4464", [](char* b) { return wsprintfA(b, "%hd", 70000); }},
      {"h unsigned", "9029 ffff", [](char* b) { return wsprintfA(b, "%hu %hx", 0x12345, 0x1FFFF); }},
      {"I64 signed", "-5000000000", [](char* b) { return wsprintfA(b, "%I64d", int64_t{-5000000000}); }},
      {"I64 unsigned", "18446744073709551615 FFFFFFFFFFFFFFFF",
       [](char* b) { return wsprintfA(b, "%I64u %I64X", UINT64_MAX, UINT64_MAX); }},
      {"date", "07/04/99", [](char* b) { return wsprintfA(b, "%02d/%02d/%02d", 7, 4, 99); }},
      {"unknown kept, no argument taken", "%q5", [](char* b) { return wsprintfA(b, "%q%d", 5); }},
      {"lone percent at end", "50%", [](char* b) { return wsprintfA(b, "50%"); }},
  };
  for (const Case& c : cases) {
    char buffer[WSPRINTF_LIMIT];
    std::memset(buffer, '#', sizeof buffer);
    int count = c.format(buffer);
    EXPECT_STREQ(c.expected, buffer) << c.label;
    EXPECT_EQ(static_cast<int>(std::strlen(c.expected)), count) << c.label;
  }
}

TEST(Wsprintf, OutputStopsAt1024BytesWithTheNul) {
  const std::string longText(5000, 'k');
  struct Case {
    const char* label;
    std::function<int(char*)> format;
  };
  const Case cases[] = {
      {"long string", [&](char* b) { return wsprintfA(b, "%s", longText.c_str()); }},
      {"wide field", [](char* b) { return wsprintfA(b, "%2000d", 1); }},
      {"more after the bound", [&](char* b) { return wsprintfA(b, "%s%d%s", longText.c_str(), 7, "x"); }},
  };
  for (const Case& c : cases) {
    char buffer[1200];
    std::memset(buffer, 0x5A, sizeof buffer);
    EXPECT_EQ(WSPRINTF_LIMIT - 1, c.format(buffer)) << c.label;
    EXPECT_EQ('\0', buffer[WSPRINTF_LIMIT - 1]) << c.label;
    EXPECT_EQ(std::string(sizeof buffer - WSPRINTF_LIMIT, 0x5A),
              std::string(buffer + WSPRINTF_LIMIT, sizeof buffer - WSPRINTF_LIMIT))
        << c.label << ": canary after the bound";
  }
}

}  // namespace
