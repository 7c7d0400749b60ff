// How each refusal is told: the host's failure report (the access log's word, the program, the
// status), the page's status line under both KarvelErrorStatus settings, lpszLogData, and the page
// body, which stays the one it always was.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "answer_kinds.h"
#include "gateway/error_page.h"
#include "gateway/fake_ecb.h"
#include "gateway/request_driver.h"
#include "support/files.h"

namespace gateway_test {
namespace {

using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::WriteAll;

std::string UploadBody(const std::string& program) {
  return "--b\r\nContent-Disposition: form-data; name=\"VCEXE\"\r\n\r\n" + program +
         "\r\n--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\n\r\n" + std::string(5000, 'u') +
         "\r\n--b--\r\n";
}

TEST(FailureReport, EachRefusalIsToldWithItsWordStatusAndProgram) {
  TempDir dir;
  const std::string backends = dir.File("backends"), temp = dir.File("tmp");
  mkdir(backends.c_str(), 0700);
  mkdir(temp.c_str(), 0700);
  mkdir((backends + "/subdir").c_str(), 0700);
  WriteAll(backends + "/plain", "not a program\n");  // not executable, no Windows program either
  WriteAll(backends + "/prog", "#!/bin/sh\nexit 0\n");
  chmod((backends + "/prog").c_str(), 0700);
  ScopedEnv backendEnv("KARVEL_BACKEND_DIR", backends.c_str());
  ScopedEnv tempEnv("TMPDIR", temp.c_str());
  const std::string tooLong(300, 'p');
  const struct {
    const char* name;
    FakeEcb fake;
    const char* text;
    const char* result;
    const char* program;
    DWORD legacy, http;  // the status under each setting
  } cases[] = {
      {"nothing there", FakeEcb::Get("VCEXE=nosuch"), ERROR_TEXT_EXE_LOAD, "not-found", "nosuch", 200, 502},
      {"below a missing directory", FakeEcb::Get("VCEXE=no/dir/prog"), ERROR_TEXT_EXE_LOAD, "not-found", "no/dir/prog",
       200, 502},
      {"a path too long for any program", FakeEcb::Get("VBEXE=" + tooLong), ERROR_TEXT_TEMP_WRITE, "not-found", "", 200,
       502},
      {"outside the directory", FakeEcb::Get("VCEXE=/bin/sh"), ERROR_TEXT_EXE_LOAD, "not-allowed", "/bin/sh", 200, 502},
      {"a way out", FakeEcb::Get("VBEXE=../../../../../../bin/sh"), ERROR_TEXT_EXE_LOAD, "not-allowed",
       "../../../../../../bin/sh", 200, 502},
      {"not executable", FakeEcb::Get("VCEXE=plain"), ERROR_TEXT_EXE_LOAD, "not-allowed", "plain", 200, 502},
      {"a directory", FakeEcb::Get("VCEXE=subdir"), ERROR_TEXT_EXE_LOAD, "not-allowed", "subdir", 200, 502},
      {"fields, no program", FakeEcb::Get("a=1&b=2"), ERROR_TEXT_EXE_LOAD, "no-backend-field", "", 200, 400},
      {"no fields", FakeEcb::Get(""), ERROR_TEXT_KEY_CREATE, "no-backend-field", "", 200, 400},
      {"too many fields", FakeEcb::Get("VCEXE=prog&a=1&b=2").Variable("KARVEL_MAX_FIELDS", "2"),
       ERROR_TEXT_TOO_MANY_FIELDS, "too-many-fields", "", 413, 413},
      {"a name of 256 bytes", FakeEcb::Get("VCEXE=prog&" + std::string(256, 'n') + "=1"), ERROR_TEXT_KEY_CREATE,
       "form-error", "", 200, 400},
      {"a body cut short", FakeEcb::Post("VCEXE=prog&v=" + std::string(100, 'v')).EndAfter(20, true),
       ERROR_TEXT_TEMP_WRITE, "form-error", "", 200, 400},
      {"a body over the server's limit",
       FakeEcb::Post("VCEXE=prog&v=" + std::string(100, 'v')).EndAfter(20, true, ERROR_FILE_TOO_LARGE),
       ERROR_TEXT_TEMP_WRITE, "form-error", "", 200, 413},
      {"an upload over the server's limit",
       FakeEcb::Post(UploadBody("prog"), 1000).ContentType("multipart/form-data; boundary=b").EndAfter(2000, true, ERROR_FILE_TOO_LARGE), ERROR_TEXT_TEMP_WRITE,
       "form-error", "", 200, 413},
      {"no slot in time", FakeEcb::Get("VCEXE=prog").HostStartAnswers(KARVEL_SERVER_BUSY), ERROR_TEXT_BUSY, "503",
       "prog", 503, 503},
      {"the host could not start it", FakeEcb::Get("VCEXE=prog").HostStartAnswers(KARVEL_PROGRAM_NOT_STARTED),
       ERROR_TEXT_EXE_LOAD, "start-failed", "prog", 200, 502},
      {"an unreadable site setting", FakeEcb::Get("VCEXE=prog").Variable("KARVEL_MAX_FIELDS", std::string(40, '1')),
       ERROR_TEXT_EXE_LOAD, "not-allowed", "", 200, 502},
      {"an unreadable temp directory", FakeEcb::Get("VCEXE=prog").Variable("KARVEL_TEMP_DIR", "/proc/"),
       ERROR_TEXT_TEMP_OPEN, "temp-error", "", 200, 500},
  };
  for (const auto& c : cases) {
    for (const bool http : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (http ? " (http)" : " (legacy)"));
      FakeEcb fake = c.fake;
      if (http) fake.Variable("KARVEL_ERROR_STATUS", "http");
      ExchangeRequest request{};
      EXPECT_EQ(static_cast<DWORD>(HSE_STATUS_ERROR), HandleRequest(fake.Ecb(), false, &request));
      const DWORD status = http ? c.http : c.legacy;
      ASSERT_EQ(1u, fake.failures().size());
      const FakeEcb::FailureTold& told = fake.failures()[0];
      EXPECT_EQ(c.result, told.result);
      EXPECT_EQ(c.text, told.text);
      EXPECT_EQ(c.program[0] != '\0' ? c.program : "\x01null", told.program);
      EXPECT_EQ(status, told.status);
      EXPECT_EQ(http, told.errorDocument);
      EXPECT_FALSE(told.reason.empty());
      // The page: the same body whatever the setting, with the status told.
      ASSERT_FALSE(fake.supportCalls().empty());
      EXPECT_EQ(status, fake.ecb().dwHttpStatusCode);
      EXPECT_EQ(std::to_string(status), fake.supportCalls()[0].buffer.substr(0, 3));
      const std::string header = fake.supportCalls()[0].header;
      const bool retryAfter = header.rfind("Retry-After: 10\r\n", 0) == 0;
      EXPECT_EQ(status == 503, retryAfter);
      EXPECT_EQ(ErrorPageWith(c.text), retryAfter ? header.substr(17) : header);
      // The log data: the text, then the program, within its room.
      const std::string logData = fake.ecb().lpszLogData;
      EXPECT_EQ(c.program[0] != '\0' ? std::string(c.text) + " " + c.program : std::string(c.text), logData);
    }
  }
}

TEST(FailureReport, TheReportAndLogDataStayWithinTheirBounds) {
  const std::string program(400, 'q');
  const struct {
    const char* name;
    FailureKind kind;
    const char* text;
    std::string program;
    bool page;
  } cases[] = {
      {"a program name longer than the log data", kFailureNotFound, ERROR_TEXT_EXE_LOAD, program, true},
      {"no program", kFailureTempFile, ERROR_TEXT_TEMP_OPEN, "", true},
      {"a client that left: no page", kFailureClientGone, nullptr, "prog", false},
      {"a kind out of range counts as a temp-file failure", static_cast<FailureKind>(99), ERROR_TEXT_TEMP_WRITE, "",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEcb fake = FakeEcb::Get("");
    EXTENSION_CONTROL_BLOCK* ecb = fake.Ecb();
    EXPECT_EQ(static_cast<DWORD>(HSE_STATUS_ERROR),
              SendFailurePage(ecb, RequestFailure{c.kind, c.text, c.program.c_str(), 5, true}));
    const std::string logData(ecb->lpszLogData);
    EXPECT_LT(logData.size(), static_cast<size_t>(HSE_LOG_BUFFER_LEN));
    EXPECT_EQ(c.page ? 1u : 0u, fake.supportCalls().size());
    ASSERT_EQ(1u, fake.failures().size());
    EXPECT_EQ(c.page ? c.text : "\x01null", fake.failures()[0].text);
    EXPECT_EQ(5u, fake.failures()[0].error);
    if (c.kind == kFailureClientGone) {
      EXPECT_EQ("client-gone", fake.failures()[0].result);
    }
    if (c.program.size() > MAX_PATH) {
      EXPECT_EQ(std::string(MAX_PATH - 1, 'q'), fake.failures()[0].program);
    }
  }
}

}  // namespace
}  // namespace gateway_test
