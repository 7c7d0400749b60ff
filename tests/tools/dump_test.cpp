// karvel-dump's reading and showing of exchange files: files the gateway itself wrote, each
// answer kind, and damaged files cut and spoiled at every offset.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <string>

#include "gateway/fake_ecb.h"
#include "gateway/request_driver.h"
#include "karvel_backend.h"
#include "support/files.h"
#include "tools/dump/dump_output.h"
#include "tools/dump/exchange_dump.h"
#include "tools/dump/shown_text.h"

namespace {

using gateway_test::FakeEcb;
using test_support::ReadAll;
using test_support::ScopedEnv;
using test_support::TempDir;

std::string Written(const std::string& query, const TempDir& dir) {
  ScopedEnv tmpdir("TMPDIR", dir.path().c_str());
  FakeEcb fake = FakeEcb::Get(query);
  ExchangeRequest request{};
  EXPECT_EQ(PrepareRequest(fake.Ecb(), &request), nullptr);
  return ReadAll(request.szExchangePath);
}

// Reads a heap copy of exactly the bytes' size, so that AddressSanitizer sees over-reads.
bool ReadExact(const std::string& bytes, DumpedExchange* dump, std::string* reason) {
  std::unique_ptr<char[]> copy(new char[bytes.size() + 1]);
  std::memcpy(copy.get(), bytes.data(), bytes.size());
  return ReadExchange(std::string_view(copy.get(), bytes.size()), dump, reason);
}

TEST(DumpRequest, ShowsEachShapeAndValueAsTheGatewayWroteThem) {
  const struct {
    const char* name;
    std::string query;
    std::string shown;  // what the words show of the fields, line for line
  } cases[] = {
      {"values as sent, offsets from 1 then 0", "a=1&VCEXE=p",
       "\"a\", value with its NUL, 1 bytes at offset 558, offsets counted from 1\n    value: \"1\"\n"
       "  field 1: \"VCEXE\", value with its NUL, 1 bytes at offset 567, offsets counted from 0\n    value: \"p\"\n"},
      {"EUC-JP converted to Shift-JIS", "k=%B0%A1%B0%A1", "\"k\", plain value, 4 bytes at offset 542, offsets counted from 1\n    value: \"亜亜\"\n"},
      {"a NUL kept: the value with its NUL", "n=a%00b",
       "\"n\", value with its NUL, 3 bytes at offset 542, offsets counted from 1\n    value: \"a\\x00b\"\n"},
      {"invalid cp932 bytes and controls escaped", "v=%82%FF%1B%5C",
       "\"v\", value with its NUL, 4 bytes at offset 542, offsets counted from 1\n    value: \"\\x82\\xFF\\x1B\\\\\"\n"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    const std::string bytes = Written(c.query, dir);
    DumpedExchange dump;
    std::string reason;
    ASSERT_TRUE(ReadExact(bytes, &dump, &reason)) << c.name << ": " << reason;
    const std::string words = DumpInWords("f", dump, false);
    const size_t at = words.find("  field 0: ");
    ASSERT_NE(at, std::string::npos) << c.name << words;
    EXPECT_EQ(words.substr(at + 11), c.shown) << c.name;
  }
}

// Whatever a file holds, the dump accepts exactly what the kit's reader accepts, reads the same
// fields, and never reads outside the file.
TEST(DumpRequest, CutOrSpoiledAnywhereAgreesWithTheKit) {
  TempDir dir;
  const std::string files[] = {Written("a=1&VCEXE=p&b=%B0%A1", dir), Written("z=%00&x&y=2", dir)};
  for (const std::string& whole : files) {
    std::string variants[3];
    for (size_t cut = 0; cut <= whole.size(); ++cut) {
      variants[0] = whole.substr(0, cut);
      variants[1] = whole, variants[2] = whole;
      if (cut < whole.size()) {
        variants[1][cut] = static_cast<char>(variants[1][cut] ^ 0xFF);
        variants[2][cut] = 0;
      }
      for (const std::string& bytes : variants) {
        DumpedExchange dump;
        std::string reason, error;
        karvel::Request request;
        const bool shown = ReadExact(bytes, &dump, &reason);
        const bool parsed = karvel::ParseRequest(bytes, &request, &error) || (!bytes.empty() && bytes[0] == '9' && bytes.size() >= 2);
        ASSERT_EQ(shown, parsed) << "at " << cut << ": " << reason << " / " << error;
        if (!shown) {
          EXPECT_NE(reason.find("(file is " + std::to_string(bytes.size())), std::string::npos) << reason;
        } else if (!dump.bAnswered) {
          ASSERT_EQ(dump.fields.size(), request.fields.size());
          for (size_t k = 0; k < dump.fields.size(); ++k) EXPECT_EQ(dump.fields[k].value, request.fields[k].value) << cut;
        }
      }
    }
  }
}

// A value naming a file in the request's own upload directory is shown as an upload; the same
// path beside another exchange file, or a missing file, is not.
TEST(DumpRequest, ShowsUploadsOfThisRequestOnly) {
  TempDir dir;
  const std::string uploads = dir.path() + "/VCU0001.tmp";
  ASSERT_EQ(mkdir(uploads.c_str(), 0700), 0);
  test_support::WriteAll(uploads + "/f", "12345");
  const struct {
    const char* name;
    std::string exchange, value;
    bool upload;
  } cases[] = {
      {"its own upload", dir.path() + "/VC0001.tmp", uploads + "/f", true},
      {"another request's", dir.path() + "/VC0002.tmp", uploads + "/f", false},
      {"missing", dir.path() + "/VC0001.tmp", uploads + "/g", false},
      {"a debug copy's name", dir.path() + "/vcdebug.tmp", uploads + "/f", false},
  };
  for (const auto& c : cases) {
    const std::string bytes = Written("u=" + c.value, dir);
    DumpedExchange dump;
    std::string reason;
    ASSERT_TRUE(ReadExact(bytes, &dump, &reason)) << reason;
    const std::string words = DumpInWords(c.exchange, dump, true);
    EXPECT_EQ(words.find("    upload: \"" + c.value + "\", 5 bytes\n") != std::string::npos, c.upload) << c.name << words;
    EXPECT_EQ(DumpAsJson(c.exchange, dump).find("\"upload\": {\"path\"") != std::string::npos, c.upload) << c.name;
  }
}

// Where the site keeps uploads apart, KARVEL_UPLOAD_DIR names their directory: a request's are
// shown from there, and the same names beside the exchange file are not its own.
TEST(DumpRequest, ShowsUploadsKeptApartWhereTheEnvironmentNamesTheirDirectory) {
  TempDir dir;
  const std::string root = dir.path() + "/uploads", apart = root + "/VCU0001.tmp", beside = dir.path() + "/VCU0001.tmp";
  for (const std::string& made : {root, apart, beside}) ASSERT_EQ(mkdir(made.c_str(), 0700), 0);
  test_support::WriteAll(apart + "/f", "12345");
  test_support::WriteAll(beside + "/f", "12345");
  test_support::ScopedEnv named("KARVEL_UPLOAD_DIR", root.c_str());
  const struct {
    const char* name;
    std::string exchange, value;
    bool upload;
  } cases[] = {
      {"its own upload, apart", dir.path() + "/VC0001.tmp", apart + "/f", true},
      {"the same name beside the exchange file", dir.path() + "/VC0001.tmp", beside + "/f", false},
      {"another request's", dir.path() + "/VC0002.tmp", apart + "/f", false},
  };
  for (const auto& c : cases) {
    const std::string bytes = Written("u=" + c.value, dir);
    DumpedExchange dump;
    std::string reason;
    ASSERT_TRUE(ReadExact(bytes, &dump, &reason)) << reason;
    const std::string words = DumpInWords(c.exchange, dump, false);
    EXPECT_EQ(words.find("    upload: \"" + c.value + "\", 5 bytes\n") != std::string::npos, c.upload) << c.name << words;
  }
}

TEST(DumpRequest, RefusalsSayWhereTheFileStopsMakingSense) {
  TempDir dir;
  const std::string good = Written("a=1", dir);
  std::string bigCount = good;
  bigCount[8] = 7;
  const struct {
    const char* name;
    std::string bytes;
    std::string reason;
  } cases[] = {
      {"empty", "", "the file is empty (file is 0 bytes)"},
      {"garbage", "hello", "byte 0 is 0x68, neither a method digit ('0', '1', '2') nor the answered mark '9' (file is 5 bytes)"},
      {"cut in the header", good.substr(0, 300), "the header runs to offset 524 but the file ends at offset 300 (file is 300 bytes)"},
      {"count past the end", bigCount,
       "the field count at offset 8 says 7 but the index ends at 636 (file is " + std::to_string(good.size()) + " bytes)"},
      {"bytes behind", good + "x", "1 bytes follow the last record, which ends at offset " + std::to_string(good.size()) +
                                        " (file is " + std::to_string(good.size() + 1) + " bytes)"},
  };
  for (const auto& c : cases) {
    DumpedExchange dump;
    std::string reason;
    EXPECT_FALSE(ReadExact(c.bytes, &dump, &reason)) << c.name;
    EXPECT_EQ(reason, c.reason) << c.name;
  }
}

TEST(DumpAnswer, ShowsEachAnswerKind) {
  const struct {
    const char* name;
    std::string bytes;
    std::string shown;
  } cases[] = {
      {"page", "91  Content-Type: text/plain\r\n\r\nhello",
       "  result code: '1' (page)\n  header block: 28 bytes\n    Content-Type: text/plain\\r\\n\n    \\r\\n\n  body: 5 bytes\n"},
      {"page without an empty line", "91  X: y\n",
       "  result code: '1' (page)\n  header block: 5 bytes, no empty line: it runs to the end\n    X: y\\n\n  body: 0 bytes\n"},
      {"empty page", "91", "  result code: '1' (page)\n  header block: 0 bytes, no empty line: it runs to the end\n  body: 0 bytes\n"},
      {"local URL", "92  /a.html", "  result code: '2' (url)\n  url: \"/a.html\" (served by the server itself)\n"},
      {"redirection", "92  http://x.invalid/", "  result code: '2' (url)\n  url: \"http://x.invalid/\" (a redirection)\n"},
      {"file", "94  /nonexistent/f", "  result code: '4' (file)\n  file: \"/nonexistent/f\" (no regular file here)\n"},
      {"other", "93  abc", "  result code: '3' (other)\n  answer area: 3 bytes, no answer the server sends\n"},
      {"control code", "9\x1b", "  result code: '\\x1B' (other)\n  answer area: 0 bytes, no answer the server sends\n"},
  };
  for (const auto& c : cases) {
    DumpedExchange dump;
    std::string reason;
    ASSERT_TRUE(ReadExact(c.bytes, &dump, &reason)) << c.name << ": " << reason;
    const std::string words = DumpInWords("f", dump, false);
    EXPECT_EQ(words.substr(words.find('\n') + 1), c.shown) << c.name;
  }
}

TEST(ShownText, EscapesWhatDoesNotDecode) {
  const struct {
    std::string bytes, cp932, utf8;
  } cases[] = {
      {"abc", "abc", "abc"},
      {"\x88\x9f", "亜", "\\x88\\x9F"},
      {"\xe4\xba\x9c", "莠\\x9C", "亜"},
      {std::string("\0\t\x7f\\\"", 5), "\\x00\\t\\x7F\\\\\"", "\\x00\\t\\x7F\\\\\""},
      {"\x81", "\\x81", "\\x81"},
      {"\xed\xa0\x80", "恝\\x80", "\\xED\\xA0\\x80"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ShownCp932(c.bytes), c.cp932) << HexOf(c.bytes);
    EXPECT_EQ(ShownUtf8(c.bytes), c.utf8) << HexOf(c.bytes);
  }
}

}  // namespace
