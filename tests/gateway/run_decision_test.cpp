// How a request's program runs, decided once by the extension and sent to the host in the start
// order: under Wine exactly when the site has a Wine prefix and the program resolved in the
// back-end directory is a Windows program file, for every request (with uploads or without).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "answer_kinds.h"
#include "gateway/backend_run.h"
#include "gateway/error_page.h"
#include "gateway/fake_ecb.h"
#include "gateway/request_driver.h"
#include "support/files.h"

namespace gateway_test {
namespace {

using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::WriteAll;

// The least a file needs to be taken for a Windows program: the DOS magic, the offset of the PE
// header at 0x3C, and there "PE\0\0" and an i386 machine.
std::string WindowsProgramBytes() {
  std::string bytes(0x40, '\0');
  bytes[0] = 'M';
  bytes[1] = 'Z';
  bytes[0x3C] = 0x40;
  return bytes + std::string("PE\0\0\x4C\x01", 6);
}

TEST(RunDecision, TheHostIsToldWhetherTheProgramRunsUnderWine) {
  TempDir dir;
  const std::string backends = dir.File("backends"), temp = dir.File("tmp"), prefix = dir.File("prefix");
  mkdir(backends.c_str(), 0700);
  mkdir(temp.c_str(), 0700);
  mkdir(prefix.c_str(), 0700);
  ScopedEnv tmpdir(test_support::kTempVariable, temp.c_str());
  WriteAll(backends + "/order.exe", WindowsProgramBytes());
  WriteAll(backends + "/page", "#!/bin/sh\nexit 0\n");
  chmod((backends + "/order.exe").c_str(), 0700);
  chmod((backends + "/page").c_str(), 0700);
  const struct {
    const char* what;
    std::string query;
    bool prefix;            // the site has a Wine prefix
    bool windowsPaths;      // ... and a Windows directory C:\apps for the back-end directory
    const char* started;    // the program the start order names; null: no start order
    bool underWine;
  } cases[] = {
      {"Windows program, prefix", "VCEXE=order.exe&a=1", true, false, "order.exe", true},
      {"Windows program named by its Windows path", "VBEXE=C%3A%5Capps%5Corder.exe", true, true, "order.exe", true},
      {"script, prefix", "VCEXE=page", true, false, "page", false},
      {"Windows program, no prefix", "VCEXE=order.exe", false, false, "order.exe", false},
      {"no program resolves", "VCEXE=missing.exe", true, false, nullptr, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeEcb fake = FakeEcb::Get(c.query);
    fake.Variable("KARVEL_BACKEND_DIR", backends);
    if (c.prefix) fake.Variable("KARVEL_WINE_PREFIX", prefix);
    if (c.windowsPaths) fake.Variable("KARVEL_WINDOWS_PATHS", "C:\\apps|" + backends);
    // The host starts nothing: the request ends with the start's failure, its files discarded.
    fake.HostStartAnswers(KARVEL_PROGRAM_NOT_STARTED);
    ExchangeRequest request{};
    EXPECT_EQ(HandleRequest(fake.Ecb(), false, &request), static_cast<DWORD>(HSE_STATUS_ERROR));
    ASSERT_EQ(fake.supportCalls().size(), 1u);
    EXPECT_EQ(fake.supportCalls()[0].header, ErrorPageWith(ERROR_TEXT_EXE_LOAD));
    if (c.started == nullptr) {
      EXPECT_TRUE(fake.startOrders().empty());
      continue;
    }
    ASSERT_EQ(fake.startOrders().size(), 1u);
    EXPECT_EQ(fake.startOrders()[0].program, backends + "/" + c.started);
    EXPECT_EQ(fake.startOrders()[0].underWine, c.underWine);
    EXPECT_EQ(request.bUnderWine, c.underWine);
  }
}

// A site's time-out as the wait counts it: its milliseconds, exactly while the tick clock can tell
// them; a longer one (nine digits of seconds can name 31 years) waits as long as the clock can
// count, never a time-out wrapped round to a shorter one.
TEST(RunDecision, ATimeOutIsNeverWrappedShorter) {
  const struct {
    int64_t milliseconds;
    DWORD counted;
  } cases[] = {
      {-1, 0},
      {0, 0},
      {1, 1},
      {300, 300},
      {86400000, 86400000u},
      {4294967294, 4294967294u},         // the longest exact one
      {4294967296, 0xFFFFFFFFu},         // wrapped: 0 ms
      {5000000000, 0xFFFFFFFFu},         // wrapped: 705 032 704 ms, about 8 days
      {999999999000, 0xFFFFFFFFu},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TimeoutMilliseconds(c.milliseconds), c.counted) << c.milliseconds;
  }
}

}  // namespace
}  // namespace gateway_test
