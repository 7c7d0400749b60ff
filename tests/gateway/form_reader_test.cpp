// URL-encoded form data from query strings and bodies, the list's accessors, MeasureText, and reads
// that fail or get hostile input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "gateway/form_test_support.h"
#include "support/files.h"

namespace gateway_test {
namespace {

using namespace std::string_literals;

struct Case {
  const char* name;
  std::string input;
  bool listed;
  int32_t count;
  std::vector<Want> fields;
};

const std::string kName255(255, 'n');
const std::string kName256(256, 'n');

TEST(UrlEncoded, QueryStringsGiveTheirFields) {
  const std::vector<Case> cases = {
      {"two pairs", "a=1&b=2", true, 2, {{"a", "1", 0, 0}, {"b", "2", 0, 0}}},
      {"same names without case", "a=1&a=2&A=3", true, 3, {{"a", "1", 0, 0}, {"a", "2", 0, 1}, {"A", "3", 0, 2}}},
      {"escaped separators and plus", "x=a%26b+c%3D", true, 1, {{"x", "a&b c=", 0}}},
      {"escaped bytes above 0x7F", "k=%e3%81%82", true, 1, {{"k", "\xE3\x81\x82", 1}}},
      {"bad escape ends the input", "a=%4", true, 1, {{"a", "", 0}}},
      {"bad escape ends the value only", "a=%4&b=1", true, 2, {{"a", ""}, {"b", "1"}}},
      {"second = ends the value", "a=b=c", true, 1, {{"a", "b"}}},
      {"empty name", "=v", true, 1, {{"", "v"}}},
      {"bare name turns to parts", "a=1&flag&b=2", true, 2, {{"a", "1"}}},
      {"bare name first", "x&y=1", false, 1, {}},
      {"empty query", "", false, 0, {}},
      {"raw 0xFF read like any byte", "k=\xFF\xFFz&\xFFn=1", true, 2, {{"k", "\xFF\xFFz", 1}, {"\xFFn", "1", 0}}},
      {"%00 kept in the value", "a=x%00y", true, 1, {{"a", "x\0y"s, 1}}},
      {"escapes in names", "n+m%41=%2b", true, 1, {{"n mA", "+", 0}}},
      {"case folds ASCII letters only", "\xC4=1&\xE4=2&b=3&B=4", true, 4,
       {{"\xC4", "1", 0, 0}, {"\xE4", "2", 0, 0}, {"b", "3", 0, 0}, {"B", "4", 0, 1}}},
      {"control byte sets the flag", "a=%09", true, 1, {{"a", "\t", 1}}},
      {"255-byte name", "a=1&" + kName255 + "=2", true, 2, {{"a", "1"}, {kName255, "2"}}},
      {"256-byte name after a field", "a=1&" + kName256 + "=2", false, 1, {}},
      {"300-byte name first", std::string(300, 'n') + "=2", false, 0, {}},
  };
  for (const Case& c : cases) {
    FakeEcb fake = FakeEcb::Get(c.input);
    ExpectRead(c.name + (": query " + Show(c.input)), ReadForm(fake), c.listed, c.count, c.fields);
  }
}

TEST(UrlEncoded, MethodsChooseTheInput) {
  struct MethodCase { const char* method; bool post; bool listed; int32_t count; };
  for (const MethodCase& c : std::vector<MethodCase>{{"GET", false, true, 1}, {"gEt", false, true, 1},
                                                     {"post", true, true, 1}, {"POST", true, true, 1},
                                                     {"HEAD", false, false, 0}, {"HEAD", true, false, 0}}) {
    FakeEcb fake = c.post ? FakeEcb::Post("a=1", 65536, 0, c.method) : FakeEcb::Get("a=1", c.method);
    const Outcome o = ReadForm(fake);
    EXPECT_EQ(o.listed, c.listed) << c.method << (c.post ? " with a body: " : " with a query: ") << Describe(o);
    EXPECT_EQ(o.count, c.count) << c.method << ": " << Describe(o);
  }
  FakeEcb emptyPost = FakeEcb::Post("");
  ExpectRead("POST with cbTotalBytes 0", ReadForm(emptyPost), false, 0, {});
}

TEST(UrlEncoded, BodiesUnderEveryChunkingAndCut) {
  const std::string longValue(100000, 'q');
  struct BodyCase {
    const char* name;
    std::string body;
    uint64_t declared, endAfter;  // `all`: as the body is (a size_t's largest is a length on 32 bits)
    bool fails;
    bool listed;
    int32_t count;
    std::vector<Want> fields;
  };
  const uint64_t all = UINT64_MAX;
  const std::vector<BodyCase> cases = {
      {"line ends between pairs", "a=1\r\nb=hello+world\r\n", all, all, false, true, 2, {{"a", "1"}, {"b", "hello world"}}},
      {"NUL ends a value", "a=1\0b=2"s, all, all, false, true, 2, {{"a", "1"}, {"b", "2"}}},
      {"value across 64 KiB chunks", "v=" + longValue + "&w=1", all, all, false, true, 2, {{"v", longValue}, {"w", "1"}}},
      {"cbTotalBytes shorter than the body", "a=1&b=2", 3, all, false, true, 1, {{"a", "1"}}},
      // A body that stops short of its length is no form (a program would take "hel" for
      // "hello"): no list, the fields begun still counted.
      {"cbTotalBytes longer, read gives 0", "a=1&b=2", 100, all, false, false, 2, {}},
      {"read fails midway", "a=hello&b=2", all, 5, true, false, 1, {}},
      {"read gives 0 midway", "a=hello&b=2", all, 5, false, false, 1, {}},
      {"read fails at once", "a=hello&b=2", all, 0, true, false, 0, {}},
      {"read fails at the last byte", "a=hello&b=2", all, 10, true, false, 2, {}},
      // Of unknown length (chunked), a read that gives nothing is the body's end; one that fails
      // is not.
      {"unknown length, read gives 0 midway", "a=hello&b=2", 0xFFFFFFFF, 5, false, true, 1, {{"a", "hel"}}},
      {"unknown length, whole", "a=hello&b=2", 0xFFFFFFFF, all, false, true, 2, {{"a", "hello"}, {"b", "2"}}},
      {"unknown length, read fails midway", "a=hello&b=2", 0xFFFFFFFF, 5, true, false, 1, {}},
      {"unknown length, read fails at the end", "a=hello&b=2", 0xFFFFFFFF, 11, true, false, 2, {}},
  };
  for (const BodyCase& c : cases) {
    for (size_t chunk : {size_t{1}, size_t{7}, size_t{65536}}) {
      for (size_t preload : {size_t{0}, size_t{2}, size_t{70000}}) {
        if ((c.endAfter != all || c.declared != all) && preload > 0) continue;  // cut by ReadClient
        FakeEcb fake = FakeEcb::Post(c.body, chunk, preload);
        if (c.declared != all) fake.Declare(static_cast<size_t>(c.declared));
        if (c.endAfter != all) fake.EndAfter(static_cast<size_t>(c.endAfter), c.fails);
        const std::string label = c.name + (", chunk " + std::to_string(chunk) + ", preload " +
                                            std::to_string(preload) + ": body " + Show(c.body, 40));
        ExpectRead(label, ReadForm(fake), c.listed, c.count, c.fields);
        if (c.declared == all && c.endAfter == all) {
          EXPECT_EQ(fake.ecb().cbAvailable, 0u) << label;
        }
      }
    }
  }
}

// Allocations above `bytes` fail while this lives: a machine, or a 32-bit process, that has no
// gigabytes to give.
struct AllocationLimit {
  explicit AllocationLimit(SIZE_T bytes) { karvel_test::RefuseAllocationsAbove(bytes); }
  ~AllocationLimit() { karvel_test::RefuseAllocationsAbove(0); }
};

TEST(UrlEncoded, BodiesOfUnknownLengthTakeOnlyTheMemoryTheyFill) {
  // A chunked body arrives with cbTotalBytes 0xFFFFFFFF: the reader must not ask for 4 GiB.
  const AllocationLimit limit(16u << 20);
  std::string big(3000000, 'x');
  for (size_t k = 0; k < big.size(); k += 1000) big[k] = static_cast<char>('a' + k % 26);
  const std::string body = "a=1&big=" + big + "&esc=%41%42+c&big=" + big.substr(0, 70000) + "&z=";
  const std::vector<Want> wants = {{"a", "1", 0, 0}, {"big", big, 0, 0}, {"esc", "AB c", 0, 0},
                                   {"big", big.substr(0, 70000), 0, 1}, {"z", "", 0, 0}};
  for (const DWORD declared : {DWORD{0xFFFFFFFF}, static_cast<DWORD>(body.size())}) {
    for (size_t preload : {size_t{0}, size_t{49152}}) {
      FakeEcb fake = FakeEcb::Post(body, 65536, preload);
      fake.Declare(declared);
      const std::string label = "declared " + std::to_string(declared) + ", preload " + std::to_string(preload);
      ExpectRead(label, ReadForm(fake), true, 5, wants);
      EXPECT_EQ(fake.served(), body.size()) << label;
    }
  }
  for (const std::string small : {"", "a=1", "a=1&b=2&"}) {
    FakeEcb fake = FakeEcb::Post(small, 7);
    fake.Declare(0xFFFFFFFF);
    const Outcome o = ReadForm(fake);
    EXPECT_EQ(o.listed, !small.empty()) << Show(small) << ": " << Describe(o);
    EXPECT_EQ(o.problems, "") << Show(small);
  }
  // No memory to grow into in the middle of the long value: no list, the fields begun counted.
  FakeEcb starved = FakeEcb::Post(body, 65536);
  starved.Declare(0xFFFFFFFF).FailAllocationsAt(1500000, 1);
  ExpectRead("growth fails", ReadForm(starved), false, 2, {});
}

TEST(FormFieldApi, AccessorsFreeAndMeasureText) {
  FakeEcb fake = FakeEcb::Get("a=1&bb=22&c=3");
  int32_t count = 0;
  FormField* head = ReadFormFields(fake.Ecb(), &count);
  ASSERT_NE(head, nullptr);
  FormField* second = GetFormField(head, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(second, nullptr) << "null outputs are allowed";
  char* name = nullptr;
  int32_t length = -1;
  EXPECT_EQ(GetFormField(second, &name, &length, nullptr, nullptr), second->pNext);
  EXPECT_STREQ(name, "bb");
  EXPECT_EQ(length, 2);
  EXPECT_STREQ(GetFormFieldValue(second), "22");
  int32_t untouched = 77;
  EXPECT_EQ(GetFormField(nullptr, &name, &untouched, &untouched, &untouched), nullptr);
  EXPECT_EQ(untouched, 77) << "a null field writes nothing";
  EXPECT_EQ(GetFormFieldValue(nullptr), nullptr);
  FreeFormFields(nullptr);
  FreeFormFields(second->pNext);  // the last record releases the whole list (LeakSanitizer checks)

  struct TextCase { const char* name; std::string text; uint16_t length; std::string after; };
  const std::string longText(64000, 'x');
  const std::vector<TextCase> texts = {
      {"NUL ends", "abc\0def"s, 3, "abc\0def"s},
      {"byte 1 ends and is overwritten", "ab\x01" "cd", 2, "ab\0cd"s},
      {"byte 8 ends and is overwritten", "ab\x08" "cd", 2, "ab\0cd"s},
      {"TAB, LF, CR and other bytes count", "a\tb\r\nc\x0B\x1F\x7F\xFF", 10, "a\tb\r\nc\x0B\x1F\x7F\xFF"},
      {"empty", "", 0, ""},
      {"NUL at 63999", longText.substr(1), 63999, longText.substr(1)},
      {"nothing within 64000 bytes", longText, 0, longText},
  };
  for (const TextCase& c : texts) {
    std::vector<char> text(c.text.begin(), c.text.end());
    text.push_back('\0');
    EXPECT_EQ(MeasureText(text.data()), c.length) << c.name << ": " << Show(c.text, 40);
    EXPECT_TRUE(std::equal(c.after.begin(), c.after.end(), text.begin()))
        << c.name << ": afterwards " << Show(std::string(text.data(), c.text.size()), 40);
  }
}

TEST(FailedReads, AllocationFailuresReleaseEverything) {
  for (int failures = 1; failures <= 4; ++failures) {
    FakeEcb get = FakeEcb::Get("a=1&b=2");
    karvel_test::FailNextAllocations(failures);
    ExpectRead("GET, first " + std::to_string(failures) + " allocations fail", ReadForm(get), false, 0, {});
    FakeEcb post = FakeEcb::Post("a=1&b=2");
    karvel_test::FailNextAllocations(failures);
    ExpectRead("POST, first " + std::to_string(failures) + " allocations fail", ReadForm(post), false, 0, {});
  }
  // Failing from the moment ReadClient is asked for byte k: records come from chunks taken as the
  // list grows, so the read fails whenever a chunk is wanted after byte k, with the fields begun by
  // then counted, and lists every field otherwise. A form of 600 fields wants several chunks.
  std::string body;
  std::vector<Want> all;
  for (int n = 0; n < 600; ++n) {
    const std::string name = "field_with_a_longer_name_" + std::to_string(n);
    body += name + "=" + std::to_string(n) + "&";
    all.push_back({name, std::to_string(n), 0, 0});
  }
  int failedReads = 0;
  for (size_t k = 0; k < body.size(); k += 97) {
    FakeEcb fake = FakeEcb::Post(body, 1);
    fake.FailAllocationsAt(k, 1);
    const std::string label = "allocations fail from byte " + std::to_string(k);
    const Outcome o = ReadForm(fake);
    const int32_t begun = 1 + static_cast<int32_t>(std::count(body.begin(), body.begin() + k, '&'));
    if (o.listed) {
      ExpectRead(label, o, true, 600, all);
    } else {
      ++failedReads;
      EXPECT_EQ(o.problems, "") << label;
      EXPECT_GE(o.count, begun) << label << ": " << Describe(o);
      EXPECT_LE(o.count, 600) << label;
    }
  }
  EXPECT_GT(failedReads, 1) << "failures while the list grows were exercised";
}

TEST(UrlEncoded, SameNameCountsOverManyNamesIgnoreCase) {
  // 700 names, each coming in upper and lower case in turn: the count of earlier fields with the
  // same name must not depend on case or on how many other names came between.
  std::string query;
  std::vector<Want> wants;
  for (int k = 0; k < 4200; ++k) {
    const std::string name = std::string(k / 700 % 2 ? "Name" : "nAME") + std::to_string(k % 700);
    query += name + "=" + std::to_string(k) + "&";
    wants.push_back({name, std::to_string(k), 0, k / 700});
  }
  FakeEcb get = FakeEcb::Get(query);
  ExpectRead("4200 fields, 700 names", ReadForm(get), true, 4200, wants);
}

TEST(HostileInput, AnyBytesGiveAListOrNull) {
  std::string many;
  std::vector<Want> wants;
  for (int k = 0; k < 10000; ++k) {
    many += "f" + std::to_string(k % 3) + "=" + std::to_string(k) + "&";
    wants.push_back({"f" + std::to_string(k % 3), std::to_string(k), 0, k / 3});
  }
  FakeEcb get = FakeEcb::Get(many);
  ExpectRead("10000 fields", ReadForm(get, 5000), true, 10000, wants);

  test_support::TempDir tmp;
  test_support::ScopedEnv tmpdir(test_support::kTempVariable, tmp.path().c_str());
  std::mt19937 random(11);
  const std::string alphabet = "=&%+\"\r\n;\\ -ContentXx0aF\0\xFF"s;
  for (int round = 0; round < 300; ++round) {
    std::string body(std::uniform_int_distribution<size_t>(0, 3000)(random), '\0');
    for (char& c : body) {
      c = (round % 2) ? static_cast<char>(random())
                      : alphabet[std::uniform_int_distribution<size_t>(0, alphabet.size() - 1)(random)];
    }
    if (round % 3 == 0) body = "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"r\"\r\n\r\n" + body;
    const size_t chunk = std::vector<size_t>{1, 7, 65536}[round % 3];
    FakeEcb fake = FakeEcb::Post(body, chunk, round % 5 == 0 ? body.size() / 2 : 0);
    if (round % 4 == 1) fake.Declare(body.size() + 10);
    if (round % 4 == 2) fake.Declare(body.size() / 2);
    if (round % 4 == 3) fake.EndAfter(body.size() / 3, round % 8 == 3);
    const Outcome o = ReadForm(fake, round % 4);
    EXPECT_EQ(o.problems, "") << "round " << round << ": " << Show(body, 200) << "\n" << Describe(o);
    EXPECT_GE(o.count, 0) << "round " << round;
    FakeEcb query = FakeEcb::Get(body.substr(0, body.find('\0')));
    const Outcome q = ReadForm(query);
    EXPECT_EQ(q.problems, "") << "query round " << round << ": " << Describe(q);
  }
}

}  // namespace
}  // namespace gateway_test
