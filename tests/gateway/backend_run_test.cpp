// Requests end to end through HttpExtensionProc's steps: scripted back-end programs answer with a
// page, a URL, a file, or not at all, and the reply, the result and the exchange file's fate are
// checked for each.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <sys/wait.h>

#include <thread>
#include <vector>

#include <string>

#include "answer_kinds.h"
#include "gateway/backend_run.h"
#include "gateway/debug_copy.h"
#include "gateway/error_page.h"
#include "gateway/exchange_file.h"
#include "gateway/fake_ecb.h"
#include "platform/test_hooks.h"
#include "support/files.h"

namespace gateway_test {
namespace {

using test_support::ReadAll;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::WriteAll;

// A temporary directory for exchange files and a back-end directory with scripted programs.
class BackendFixture {
 public:
  BackendFixture()
      : backends_(dir_.File("backends")), temp_(dir_.File("tmp")),
        backendEnv_("KARVEL_BACKEND_DIR", backends_.c_str()), tmpEnv_("TMPDIR", temp_.c_str()) {
    mkdir(backends_.c_str(), 0700);
    mkdir(temp_.c_str(), 0700);
  }
  // A program that replaces the exchange file ($1) by `answer` in one rename, as a careful
  // back-end does. `answer` is printf text (octal escapes allowed).
  void Program(const std::string& name, const std::string& answer) const {
    Script(backends_ + "/" + name, "printf '" + answer + "' > \"$1.new\" && mv \"$1.new\" \"$1\"");
  }
  static void Script(const std::string& path, const std::string& body) {
    WriteAll(path, "#!/bin/sh\n" + body + "\n");
    chmod(path.c_str(), 0700);
  }
  // Writes the request's exchange file and runs the reply step, as HttpExtensionProc does.
  DWORD Request(FakeEcb& fake, ExchangeRequest* request) const {
    EXTENSION_CONTROL_BLOCK* ecb = fake.Ecb();
    const LPCSTR failure = WriteExchangeFile(ecb, request);
    if (failure != nullptr) return SendErrorPage(ecb, failure);
    return ReplyToRequest(ecb, *request);
  }
  const std::string& backends() const { return backends_; }
  const TempDir& dir() const { return dir_; }
  // Files left in the temporary directory.
  int TempFiles() const {
    int count = 0;
    if (DIR* d = opendir(temp_.c_str())) {
      while (dirent* e = readdir(d)) count += e->d_name[0] != '.';
      closedir(d);
    }
    return count;
  }

 private:
  TempDir dir_;
  std::string backends_, temp_;
  ScopedEnv backendEnv_, tmpEnv_;
};

TEST(BackendRun, EachAnswerKindIsDeliveredAndTheFileDeletedOrKept) {
  BackendFixture f;
  f.Program("page", "91xxContent-Type: text/plain\\r\\n\\r\\nhello\\000world");
  f.Program("local", "92xx/static/a.html");
  f.Program("away", "92xxhttp://example.invalid/x");
  f.Program("other", "93xxignored");
  f.Program("short", "91");
  WriteAll(f.dir().File("image.bin"), std::string("GIF89a\0\x01\x02", 9));
  f.Program("file", "94xx" + f.dir().File("image.bin"));
  f.Program("nofile", "94xx" + f.dir().File("missing.bin"));
  ExpectEachAnswerKind(f, "", std::string("GIF89a\0\x01\x02", 9));
}

TEST(BackendRun, OnlyProgramsInsideTheBackendDirectoryStart) {
  BackendFixture f;
  BackendFixture::Script(f.dir().File("outside"), "printf '91xxran' > \"$1\"");
  f.Program("inside", "91xxok");
  symlink(f.dir().File("outside").c_str(), (f.backends() + "/link").c_str());
  mkdir((f.backends() + "/sub").c_str(), 0700);
  WriteAll(f.backends() + "/plain", "#!/bin/sh\nexit 0\n");  // not executable
  const std::string refused[] = {"../outside", "link", f.dir().File("outside"), "sub", "plain", "missing", "",
                                 "inside; rm -rf /"};
  for (const std::string& path : refused) {
    FakeEcb fake = FakeEcb::Get("VCEXE=" + path);
    ExchangeRequest request{};
    EXPECT_EQ(f.Request(fake, &request), static_cast<DWORD>(HSE_STATUS_ERROR)) << path;
    ASSERT_EQ(fake.supportCalls().size(), 1u) << path;
    EXPECT_EQ(fake.supportCalls()[0].header, ErrorPageWith(ERROR_TEXT_EXE_LOAD)) << path;
    EXPECT_EQ(f.TempFiles(), 0) << path << ": the exchange file is deleted";
  }
  FakeEcb fake = FakeEcb::Get("VCEXE=sub/../inside");
  ExchangeRequest request{};
  EXPECT_EQ(f.Request(fake, &request), static_cast<DWORD>(HSE_STATUS_SUCCESS)) << "'..' that stays inside";
}

TEST(BackendRun, AnAnswerIsReadOnlyOnceItsWriterHasClosedIt) {
  BackendFixture f;
  // Writes the mark first, lingers, then the rest: the reply must hold the whole answer.
  BackendFixture::Script(f.backends() + "/slow",
                         "exec 3>\"$1\"; printf '91xx' >&3; sleep 0.3; printf 'Content-Type: text/plain\\r\\n\\r\\nwhole' >&3; exec 3>&-");
  // Rewrites its file in many small steps before answering: polls meet writers all the time.
  BackendFixture::Script(f.backends() + "/busy",
                         "i=0; while [ $i -lt 300 ]; do printf '0' > \"$1\"; i=$((i+1)); done; printf '91xxdone' > \"$1\"");
  const struct {
    const char* program;
    const char* reply;
  } cases[] = {{"slow", "Content-Type: text/plain\r\n\r\nwhole"}, {"busy", "done"}};
  for (const auto& c : cases) {
    FakeEcb fake = FakeEcb::Get(std::string("VBEXE=") + c.program);
    ExchangeRequest request{};
    EXPECT_EQ(f.Request(fake, &request), static_cast<DWORD>(HSE_STATUS_SUCCESS)) << c.program;
    ASSERT_EQ(fake.supportCalls().size(), 1u) << c.program;
    EXPECT_EQ(fake.supportCalls()[0].header, c.reply) << c.program;
  }
}

int OpenDescriptors() {
  int count = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) count += e->d_name[0] != '.';
    closedir(d);
  }
  return count;
}

