// Requests through HttpExtensionProc's steps against real Windows back-end programs: WinExec with
// SW_HIDE, exchange files from GetTempFileNameA, and CreateFileA's sharing rules between the
// waiting request and a back-end that holds the file open for writing.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "answer_kinds.h"
#include "backend_run_bodies.h"
#include "gateway/backend_run.h"
#include "gateway/error_page.h"
#include "gateway/request_driver.h"
#include "gateway/request_driver.h"
#include "gateway/fake_ecb.h"
#include "platform/test_hooks.h"
#include "support/files.h"

namespace gateway_test {
namespace {

using test_support::ReadAll;
using test_support::ScopedEnv;
using test_support::WriteAll;

// scripted_backend.exe, found from this test program's directory.
std::string ScriptedBackend() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string directory(path, length);
  return directory.substr(0, directory.find_last_of("\\/")) + "\\" KARVEL_SCRIPTED_BACKEND;
}

// A fresh directory in the temporary directory, removed at the end of the test.
class WindowsTempDir {
 public:
  WindowsTempDir() {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    char name[MAX_PATH];
    GetTempFileNameA(temp, "kbt", 0, name);  // a unique name, its file replaced by the directory
    DeleteFileA(name);
    path_ = name;
    EXPECT_TRUE(CreateDirectoryA(path_.c_str(), nullptr)) << path_;
  }
  ~WindowsTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string File(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

class BackendFixture {
 public:
  explicit BackendFixture(const std::string& backends = "backends")
      : backends_(dir_.File(backends)), temp_(dir_.File("tmp")),
        backendEnv_("KARVEL_BACKEND_DIR", backends_.c_str()), tmpEnv_(test_support::kTempVariable, temp_.c_str()) {
    std::filesystem::create_directories(backends_);
    CreateDirectoryA(temp_.c_str(), nullptr);
  }
  // NAME.exe in `directory` (the back-end directory by default), doing what `mode` and `answer` say.
  void Program(const std::string& name, const std::string& mode, const std::string& answer = "",
               std::string directory = "") const {
    if (directory.empty()) directory = backends_;
    EXPECT_TRUE(CopyFileA(ScriptedBackend().c_str(),
                          (directory + "\\" + name + ".exe").c_str(), FALSE)) << name;
    WriteAll(directory + "\\" + name + ".txt", mode + "\n" + answer);
  }
  DWORD Request(FakeEcb& fake, ExchangeRequest* request) const {
    return HandleRequest(fake.Ecb(), false, request);
  }
  int TempFiles() const {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(temp_)) count += entry.is_regular_file();
    return count;
  }
  const std::string& backends() const { return backends_; }
  const WindowsTempDir& dir() const { return dir_; }

 private:
  WindowsTempDir dir_;
  std::string backends_, temp_;
  ScopedEnv backendEnv_, tmpEnv_;
};

TEST(WindowsBackendRun, EachAnswerKindIsDeliveredAndTheFileDeletedOrKept) {
  using namespace std::string_literals;
  BackendFixture f;
  f.Program("page", "write", "91xxContent-Type: text/plain\r\n\r\nhello\0world"s);
  f.Program("local", "write", "92xx/static/a.html");
  f.Program("away", "write", "92xxhttp://example.invalid/x");
  f.Program("other", "write", "93xxignored");
  f.Program("short", "write", "91");
  WriteAll(f.dir().File("image.bin"), "GIF89a\0\x01\x02\x1a"s);
  f.Program("file", "write", "94xx" + f.dir().File("image.bin"));
  f.Program("nofile", "write", "94xx" + f.dir().File("missing.bin"));
  ExpectEachAnswerKind(f, ".exe", "GIF89a\0\x01\x02\x1a"s);
}

TEST(WindowsBackendRun, AnAnswerIsReadOnlyOnceItsWriterHasClosedIt) {
  // The mark and result code reach the file 300 ms before the rest: a poll that could open the
  // file while the back-end holds it for writing would reply with an empty page.
  BackendFixture f;
  f.Program("slow", "slow", "91xxContent-Type: text/plain\r\n\r\nwhole");
  FakeEcb fake = FakeEcb::Get("VBEXE=slow.exe");
  ExchangeRequest request{};
  EXPECT_EQ(f.Request(fake, &request), static_cast<DWORD>(HSE_STATUS_SUCCESS));
  ASSERT_EQ(fake.supportCalls().size(), 1u);
  EXPECT_EQ(fake.supportCalls()[0].header, "Content-Type: text/plain\r\n\r\nwhole");
}

TEST(WindowsBackendRun, OnlyProgramsInsideTheBackendDirectoryStart) {
  BackendFixture f;
  f.Program("inside", "write", "91xxok");
  f.Program("outside", "decoy", "", f.dir().File(""));
  std::filesystem::create_directories(f.backends() + "\\sub.exe");
  const std::string refused[] = {"..\\outside.exe", f.dir().File("outside.exe"), "sub.exe", "missing.exe", "",
                                 "inside.exe%22%20%22..%5Coutside.exe"};  // a quote to break out of the quoting
  for (const std::string& path : refused) {
    FakeEcb fake = FakeEcb::Get("VCEXE=" + path);
    ExchangeRequest request{};
    EXPECT_EQ(f.Request(fake, &request), static_cast<DWORD>(HSE_STATUS_ERROR)) << path;
    ASSERT_EQ(fake.supportCalls().size(), 1u) << path;
    EXPECT_EQ(fake.supportCalls()[0].header, ErrorPageWith(ERROR_TEXT_EXE_LOAD)) << path;
    EXPECT_EQ(f.TempFiles(), 0) << path << ": the exchange file is deleted";
  }
  EXPECT_FALSE(test_support::Exists(f.dir().File("outside.ran"))) << "a program outside was started";
  for (const std::string& path : {std::string("sub.exe\\..\\inside.exe"), std::string("INSIDE.EXE"), f.backends() + "\\inside.exe"}) {
    FakeEcb fake = FakeEcb::Get("VCEXE=" + path);
    ExchangeRequest request{};
    EXPECT_EQ(f.Request(fake, &request), static_cast<DWORD>(HSE_STATUS_SUCCESS)) << path;
  }
}

TEST(WindowsBackendRun, BlanksInTheProgramPathStartTheRightProgram) {
  // Unquoted, "...\Program Files\Karvel Test\answer page.exe x" would start ...\Program.exe.
  BackendFixture f("Program Files\\Karvel Test");
  f.Program("answer page", "write", "91xxright one");
  f.Program("Program", "decoy", "", f.dir().File(""));
  f.Program("Karvel", "decoy", "", f.dir().File("Program Files"));
  f.Program("answer", "decoy");
  FakeEcb fake = FakeEcb::Get("VCEXE=" + f.backends() + "\\answer page.exe");
  ExchangeRequest request{};
  EXPECT_EQ(f.Request(fake, &request), static_cast<DWORD>(HSE_STATUS_SUCCESS));
  ASSERT_EQ(fake.supportCalls().size(), 1u);
  EXPECT_EQ(fake.supportCalls()[0].header, "right one");
  for (const std::string& decoy : {f.dir().File("Program.ran"), f.dir().File("Program Files\\Karvel.ran"),
                                   f.backends() + "\\answer.ran"}) {
    EXPECT_FALSE(test_support::Exists(decoy)) << decoy;
  }
}

TEST(WindowsBackendRun, ConcurrentRequestsStayApart) {
  BackendFixture f;
  f.Program("self", "self");
  ExpectConcurrentRequestsStayApart(f, "VBEXE=self.exe", 16);
}

TEST(WindowsBackendRun, NoAnswerByTheThirdMinuteChangeIsATimeOut) {
  BackendFixture f;
  f.Program("silent", "silent");
  ExpectTimeOutAtTheThirdMinuteChange(f, "VBEXE=silent.exe");
}

}  // namespace
}  // namespace gateway_test
