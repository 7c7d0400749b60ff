// Uploads renamed for a program under Wine: each keeps its own bytes under a name of its own, also
// when the names of two uploads convert to the same UTF-8 name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway/wine_request.h"
#include "support/files.h"

namespace {

using test_support::Exists;
using test_support::ReadAll;
using test_support::TempDir;
using test_support::WriteAll;

struct Upload {
  const char* shiftJis;  // the name it was saved under
  const char* given;     // the Shift-JIS name the program is given
  const char* renamed;   // the UTF-8 name the file then has
};

TEST(WineUploadNames, TwoNamesThatConvertAlikeKeepTheirOwnFiles) {
  struct Case {
    const char* what;
    std::vector<const char*> taken;  // UTF-8 names there before (another upload's)
    std::vector<Upload> uploads;
  } cases[] = {
      {"plain ASCII stays", {}, {{"a.txt", "a.txt", "a.txt"}}},
      {"one Japanese name", {}, {{"\x83\x41.txt", "\x83\x41.txt", "\xe3\x82\xa2.txt"}}},
      // A second byte 0x5C is no separator.
      {"a katakana ending in a backslash byte", {}, {{"\x83\x5c.txt", "\x83\x5c.txt", "\xe3\x82\xbd.txt"}}},
      // 0xED40 and 0xFA5C are one character (U+7E8A) in code page 932.
      {"two spellings of one character",
       {},
       {{"\xed\x40.txt", "\xed\x40.txt", "\xe7\xba\x8a.txt"},
        {"\xfa\x5c.txt", "\xfa\x5c(2).txt", "\xe7\xba\x8a(2).txt"}}},
      {"a name taken before, no extension",
       {"\xe3\x82\xa2", "\xe3\x82\xa2(2)"},
       {{"\x83\x41", "\x83\x41(3)", "\xe3\x82\xa2(3)"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    for (const char* name : c.taken) WriteAll(dir.File(name), std::string("before:") + name);
    for (const Upload& upload : c.uploads) {
      const std::string saved = dir.File(upload.shiftJis);
      WriteAll(saved, std::string("bytes of ") + upload.given);
      CHAR given[MAX_PATH] = "";
      ASSERT_TRUE(NameUploadForWine(saved.c_str(), given));
      EXPECT_EQ(dir.File(upload.given), std::string(given));
    }
    for (const char* name : c.taken) EXPECT_EQ(std::string("before:") + name, ReadAll(dir.File(name)));
    for (const Upload& upload : c.uploads) {
      EXPECT_EQ(std::string("bytes of ") + upload.given, ReadAll(dir.File(upload.renamed))) << upload.renamed;
    }
  }
}

// A numbered name the program could not be given (longer than a Windows path) is never taken: the
// upload keeps its own name and bytes, and the program is given that.
TEST(WineUploadNames, ANameThatWouldNotFitIsNotTaken) {
  for (const size_t pathLength : {size_t{MAX_PATH - 4}, size_t{MAX_PATH - 3}, size_t{MAX_PATH - 1}}) {
    SCOPED_TRACE(pathLength);
    TempDir dir;
    const std::string base = dir.File("");
    ASSERT_LT(base.size() + 8, pathLength);
    const std::string stem(pathLength - base.size() - 2, 'x');
    const std::string saved = base + "\x83\x41" + stem;
    // The UTF-8 name is taken by another upload: only a numbered one is left.
    WriteAll(base + "\xe3\x82\xa2" + stem, "other");
    WriteAll(saved, "mine");
    CHAR given[MAX_PATH] = "";
    ASSERT_TRUE(NameUploadForWine(saved.c_str(), given));
    const bool fits = pathLength + 3 < MAX_PATH;
    EXPECT_EQ(fits ? base + "\x83\x41" + stem + "(2)" : saved, std::string(given));
    EXPECT_EQ("mine", ReadAll(fits ? base + "\xe3\x82\xa2" + stem + "(2)" : saved));
    EXPECT_EQ("other", ReadAll(base + "\xe3\x82\xa2" + stem));
  }
}

}  // namespace