TEST(BackendRun, ConcurrentRequestsStayApart) {
  BackendFixture f;
  // Each back-end answers with its own exchange file's path: a reply that names another request's
  // file is cross-talk.
  BackendFixture::Script(f.backends() + "/self", "printf '91xx%s' \"$1\" > \"$1.new\" && mv \"$1.new\" \"$1\"");
  const int before = OpenDescriptors();
  constexpr int kRequests = 50;
  std::vector<std::thread> threads;
  std::vector<std::string> replies(kRequests), paths(kRequests);
  std::vector<DWORD> statuses(kRequests);
  for (int k = 0; k < kRequests; ++k) {
    threads.emplace_back([&, k] {
      FakeEcb fake = FakeEcb::Get("VBEXE=self&n=" + std::to_string(k));
      ExchangeRequest request{};
      statuses[k] = f.Request(fake, &request);
      paths[k] = request.szExchangePath;
      if (fake.supportCalls().size() == 1) replies[k] = fake.supportCalls()[0].header;
    });
  }
  for (std::thread& t : threads) t.join();
  for (int k = 0; k < kRequests; ++k) {
    EXPECT_EQ(statuses[k], static_cast<DWORD>(HSE_STATUS_SUCCESS)) << "request " << k;
    EXPECT_EQ(replies[k], paths[k]) << "request " << k;
  }
  EXPECT_EQ(f.TempFiles(), 0) << "every exchange file deleted";
  EXPECT_EQ(OpenDescriptors(), before) << "no descriptor left open";
  // Every back-end has ended and been reaped, none waited for by its request.
  bool reaped = false;
  for (int i = 0; i < 200 && !reaped; ++i) {
    int status = 0;
    reaped = waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD;
    if (!reaped) usleep(10 * 1000);
  }
  EXPECT_TRUE(reaped) << "a child was left unreaped";
}

int g_clockCalls = 0;
void MinuteEveryCall(SYSTEMTIME* now) {
  *now = SYSTEMTIME{};
  now->wYear = 2026;
  now->wMinute = static_cast<WORD>(g_clockCalls++ % 60);
}

TEST(BackendRun, NoAnswerByTheThirdMinuteChangeIsATimeOut) {
  BackendFixture f;
  BackendFixture::Script(f.backends() + "/silent", "exit 0");
  g_clockCalls = 59;  // the reference reading is minute 59; every later reading changes the minute
  karvel_test::SetLocalTimeSource(MinuteEveryCall);
  FakeEcb fake = FakeEcb::Get("VBEXE=silent");
  ExchangeRequest request{};
  const DWORD status = f.Request(fake, &request);
  karvel_test::SetLocalTimeSource(nullptr);
  EXPECT_EQ(status, static_cast<DWORD>(HSE_STATUS_ERROR));
  ASSERT_EQ(fake.supportCalls().size(), 1u);
  EXPECT_EQ(fake.supportCalls()[0].header, ErrorPageWith(ERROR_TEXT_TIME_OUT));
  EXPECT_EQ(g_clockCalls, 59 + 4) << "the reference reading and three that changed the minute";
  EXPECT_EQ(f.TempFiles(), 0);
}

TEST(BackendRun, DebugCopyLiesBesideTheProgram) {
  BackendFixture f;
  f.Program("prog", "91xx");
  ExchangeRequest request{};
  lstrcpyA(request.szExchangePath, f.dir().File("exchange.tmp").c_str());
  WriteAll(request.szExchangePath, "request bytes");
  lstrcpyA(request.szBackendPath, "prog");
  request.bVcexeTaken = true;
  MakeDebugCopy(request);
  EXPECT_EQ(ReadAll(f.backends() + "/vcdebug.tmp"), "request bytes");
  request.bVcexeTaken = false;
  CHAR path[MAX_PATH];
  ASSERT_TRUE(DebugCopyPath(request, path));
  EXPECT_EQ(std::string(path), f.backends() + "/vbdebug.tmp");
  lstrcpyA(request.szBackendPath, std::string(250, 'd').append("/x").c_str());
  EXPECT_FALSE(DebugCopyPath(request, path)) << "no copy where the path would not fit";
}

}  // namespace
}  // namespace gateway_test
