// A site whose uploads go to a directory of their own (the host's KARVEL_UPLOAD_DIR): the request's
// upload directory is made there under the exchange file's digits, handed to the program with the
// uploads' full paths, and removed with the exchange file wherever the request fails.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "answer_kinds.h"
#include "gateway/error_page.h"
#include "gateway/fake_ecb.h"
#include "gateway/request_driver.h"
#include "platform/test_hooks.h"
#include "support/files.h"

namespace gateway_test {
namespace {

using test_support::ReadAll;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::WriteAll;

constexpr unsigned long long kFirst = 0x00000000DEADBEEFull, kSecond = 0x00000000CAFEF00Dull;
std::vector<unsigned long long> g_digits;
size_t g_drawn = 0;
unsigned long long PlantedDigits() { return g_digits[g_drawn++ % g_digits.size()]; }

std::string Hex(unsigned long long digits) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llX", digits);
  return text;
}

std::vector<std::string> Entries(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) names.push_back(entry.path().filename());
  return names;
}

const std::string kUploadBody =
    "--B\r\nContent-Disposition: form-data; name=\"VCEXE\"\r\n\r\nPROGRAM\r\n--B\r\n"
    "Content-Disposition: form-data; name=\"f\"; filename=\"u.bin\"\r\n\r\nbytes\r\n--B--\r\n";

struct Case {
  const char* label;
  const char* program;     // the program the form names ("seen": copies its exchange file and answers;
                           // "missing": none such, so no program ever sees the request's files)
  const char* planted;     // "": nothing; "upload dir": the first digits' upload directory stands there
  bool answered;           // the program ran and answered: the upload stays for it
};

TEST(UploadsApart, TheUploadDirectoryLiesInTheSitesOwnAndGoesWithTheExchangeFile) {
  const Case cases[] = {
      {"answered: the upload stays in the site's upload directory", "seen", "", true},
      {"the first digits' upload directory taken: the next digits serve", "seen", "upload dir", true},
      {"a program that is not there: both removed", "missing", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    const std::string backends = dir.File("backends"), temp = dir.File("tmp"), root = dir.File("uploads");
    for (const std::string& made : {backends, temp, root}) mkdir(made.c_str(), 0700);
    const std::string seen = dir.File("seen.bin");
    WriteAll(backends + "/seen", "#!/bin/sh\ncp \"$1\" '" + seen + "'\nprintf '91xxok' > \"$1\"\n");
    chmod((backends + "/seen").c_str(), 0700);
    const std::string planted = root + "/VCU" + Hex(kFirst) + ".tmp";
    if (c.planted[0] != '\0') mkdir(planted.c_str(), 0700);
    ScopedEnv backendEnv("KARVEL_BACKEND_DIR", backends.c_str());
    std::string body = kUploadBody;
    body.replace(body.find("PROGRAM"), 7, c.program);
    FakeEcb fake = FakeEcb::Post(body, 16);
    fake.ContentType("multipart/form-data; boundary=B");
    fake.Variable("KARVEL_TEMP_DIR", temp);
    fake.Variable("KARVEL_UPLOAD_DIR", root);
    g_digits = {kFirst, kSecond};
    g_drawn = 0;
    karvel_test::SetRequestDigitsSource(PlantedDigits);
    ExchangeRequest request{};
    const DWORD status = HandleRequest(fake.Ecb(), false, &request);
    karvel_test::SetRequestDigitsSource(nullptr);
    const std::string digits = Hex(c.planted[0] == '\0' ? kFirst : kSecond);
    const std::string uploads = root + "/VCU" + digits + ".tmp";
    EXPECT_EQ(std::string(request.szExchangePath), temp + "/VC" + digits + ".tmp");
    EXPECT_EQ(std::string(request.szUploadDirectory), uploads);
    // Nothing of the request beside the exchange file, whatever became of it.
    for (const std::string& name : Entries(temp)) EXPECT_NE(name.rfind("VCU", 0), 0u) << name;
    const std::vector<std::string> left = Entries(root);
    if (c.answered) {
      EXPECT_EQ(status, static_cast<DWORD>(HSE_STATUS_SUCCESS));
      EXPECT_EQ(ReadAll(uploads + "/u.bin"), "bytes");
      // The program was handed the upload's full path in the site's upload directory.
      EXPECT_NE(ReadAll(seen).find(uploads + "/u.bin"), std::string::npos);
      EXPECT_EQ(left.size(), c.planted[0] != '\0' ? 2u : 1u);
    } else {
      EXPECT_EQ(status, static_cast<DWORD>(HSE_STATUS_ERROR));
      EXPECT_EQ(Entries(temp), std::vector<std::string>{});
      EXPECT_EQ(left, std::vector<std::string>{});
    }
    std::filesystem::remove_all(uploads);
  }
}

// An upload directory that cannot be had refuses the request before anything is made, in either
// directory: never the exchange file's directory in the site's place.
TEST(UploadsApart, AnUploadDirectoryThatCannotBeHadRefusesTheRequest) {
  TempDir dir;
  const std::string temp = dir.File("tmp"), root = dir.File("uploads");
  mkdir(temp.c_str(), 0700);
  mkdir(root.c_str(), 0700);
  // With its separator and "VCU" + 16 digits + ".tmp", one byte more than MAX_PATH holds.
  const std::string over = root + "/" + std::string(MAX_PATH - root.size() - 1 - 1 - 23, 'u');
  const struct {
    const char* label;
    std::string setting;
  } cases[] = {
      {"one byte too long for the upload directory's path", over},
      {"longer than the room the extension keeps for a setting", root + "/" + std::string(MAX_PATH + 8, 'u')},
      {"not there", root + "/missing"},
      {"a file, not a directory", dir.File("plain")},
  };
  WriteAll(dir.File("plain"), "x");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    FakeEcb fake = FakeEcb::Get("VCEXE=any&a=1");
    fake.Variable("KARVEL_TEMP_DIR", temp);
    fake.Variable("KARVEL_UPLOAD_DIR", c.setting);
    ExchangeRequest request{};
    EXPECT_EQ(HandleRequest(fake.Ecb(), false, &request), static_cast<DWORD>(HSE_STATUS_ERROR));
    ASSERT_EQ(fake.supportCalls().size(), 1u);
    EXPECT_EQ(fake.supportCalls()[0].header, ErrorPageWith(ERROR_TEXT_TEMP_OPEN));
    EXPECT_EQ(Entries(temp), std::vector<std::string>{});
    EXPECT_EQ(Entries(root), std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace gateway_test
