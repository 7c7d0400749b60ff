// The exchange file byte for byte, the choice of the back-end program, and the error page.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "gateway/error_page.h"
#include "gateway/request_driver.h"
#include "gateway/fake_ecb.h"
#include "gateway/form_charset.h"
#include "gateway/form_test_support.h"
#include "jpcodec/jpcodec.h"
#include "platform/test_hooks.h"
#include "support/files.h"

namespace gateway_test {
namespace {

using test_support::ReadAll;
using test_support::ScopedEnv;
using test_support::TempDir;

uint32_t NumberAt(const std::string& file, size_t at) {
  const auto* b = reinterpret_cast<const uint8_t*>(file.data() + at);
  return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

struct Entry {
  uint32_t nameOffset, nameLength, valueOffset, valueLength;
};

Entry EntryAt(const std::string& file, int k) {
  const size_t at = 524 + 16 * static_cast<size_t>(k);
  return {NumberAt(file, at), NumberAt(file, at + 4), NumberAt(file, at + 8), NumberAt(file, at + 12)};
}

// Writes the exchange file of `fake` into a private temporary directory; its bytes.
struct Written {
  LPCSTR failure;
  ExchangeRequest request;
  std::string file;
};

// Allocations above `bytes` fail while this lives.
struct AllocationCap {
  explicit AllocationCap(SIZE_T bytes) { karvel_test::RefuseAllocationsAbove(bytes); }
  ~AllocationCap() { karvel_test::RefuseAllocationsAbove(0); }
};

Written Write(FakeEcb& fake) {
  static TempDir dir;  // one directory for the whole run, removed at its end
  ScopedEnv tmpdir(test_support::kTempVariable, dir.path().c_str());
  Written w{};
  w.failure = PrepareRequest(fake.Ecb(), &w.request);
  w.file = ReadAll(w.request.szExchangePath);
  return w;
}

TEST(ExchangeFile, GetWithTwoFieldsIsLaidOutByteForByte) {
  // A one-letter name with a one-byte value, then a VCEXE field with an 8-byte path.
  FakeEcb fake = FakeEcb::Get("a=1&VCEXE=C%3A%5Cx.exe");
  fake.Variable("REMOTE_ADDR", "192.0.2.7");
  Written w = Write(fake);
  ASSERT_EQ(w.failure, nullptr);
  const std::string& f = w.file;
  ASSERT_EQ(f.size(), 577u);
  EXPECT_EQ(f.substr(0, 4), std::string("2 \0\0", 4));
  EXPECT_EQ(NumberAt(f, 4), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(fake.ecb().ConnID)));
  EXPECT_EQ(NumberAt(f, 8), 2u);
  EXPECT_EQ(f.substr(12, 10), std::string("192.0.2.7\0", 10));
  EXPECT_EQ(f.substr(22, 256 - 10), std::string(246, '\0')) << "zero behind the text";
  EXPECT_EQ(f[268], '\0') << "REMOTE_USER not supplied";

  const Entry first = EntryAt(f, 0), second = EntryAt(f, 1);
  EXPECT_EQ(first.nameOffset, 557u);  // record at 556, base 1
  EXPECT_EQ(first.nameLength, 2u);
  EXPECT_EQ(first.valueOffset, 559u);
  EXPECT_EQ(first.valueLength, 2u);
  EXPECT_EQ(second.nameOffset, 561u);  // base 0 from the VCEXE field on
  EXPECT_EQ(second.nameLength, 6u);
  EXPECT_EQ(second.valueOffset, 567u);
  EXPECT_EQ(second.valueLength, 9u);
  EXPECT_EQ(f.substr(556, 2), std::string("a\0", 2));
  EXPECT_EQ(f.substr(558, 3), std::string("1\0\0", 3));
  EXPECT_EQ(f.substr(561, 6), std::string("VCEXE\0", 6));
  EXPECT_EQ(f.substr(567, 10), std::string("C:\\x.exe\0\0", 10));
  EXPECT_STREQ(w.request.szBackendPath, "C:\\x.exe");
  EXPECT_TRUE(w.request.bVcexeTaken);
}

TEST(ExchangeFile, ValuesAreConvertedAndNamesMeasured) {
  // EUC-JP 亜あい becomes Shift-JIS; a name is cut at its first byte below 9.
  FakeEcb fake = FakeEcb::Post("k=%B0%A1%A4%A2%A4%A4&n%01x=abc&e=", 65536, 5, "Post");
  Written w = Write(fake);
  ASSERT_EQ(w.failure, nullptr);
  const std::string& f = w.file;
  EXPECT_EQ(f[0], '0') << "the digit is chosen case-sensitively, the body read all the same";
  ASSERT_EQ(NumberAt(f, 8), 3u);
  const Entry k = EntryAt(f, 0), n = EntryAt(f, 1), e = EntryAt(f, 2);
  EXPECT_EQ(k.valueLength, 6u);
  EXPECT_EQ(f.substr(k.valueOffset - 1, 7), std::string("\x88\x9F\x82\xA0\x82\xA2\0", 7));
  EXPECT_EQ(n.nameLength, 2u);
  EXPECT_EQ(f.substr(n.nameOffset - 1, 2), std::string("n\0", 2));
  EXPECT_EQ(n.valueLength, 4u);
  EXPECT_EQ(f.substr(n.valueOffset - 1, 5), std::string("abc\0\0", 5));
  EXPECT_EQ(e.valueLength, 1u) << "an empty unchanged value counts its NUL";
  EXPECT_EQ(f.size(), e.valueOffset - 1 + 2);
  EXPECT_STREQ(w.request.szBackendPath, "");
}

// The value of entry `k` (no VCEXE field: offsets count from 1), without its NUL.
std::string ValueAt(const Written& w, int k) {
  const Entry e = EntryAt(w.file, k);
  return w.file.substr(e.valueOffset - 1, e.valueLength - 1);
}

// A form's `_charset_` field, the site's setting or the request's Content-Type names the encoding
// of the values, which are then converted exactly; without any, the detection decides as before.
TEST(ExchangeFile, DeclaredEncodingsConvertValuesExactly) {
  const std::string testUtf8 = "%E3%83%86%E3%82%B9%E3%83%88", testSjis = "\x83\x65\x83\x58\x83\x67";
  const std::string kana = "%B6%BF%B3%BC%C3%DD", kanaSjis = "\xB6\xBF\xB3\xBC\xC3\xDD";  // ｶｿｳｼﾃﾝ
  const struct {
    const char* name;
    std::string query;
    const char* site;         // KARVEL_FORM_CHARSET, null for none
    std::string contentType;  // the request's
    int entry;                // the value looked at
    std::string want;
  } cases[] = {
      {"_charset_ UTF-8", "_charset_=UTF-8&v=" + testUtf8, nullptr, "", 1, testSjis},
      {"_charset_ after the value", "v=" + testUtf8 + "&_charset_=utf-8", nullptr, "", 0, testSjis},
      {"_charset_ stays as sent", "_charset_=%20utf-8&v=" + testUtf8, nullptr, "", 0, " utf-8"},
      {"site UTF-8, unmapped é", "v=caf%C3%A9", "UTF-8", "", 0, "caf&#233;"},
      {"Content-Type charset", "v=caf%C3%A9", nullptr, "application/x-www-form-urlencoded; charset=\"utf-8\"", 0,
       "caf&#233;"},
      {"_charset_ over the site", "_charset_=Shift_JIS&v=" + kana, "UTF-8", "", 1, kanaSjis},
      {"_charset_ over the Content-Type", "_charset_=shift_jis&v=" + kana, nullptr, "text/plain;charset=euc-jp", 1,
       kanaSjis},
      {"unknown _charset_ leaves the site's", "_charset_=KOI8-R&v=caf%C3%A9", "utf8", "", 1, "caf&#233;"},
      {"site Shift_JIS", "v=" + kana, "Shift_JIS", "", 0, kanaSjis},
      // Half-width katakana are widened, as the converter always did for EUC-JP.
      {"EUC-JP declared", "_charset_=EUC-JP&v=%8E%B6%8E%BF%B0%A1", nullptr, "", 1, "\x83\x4A\x83\x5C\x88\x9F"},
      {"ISO-2022-JP declared", "v=%1B%24B0%21%1B%28B", "ISO-2022-JP", "", 0, "\x88\x9F"},
      {"what JIS-style converters send", "_charset_=UTF-8&v=%E3%80%9C%E2%80%96%E2%88%92%C2%A2%C2%A3%C2%AC",
       nullptr, "", 1, "\x81\x60\x81\x61\x81\x7C\x81\x91\x81\x92\x81\xCA"},
      {"emoji and invalid bytes", "_charset_=UTF-8&v=%F0%9F%98%80%FFx%E3%83", nullptr, "", 1, "&#128512;?x?"},
      {"NUL bytes stay", "_charset_=UTF-8&v=a%00%E3%83%86", nullptr, "", 1, std::string("a\0\x83\x65", 4)},
  };
  for (const auto& c : cases) {
    FakeEcb fake = FakeEcb::Post(c.query, 7);
    fake.ContentType(c.contentType);
    if (c.site != nullptr) fake.Variable("KARVEL_FORM_CHARSET", c.site);
    Written w = Write(fake);
    ASSERT_EQ(w.failure, nullptr) << c.name;
    EXPECT_EQ(Show(ValueAt(w, c.entry)), Show(c.want)) << c.name;
    std::remove(w.request.szExchangePath);
  }

  // Undeclared (or "auto"): the half-width katakana's bytes are taken for EUC-JP, as the converter
  // alone takes them: the pairs B6BF B3BC C3DD are JIS 363F 333C 435D, in Shift-JIS (as iconv
  // converts them from EUC-JP) 8BBD 8A5B 927C.
  const std::string detected = "\x8B\xBD\x8A\x5B\x92\x7C";
  for (const char* site : {static_cast<const char*>(nullptr), "auto", "latin1"}) {
    FakeEcb fake = FakeEcb::Get("v=" + kana);
    if (site != nullptr) fake.Variable("KARVEL_FORM_CHARSET", site);
    Written w = Write(fake);
    // A converted value's length does not count its NUL: the text up to it.
    EXPECT_EQ(Show(w.file.c_str() + EntryAt(w.file, 0).valueOffset - 1), Show(detected)) << (site ? site : "no setting");
    std::remove(w.request.szExchangePath);
  }

  // Upload names follow the declaration before them; the path written is the saved file's.
  const std::string body =
      "--B\r\nContent-Disposition: form-data; name=\"_charset_\"\r\n\r\nUTF-8\r\n"
      "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"C:\\d\\\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.txt\"\r\n"
      "Content-Type: text/plain\r\n\r\nbytes\r\n--B--\r\n";
  FakeEcb upload = FakeEcb::Post(body, 5);
  upload.ContentType("multipart/form-data; boundary=B");
  Written w = Write(upload);
  ASSERT_EQ(w.failure, nullptr);
  const std::string path = ValueAt(w, 1);
  const std::string directory = w.request.szUploadDirectory;
  EXPECT_EQ(path.substr(0, directory.size()), directory);
  EXPECT_EQ(Show(path.substr(directory.size() + 1)), Show(testSjis + ".txt"));
  EXPECT_EQ(ReadAll(path), "bytes");
  std::remove(path.c_str());
  RemoveDirectoryA(w.request.szUploadDirectory);
  std::remove(w.request.szExchangePath);
}

// The value record as it was written from the value whole: the value and two NULs through
// ConvertToSjis2 without a declaration; ConvertDeclaredValue's text and two NULs with one.
struct Record {
  std::string bytes;
  uint32_t length;
};
Record WholeValueRecord(const char* charset, const std::string& value) {
  FormCharset declared = kCharsetAuto;
  if (charset != nullptr) FormCharsetNamed(charset, std::strlen(charset), &declared);
  if (declared == kCharsetAuto) {
    std::string copy = value + std::string(2, '\0');
    const unsigned long converted = ConvertToSjis2(copy.data(), static_cast<unsigned long>(value.size() + 1));
    return {copy.substr(0, converted + 1), static_cast<uint32_t>(converted)};
  }
  std::string out(DeclaredValueRoom(value.size()) + 2, '\0');
  const size_t converted = ConvertDeclaredValue(declared, value.data(), value.size(), out.data());
  return {out.substr(0, converted) + std::string(2, '\0'), static_cast<uint32_t>(converted + 1)};
}

// The value's bytes, escaped where a URL-encoded body would take them for something else.
std::string Encoded(const std::string& value) {
  std::string out;
  for (const char c : value) {
    const auto b = static_cast<uint8_t>(c);
    if (b == 0 || b == '&' || b == '=' || b == '%' || b == '+' || b == '"' || b == '\r' || b == '\n') {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", b);
      out += escape;
    } else {
      out += c;
    }
  }
  return out;
}

// Long values (many conversion blocks) in every encoding are written byte for byte as converting
// each whole wrote them, with memory for the form and little more: no block as large as the
// value is taken beside the form's own buffer.
TEST(ExchangeFile, LongValuesAreWrittenAsTheirWholeConversion) {
  std::mt19937 random(7);
  auto some = [&](const std::vector<std::string>& pieces, size_t bytes) {
    std::string text;
    while (text.size() < bytes) text += pieces[random() % pieces.size()];
    return text;
  };
  const std::vector<std::string> utf8 = {"\xE3\x83\x86", "\xE6\xBC\xA2", "ab", "\xC3\xA9", "\xF0\x9F\x98\x80", "\xE3\x83",
                                         "\xFF", std::string(1, '\0')};
  const std::vector<std::string> euc = {"\xA4\xA2", "\xB0\xA1", "\x8E\xB6", "\x8E\xB6\xDE", "x y", "\xFE\xFE"};
  const std::vector<std::string> jis = {"\x1B$B", "0!", "F|", "\x1B(B", "abc", "\x1B(I", "\xB6\xDE", "\x1B$"};
  const std::vector<std::string> sjis = {"\x83\x65", "\x88\x9F", "ab", "\xB6"};
  const size_t size = 600000;
  const struct {
    const char* name;
    const char* charset;  // KARVEL_FORM_CHARSET; null: detection
    std::string value;
  } cases[] = {
      {"UTF-8 declared", "UTF-8", some(utf8, size)},
      {"UTF-8 declared, a sequence cut at the end", "UTF-8", some(utf8, size) + "\xE3\x83"},
      {"EUC-JP declared", "EUC-JP", some(euc, size)},
      {"EUC-JP declared, a lead byte last", "EUC-JP", some(euc, size) + "\xB0"},
      {"ISO-2022-JP declared", "ISO-2022-JP", some(jis, size)},
      {"ISO-2022-JP declared, katakana past the room", "ISO-2022-JP", "\x1B(I" + std::string(size, '\xB6')},
      {"Shift_JIS declared", "Shift_JIS", some(sjis, size)},
      {"EUC-JP detected", nullptr, "\xA4\xA2" + some(euc, size)},
      {"EUC-JP detected, a lead byte last", nullptr, "\xA4\xA2" + some(euc, size) + "\xB0"},
      {"JIS detected", nullptr, "\x1B$B" + some(jis, size)},
      {"JIS detected, katakana past the room", nullptr, "\x1B(I" + std::string(size, '\xB6')},
      {"Shift-JIS left as it came", nullptr, some(sjis, size)},
      {"ASCII left as it came", nullptr, std::string(size, 'a')},
      {"a NUL early ends a detected text", nullptr, "\xA4\xA2" + std::string(1, '\0') + some(euc, size)},
  };
  for (const auto& c : cases) {
    const std::string body = "a=1&v=" + Encoded(c.value) + "&z=2";
    FakeEcb fake = FakeEcb::Post(body, 65536);
    if (c.charset != nullptr) fake.Variable("KARVEL_FORM_CHARSET", c.charset);
    Written w{};
    {
      // Twice the body and a little: the form's buffer as it grows; never four times for UTF-8.
      const AllocationCap cap(2 * body.size() + (512u << 10));
      w = Write(fake);
    }
    ASSERT_EQ(w.failure, nullptr) << c.name;
    const Record want = WholeValueRecord(c.charset, c.value);
    const Entry e = EntryAt(w.file, 1);
    EXPECT_EQ(e.valueLength, want.length) << c.name;
    const std::string got = w.file.substr(e.valueOffset - 1, want.bytes.size());
    if (got != want.bytes) {
      size_t k = 0;
      while (k < got.size() && got[k] == want.bytes[k]) ++k;
      ADD_FAILURE() << c.name << ": the record differs at byte " << k << " of " << want.bytes.size();
    }
    EXPECT_EQ(EntryAt(w.file, 2).nameOffset - 1, e.valueOffset - 1 + want.bytes.size()) << c.name << ": the next record";
    EXPECT_EQ(ValueAt(w, 2), "2") << c.name;
    std::remove(w.request.szExchangePath);
  }
}

TEST(ExchangeFile, BackendChoiceAndOffsetBases) {
  const std::string long259(259, 'p'), long260(260, 'p');
  const struct {
    const char* name;
    std::string query;
    const char* failure;
    std::string path;
    bool vcexe;
    std::vector<uint32_t> bases;  // per entry: name offset minus the record's position
  } cases[] = {
      {"VCEXE, later VBEXE", "x=1&VCEXE=a&y=2&VBEXE=b", nullptr, "b", true, {1, 0, 0, 0}},
      {"VBEXE, later VCEXE", "VBEXE=b&VCEXE=a", nullptr, "b", false, {1, 1}},
      {"two VCEXE", "VCEXE=first&VCEXE=second", nullptr, "first", true, {0, 0}},
      {"VCEXE_2 counts, vcexe not", "vcexe=no&VCEXE_2=yes", nullptr, "yes", true, {1, 0}},
      {"neither", "a=1", nullptr, "", false, {1}},
      {"259 bytes taken", "VBEXE=" + long259, nullptr, long259, false, {1}},
      {"260 bytes refused", "VBEXE=" + long260, ERROR_TEXT_TEMP_WRITE, "", false, {}},
      {"long value no longer examined", "VBEXE=b&VCEXE=" + long260, nullptr, "b", false, {1, 1}},
      {"no fields", "", ERROR_TEXT_KEY_CREATE, "", false, {}},
  };
  for (const auto& c : cases) {
    FakeEcb fake = FakeEcb::Get(c.query);
    Written w = Write(fake);
    if (c.failure != nullptr) {
      EXPECT_STREQ(w.failure, c.failure) << c.name;
      continue;
    }
    ASSERT_EQ(w.failure, nullptr) << c.name;
    EXPECT_EQ(std::string(w.request.szBackendPath), c.path) << c.name;
    EXPECT_EQ(w.request.bVcexeTaken, c.vcexe) << c.name;
    // Records follow one another from the end of the index, each offset carrying its base.
    size_t position = 524 + 16 * c.bases.size();
    for (size_t k = 0; k < c.bases.size(); ++k) {
      const Entry e = EntryAt(w.file, static_cast<int>(k));
      EXPECT_EQ(e.nameOffset, position + c.bases[k]) << c.name << " entry " << k;
      position += e.nameLength;
      EXPECT_EQ(e.valueOffset, position + c.bases[k]) << c.name << " entry " << k;
      position += e.valueLength + 1;
    }
    EXPECT_EQ(w.file.size(), position) << c.name;
  }
}

TEST(ExchangeFile, FailuresLeaveTheFileAndNameTheirText) {
  // No temporary directory: no file can be made or opened.
  TempDir dir;
  {
    ScopedEnv tmpdir(test_support::kTempVariable, dir.File("missing").c_str());
    FakeEcb fake = FakeEcb::Get("a=1");
    ExchangeRequest request{};
    EXPECT_STREQ(PrepareRequest(fake.Ecb(), &request), ERROR_TEXT_TEMP_OPEN);
  }
  // A method without form data: the header and the empty index are written, then the failure.
  FakeEcb head = FakeEcb::Get("a=1", "HEAD");
  Written w = Write(head);
  EXPECT_STREQ(w.failure, ERROR_TEXT_KEY_CREATE);
  EXPECT_EQ(w.file.size(), 524u);
  EXPECT_EQ(w.file[0], '0');
}

// Request files are named by 64 random bits: no name follows from another, none runs out. The
// uploads' directory carries the exchange file's digits, so a back-end tells its own request's
// uploads from the path it is given.
TEST(ExchangeFile, NamesAreRandomAndTieTheUploadsToTheRequest) {
  std::set<std::string> digits;
  for (int k = 0; k < 200; ++k) {
    FakeEcb fake = FakeEcb::Get("a=1");
    Written w = Write(fake);
    ASSERT_EQ(w.failure, nullptr);
    const std::string path = w.request.szExchangePath;
    const size_t base = path.find_last_of("/\\") + 1;
    const std::string name = path.substr(base);
    ASSERT_EQ(name.size(), 2u + 16 + 4) << name;
    EXPECT_EQ(name.substr(0, 2), "VC");
    EXPECT_EQ(name.substr(18), ".tmp");
    EXPECT_EQ(name.find_first_not_of("0123456789ABCDEF", 2), 18u) << name;
    digits.insert(name.substr(2, 16));
    EXPECT_EQ(std::string(w.request.szUploadDirectory), path.substr(0, base) + "VCU" + name.substr(2));
#ifndef _WIN32
    struct stat info{};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "request data is private";
#endif
    std::remove(path.c_str());
  }
  EXPECT_EQ(digits.size(), 200u);
  // Successive names share no more than chance would: not a counter.
  std::set<char> firstDigits;
  for (const std::string& d : digits) firstDigits.insert(d[0]);
  EXPECT_GT(firstDigits.size(), 8u);
}

// A site's field limit (the host's KARVEL_MAX_FIELDS, else the environment, else 10 000) ends the
// read at the first field beyond it, without reading the rest of the body.
TEST(ExchangeFile, FieldsBeyondTheSiteLimitAreRefused) {
  std::string body = "VCEXE=ok";
  for (int k = 0; k < 20000; ++k) body += "&=";
  const struct {
    const char* name;
    const char* variable;     // the host's setting, null for none
    const char* environment;  // KARVEL_MAX_FIELDS in the environment, null for none
    int fields;               // fields in the form
    bool refused;
  } cases[] = {
      {"default, at the limit", nullptr, nullptr, 10000, false},
      {"default, one more", nullptr, nullptr, 10001, true},
      {"host's limit", "5", nullptr, 6, true},
      {"host's limit reached", "5", nullptr, 5, false},
      {"host's limit over the environment's", "50", "3", 6, false},
      {"environment's limit", nullptr, "3", 4, true},
      {"no limit", "0", nullptr, 20001, false},
      {"unreadable setting: the default", "many", nullptr, 10001, true},
  };
  for (const auto& c : cases) {
    ScopedEnv env("KARVEL_MAX_FIELDS", c.environment);
    std::string form = body.substr(0, 8 + 2 * static_cast<size_t>(c.fields - 1));
    if (c.refused) form += "&tail=" + std::string(100000, 'y');
    FakeEcb fake = FakeEcb::Post(form, 4096);
    if (c.variable != nullptr) fake.Variable("KARVEL_MAX_FIELDS", c.variable);
    Written w = Write(fake);
    EXPECT_STREQ(w.failure, c.refused ? ERROR_TEXT_TOO_MANY_FIELDS : nullptr) << c.name;
    if (c.refused) {
      EXPECT_LT(fake.served(), form.size()) << c.name << ": the rest of the body is not read";
    } else {
      EXPECT_EQ(NumberAt(w.file, 8), static_cast<uint32_t>(c.fields)) << c.name;
    }
    std::remove(w.request.szExchangePath);
  }
  // The refusal is the error page with status 413.
  FakeEcb fake = FakeEcb::Get("");
  EXTENSION_CONTROL_BLOCK* ecb = fake.Ecb();
  EXPECT_EQ(SendErrorPage(ecb, ERROR_TEXT_TOO_MANY_FIELDS), static_cast<DWORD>(HSE_STATUS_ERROR));
  EXPECT_EQ(ecb->dwHttpStatusCode, 413u);
  ASSERT_EQ(fake.supportCalls().size(), 1u);
  EXPECT_EQ(fake.supportCalls()[0].buffer, "413 Request Entity Too Large");
  EXPECT_NE(fake.supportCalls()[0].header.find("TooManyFieldsError"), std::string::npos);
}

TEST(ErrorPage, IsSentByteForByteWithStatus200) {
  FakeEcb fake = FakeEcb::Get("");
  EXTENSION_CONTROL_BLOCK* ecb = fake.Ecb();
  EXPECT_EQ(SendErrorPage(ecb, ERROR_TEXT_KEY_CREATE), static_cast<DWORD>(HSE_STATUS_ERROR));
  EXPECT_EQ(ecb->dwHttpStatusCode, 200u);
  ASSERT_EQ(fake.supportCalls().size(), 1u);
  const FakeEcb::SupportCall& call = fake.supportCalls()[0];
  EXPECT_EQ(call.request, static_cast<DWORD>(HSE_REQ_SEND_RESPONSE_HEADER));
  EXPECT_EQ(call.buffer, "200 Ok");
  EXPECT_EQ(call.header,
            "Content-Type: text/html\r\n\r\n<BODY><center><HEAD><TITLE>V_KARVEL</TITLE></HEAD><P></P><P></P><P>"
            "<H1>SERVER ERROR!!!</P><P>KeyCreateError</H1></P></center></BODY>");
}

}  // namespace
}  // namespace gateway_test
