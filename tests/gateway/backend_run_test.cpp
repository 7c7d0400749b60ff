// Requests end to end through HttpExtensionProc's steps: scripted back-end programs answer with a
// page, a URL, a file, or not at all, and the reply, the result and the exchange file's fate are
// checked for each.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <sys/wait.h>

#include <thread>
#include <vector>

#include <string>

#include "answer_kinds.h"
#include "backend_run_bodies.h"
#include "gateway/backend_run.h"
#include "gateway/debug_copy.h"
#include "gateway/error_page.h"
#include "gateway/request_driver.h"
#include "isapi/karvel_host.h"
#include "gateway/fake_ecb.h"
#include "platform/test_hooks.h"
#include "support/files.h"

namespace gateway_test {
namespace {

using test_support::ReadAll;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::WriteAll;
using namespace std::string_literals;

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
  // The request as HttpExtensionProc handles it.
  DWORD Request(FakeEcb& fake, ExchangeRequest* request) const {
    return HandleRequest(fake.Ecb(), false, request);
  }
  const std::string& backends() const { return backends_; }
  const TempDir& dir() const { return dir_; }
  // Every name in the temporary directory, files and directories.
  std::vector<std::string> TempEntries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(temp_)) names.push_back(entry.path().filename());
    return names;
  }
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

TEST(BackendRun, EachAnswerKindIsDeliveredAndTheFileDeleted) {
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
  } cases[] = {{"slow", "Content-Type: text/plain\r\n\r\nwhole"},
               {"busy", "done"}, {"busy", "done"}, {"busy", "done"}, {"busy", "done"}};
  for (const auto& c : cases) {
    FakeEcb fake = FakeEcb::Get(std::string("VBEXE=") + c.program);
    // A look in the moment between the writer's close event and the end of its writing access
    // finds the file held, and no event follows: the wait must look again by itself, well within
    // this time-out (its periodic look comes only after 10 s).
    fake.Variable("KARVEL_BACKEND_TIMEOUT", "5");
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
  // The first wait makes the process's one file-event instance, which stays.
  FakeEcb first = FakeEcb::Get("VBEXE=self");
  ExchangeRequest firstRequest{};
  ASSERT_EQ(f.Request(first, &firstRequest), static_cast<DWORD>(HSE_STATUS_SUCCESS));
  const int before = OpenDescriptors();
  ExpectConcurrentRequestsStayApart(f, "VBEXE=self", 50);
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

TEST(BackendRun, NoAnswerByTheThirdMinuteChangeIsATimeOut) {
  BackendFixture f;
  BackendFixture::Script(f.backends() + "/silent", "exit 0");
  ExpectTimeOutAtTheThirdMinuteChange(f, "VBEXE=silent");

  // A site's own time-out replaces the clock rule: the minute may change as it likes meanwhile,
  // and a program that answers in time is waited for.
  BackendFixture::Script(f.backends() + "/late", "sleep 0.6; printf '91xxlate' > \"$1\"");
  ExchangeRequest request{};
  const struct {
    const char* program;
    const char* timeout;
    std::string header;
  } cases[] = {{"silent", "1", ErrorPageWith(ERROR_TEXT_TIME_OUT)}, {"late", "0", ErrorPageWith(ERROR_TEXT_TIME_OUT)},
               {"late", "10", "late"},  // ample, also for a loaded sanitizer run
               // The host's milliseconds: shorter than the program's 0.6 s, and ample.
               {"late", "300ms", ErrorPageWith(ERROR_TEXT_TIME_OUT)}, {"late", "10000ms", "late"}};
  for (const auto& c : cases) {
    g_clockCalls = 0;
    karvel_test::SetLocalTimeSource(MinuteEveryCall);
    FakeEcb timed = FakeEcb::Get(std::string("VBEXE=") + c.program);
    timed.Variable("KARVEL_BACKEND_TIMEOUT", c.timeout);
    const DWORD result = f.Request(timed, &request);
    karvel_test::SetLocalTimeSource(nullptr);
    EXPECT_EQ(result, static_cast<DWORD>(c.header == "late" ? HSE_STATUS_SUCCESS : HSE_STATUS_ERROR)) << c.program;
    ASSERT_EQ(timed.supportCalls().size(), 1u) << c.program;
    EXPECT_EQ(timed.supportCalls()[0].header, c.header) << c.program << ", " << c.timeout;
  }
  // A client that left ends the wait: nothing is sent, the exchange file goes. (A late program
  // above may still write its file after its request gave up: only this request's file counts.)
  FakeEcb gone = FakeEcb::Get("VBEXE=silent");
  gone.ClientGone();
  EXPECT_EQ(f.Request(gone, &request), static_cast<DWORD>(HSE_STATUS_ERROR));
  EXPECT_TRUE(gone.supportCalls().empty());
  EXPECT_GE(gone.connectedAsks(), 1);
  ASSERT_NE(request.szExchangePath[0], '\0');
  EXPECT_FALSE(test_support::Exists(request.szExchangePath)) << request.szExchangePath;
}

TEST(BackendRun, DebugCopyLiesBesideTheProgram) {
  BackendFixture f;
  f.Program("prog", "91xx");
  ExchangeRequest request{};
  // The site's back-end directory, as the request's settings hold it; the program the form names is
  // resolved in it as the request decides how it runs.
  lstrcpyA(request.settings.szBackendDirectory, f.backends().c_str());
  const auto choose = [&request](const std::string& named) {
    lstrcpyA(request.szBackendPath, named.c_str());
    DecideHowItRuns(&request);
  };
  lstrcpyA(request.szExchangePath, f.dir().File("exchange.tmp").c_str());
  WriteAll(request.szExchangePath, "request bytes");
  choose("prog");
  request.bVcexeTaken = true;
  MakeDebugCopy(nullptr, request);
  EXPECT_EQ(ReadAll(f.backends() + "/vcdebug.tmp"), "request bytes");
  request.bVcexeTaken = false;
  CHAR path[MAX_PATH];
  ASSERT_TRUE(DebugCopyPath(request, path));
  EXPECT_EQ(std::string(path), f.backends() + "/vbdebug.tmp");
  choose(std::string(250, 'd').append("/x"));
  EXPECT_FALSE(DebugCopyPath(request, path)) << "no copy where the path would not fit";
  // The copy holds the form's data: private, as the exchange file is, also over an older copy.
  chmod(request.szExchangePath, 0600);
  chmod((f.backends() + "/vcdebug.tmp").c_str(), 0644);
  choose("prog");
  request.bVcexeTaken = true;
  MakeDebugCopy(nullptr, request);
  struct stat info{};
  ASSERT_EQ(stat((f.backends() + "/vcdebug.tmp").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  // A form never chooses where the copy goes: only beside a program that runs.
  mkdir(f.dir().File("elsewhere").c_str(), 0700);
  for (const std::string& named : {f.dir().File("elsewhere/x"), f.dir().File("elsewhere/"), std::string("missing"),
                                   std::string("../elsewhere/x"), std::string("")}) {
    choose(named);
    EXPECT_FALSE(DebugCopyPath(request, path)) << named;
    MakeDebugCopy(nullptr, request);
  }
  EXPECT_FALSE(std::filesystem::exists(f.dir().File("elsewhere/vcdebug.tmp")));
  EXPECT_FALSE(std::filesystem::exists(f.dir().File("vcdebug.tmp")));
}

// The debug copy where the site's KarvelDebugCopyDir says, else beside the program; a copy that
// cannot be written is one warning to the host, saying where, and the request answers all the same.
TEST(BackendRun, DebugCopyGoesWhereTheSiteSaysOrIsWarnedOf) {
  BackendFixture f;
  f.Program("prog", "91  Content-Type: text/plain\\r\\n\\r\\nok");
  mkdir(f.dir().File("copies").c_str(), 0700);
  WriteAll(f.dir().File("a-file"), "x");
  const std::string beside = f.backends() + "/vcdebug.tmp";
  struct Case {
    const char* what;
    std::string setting;   // KARVEL_DEBUG_COPY_DIR as the host gives it ("": none)
    std::string query;
    std::string copy;      // where the copy must be ("": nowhere)
    std::string warnedAt;  // the path the warning names ("": no warning; "-": a warning without one)
  };
  const std::string copies = f.dir().File("copies");
  const Case cases[] = {
      {"the site's directory", copies, "VCEXE=prog&a=1", copies + "/vcdebug.tmp", ""},
      {"its name by the field", copies + "/", "VBEXE=prog&a=1", copies + "/vbdebug.tmp", ""},
      {"no setting: beside the program", "", "VCEXE=prog&a=1", beside, ""},
      {"a directory that is not there", f.dir().File("gone"), "VCEXE=prog&a=1", "", f.dir().File("gone") + "/vcdebug.tmp"},
      {"a file, not a directory", f.dir().File("a-file"), "VCEXE=prog&a=1", "", f.dir().File("a-file") + "/vcdebug.tmp"},
      {"a setting too long for the room", std::string(300, 'd'), "VCEXE=prog&a=1", "", "-"},
      // The setting fits, the copy's path in it would not: named, with its own error.
      {"a copy path over 259 bytes", "/" + std::string(248, 'd'), "VCEXE=prog&a=1", "", "/" + std::string(248, 'd') + "/"},
      // Where the form chooses nothing, a program that does not run still leaves its copy.
      {"the site's directory, no such program", copies, "VCEXE=missing&a=1", copies + "/vcdebug.tmp", ""},
  };
  for (const Case& c : cases) {
    for (const std::string& old : {copies + "/vcdebug.tmp", copies + "/vbdebug.tmp", beside}) unlink(old.c_str());
    FakeEcb fake = FakeEcb::Get(c.query);
    if (!c.setting.empty()) fake.Variable(KARVEL_SETTING_DEBUG_COPY_DIR, c.setting);
    ExchangeRequest request{};
    const DWORD result = HandleRequest(fake.Ecb(), true, &request);
    const bool runs = c.query.find("missing") == std::string::npos;
    EXPECT_EQ(result, static_cast<DWORD>(runs ? HSE_STATUS_SUCCESS : HSE_STATUS_ERROR)) << c.what;
    if (runs) {
      ASSERT_EQ(fake.supportCalls().size(), 1u) << c.what;
      EXPECT_EQ(fake.supportCalls()[0].header, "Content-Type: text/plain\r\n\r\nok") << c.what << ": the request answers";
    }
    for (const std::string& path : {copies + "/vcdebug.tmp", copies + "/vbdebug.tmp", beside}) {
      EXPECT_EQ(test_support::Exists(path), path == c.copy) << c.what << ": " << path;
    }
    // The copy holds exactly the exchange file the program was given (its request's fields).
    if (!c.copy.empty()) {
      EXPECT_NE(ReadAll(c.copy).find("a\0"s + "1"), std::string::npos) << c.what;
    }
    if (c.warnedAt.empty()) {
      EXPECT_TRUE(fake.warnings().empty()) << c.what;
      continue;
    }
    ASSERT_EQ(fake.warnings().size(), 1u) << c.what;
    EXPECT_NE(fake.warnings()[0].text.find("debug copy"), std::string::npos) << c.what;
    if (c.warnedAt == "-") continue;
    EXPECT_EQ(fake.warnings()[0].path, c.warnedAt) << c.what;
    EXPECT_NE(fake.warnings()[0].error, 0u) << c.what;
  }
  // The plain build makes no copy and says nothing of one.
  FakeEcb plain = FakeEcb::Get("VCEXE=prog&a=1");
  plain.Variable(KARVEL_SETTING_DEBUG_COPY_DIR, copies);
  unlink((copies + "/vcdebug.tmp").c_str());
  EXPECT_EQ(HandleRequest(plain.Ecb(), false, nullptr), static_cast<DWORD>(HSE_STATUS_SUCCESS));
  EXPECT_FALSE(test_support::Exists(copies + "/vcdebug.tmp"));
  EXPECT_TRUE(plain.warnings().empty());
}

// A back-end's answer can be any size, up to and past 4 GiB: it goes out in blocks, never read
// whole, and a request holds no more memory for it than a block.
TEST(BackendRun, AnswersOfAnySizeGoOutInBlocks) {
  BackendFixture f;
  const std::string huge = "4294967312";  // 4 GiB + 16: its low 32 bits say 16 bytes
  const std::string pageHead = "Content-Type: text/plain\\r\\n\\r\\nhuge";
  // Each program writes its answer, makes it (or the file it names) large and sparse, and renames
  // the answer over the exchange file.
  auto answer = [&](const std::string& name, const std::string& text, const std::string& size) {
    BackendFixture::Script(f.backends() + "/" + name, "printf '" + text + "' > \"$1.new\" && truncate -s " + size +
                                                          " \"$1.new\" && mv \"$1.new\" \"$1\"");
  };
  answer("hugepage", "91xx" + pageHead, huge);
  answer("bigpage", "91xx" + pageHead, "300000");
  answer("hugepath", "94xx" + f.dir().File("data.bin"), huge);
  answer("hugeurl", "92xx/x", huge);
  const std::string data = f.dir().File("data.bin");
  test_support::WriteAll(data, "GIF89a");
  ASSERT_EQ(truncate(data.c_str(), 4294967312LL), 0);
  f.Program("hugefile", "94xx" + data);
  const std::string small = f.dir().File("small.bin");
  std::string smallBytes(200000, '\0');
  for (size_t k = 0; k < smallBytes.size(); ++k) smallBytes[k] = static_cast<char>(k * 7 % 251);
  test_support::WriteAll(small, smallBytes);
  f.Program("smallfile", "94xx" + small);

  const std::string head = "Content-Type: text/plain\r\n\r\nhuge";
  const struct {
    const char* program;
    bool vectors;             // the server takes HSE_REQ_VECTOR_SEND
    size_t leaveAfter;        // the client leaves once this much went out
    DWORD status;
    DWORD request;            // the one support call, 0 for none
    std::string text;         // its header string or buffer (the first bytes of it)
    size_t written;           // bytes the client received through WriteClient or the vector send
    int vectorSends;
  } cases[] = {
      {"hugepage", true, 3u << 20, HSE_STATUS_SUCCESS, HSE_REQ_SEND_RESPONSE_HEADER, head, 3u << 20, 0},
      {"bigpage", true, SIZE_MAX, HSE_STATUS_SUCCESS, HSE_REQ_SEND_RESPONSE_HEADER, head, 300000 - 4 - 65536, 0},
      {"hugepath", true, SIZE_MAX, HSE_STATUS_ERROR, HSE_REQ_SEND_RESPONSE_HEADER, ErrorPageWith(ERROR_TEXT_IMAGE), 0, 0},
      {"hugeurl", true, SIZE_MAX, HSE_STATUS_SUCCESS, HSE_REQ_SEND_URL_REDIRECT_RESP, "", 0, 0},
      {"hugefile", false, 3u << 20, HSE_STATUS_SUCCESS, 0, "", 3u << 20, 0},
      {"smallfile", true, SIZE_MAX, HSE_STATUS_SUCCESS, 0, "", smallBytes.size(), 1},
      {"smallfile", false, SIZE_MAX, HSE_STATUS_SUCCESS, 0, "", smallBytes.size(), 0},
  };
  for (const auto& c : cases) {
    const std::string label = std::string(c.program) + (c.vectors ? "" : ", no vector send");
    FakeEcb fake = FakeEcb::Get(std::string("VBEXE=") + c.program);
    if (!c.vectors) fake.RefuseVectorSend();
    fake.ClientLeavesAfter(c.leaveAfter);
    ExchangeRequest request{};
    karvel_test::RefuseAllocationsAbove(1u << 20);
    const DWORD status = f.Request(fake, &request);
    karvel_test::RefuseAllocationsAbove(0);
    EXPECT_EQ(status, c.status) << label;
    if (c.request == 0) {
      EXPECT_TRUE(fake.supportCalls().empty()) << label;
    } else {
      ASSERT_EQ(fake.supportCalls().size(), 1u) << label;
      const auto& call = fake.supportCalls()[0];
      EXPECT_EQ(call.request, c.request) << label;
      const std::string& text = c.request == HSE_REQ_SEND_RESPONSE_HEADER ? call.header : call.buffer;
      EXPECT_EQ(text.substr(0, c.text.size()), c.text) << label;
      if (c.request == HSE_REQ_SEND_RESPONSE_HEADER && c.status == HSE_STATUS_SUCCESS) {
        EXPECT_EQ(text.size(), 65536u) << label << ": the first block carries the header";
        EXPECT_EQ(text.find_first_not_of(' ', c.text.size()), std::string::npos) << label << ": NULs as blanks";
      }
    }
    EXPECT_EQ(fake.written().size(), c.written) << label;
    EXPECT_EQ(fake.vectorSends(), c.vectorSends) << label;
    if (std::string(c.program) == "smallfile") {
      EXPECT_TRUE(fake.written() == smallBytes) << label;
      EXPECT_EQ(fake.writeCalls(), c.vectors ? 0 : 4) << label << ": the whole file, or 64 KiB blocks";
    } else if (std::string(c.program) == "hugefile") {
      EXPECT_EQ(fake.written().substr(0, 6), "GIF89a") << label;
    }
    EXPECT_EQ(f.TempFiles(), 0) << label << ": the exchange file is deleted, also after Emage Error or a client gone";
  }
}

// What no back-end program ever received goes when its request ends: its exchange file and its
// uploads. Otherwise failed requests, a full disk above all, would fill the temporary directory.
TEST(BackendRun, RequestsThatNoBackendReceivedLeaveNothing) {
  BackendFixture f;
  f.Program("page", "91xxContent-Type: text/plain\\r\\n\\r\\nok");
  const std::string upload = "--B\r\nContent-Disposition: form-data; name=\"VCEXE\"\r\n\r\n%s\r\n--B\r\n"
                             "Content-Disposition: form-data; name=\"f\"; filename=\"u.bin\"\r\n\r\n%s\r\n--B--\r\n";
  auto body = [&](const std::string& program, const std::string& data) {
    std::string text = upload;
    text.replace(text.find("%s"), 2, program);
    text.replace(text.find("%s"), 2, data);
    return text;
  };
  // Every write past 1 MiB fails, as on a full disk.
  struct rlimit original{};
  getrlimit(RLIMIT_FSIZE, &original);
  auto fullDisk = [&](bool on) {
    struct rlimit limit = original;
    limit.rlim_cur = on ? (1u << 20) : original.rlim_cur;
    setrlimit(RLIMIT_FSIZE, &limit);
    signal(SIGXFSZ, on ? SIG_IGN : SIG_DFL);
  };
  const struct {
    const char* name;
    FakeEcb fake;
    bool diskFull;
    std::string page;  // the error page's text
  } cases[] = {
      {"GET without a query", FakeEcb::Get(""), false, ERROR_TEXT_KEY_CREATE},
      {"HEAD", FakeEcb::Get("VCEXE=page", "HEAD"), false, ERROR_TEXT_KEY_CREATE},
      {"OPTIONS", FakeEcb::Get("", "OPTIONS"), false, ERROR_TEXT_KEY_CREATE},
      {"more fields than the site allows", FakeEcb::Get("VCEXE=page&a=1&b=2").Variable("KARVEL_MAX_FIELDS", "2"), false,
       ERROR_TEXT_TOO_MANY_FIELDS},
      {"no such program, with an upload", FakeEcb::Post(body("missing", "data")), false, ERROR_TEXT_EXE_LOAD},
      {"a name of 256 bytes after an upload", FakeEcb::Post(body("page", "data") + std::string(256, 'n') + "=1"), false,
       ERROR_TEXT_KEY_CREATE},
      {"an upload the disk cannot take", FakeEcb::Post(body("page", std::string(3u << 20, 'u'))), true,
       ERROR_TEXT_KEY_CREATE},
      {"a value the disk cannot take", FakeEcb::Post("VCEXE=page&v=" + std::string(3u << 20, 'v')), true,
       ERROR_TEXT_TEMP_WRITE},
  };
  for (const auto& c : cases) {
    FakeEcb fake = c.fake;
    ExchangeRequest request{};
    fullDisk(c.diskFull);
    const DWORD status = f.Request(fake, &request);
    fullDisk(false);
    EXPECT_EQ(status, static_cast<DWORD>(HSE_STATUS_ERROR)) << c.name;
    ASSERT_EQ(fake.supportCalls().size(), 1u) << c.name;
    EXPECT_EQ(fake.supportCalls()[0].header, ErrorPageWith(c.page.c_str())) << c.name;
    EXPECT_EQ(f.TempEntries(), std::vector<std::string>{}) << c.name << ": nothing left in the temporary directory";
    // Space back, the next request works.
    FakeEcb next = FakeEcb::Post(body("page", "after"));
    EXPECT_EQ(f.Request(next, &request), static_cast<DWORD>(HSE_STATUS_SUCCESS)) << c.name;
    EXPECT_EQ(f.TempEntries().size(), 1u) << c.name << ": the upload a back-end received stays";
    std::filesystem::remove_all(request.szUploadDirectory);
  }
  // The site's limit itself is allowed.
  FakeEcb atLimit = FakeEcb::Get("VCEXE=page&a=1").Variable("KARVEL_MAX_FIELDS", "2");
  ExchangeRequest request{};
  EXPECT_EQ(f.Request(atLimit, &request), static_cast<DWORD>(HSE_STATUS_SUCCESS));
  ASSERT_EQ(atLimit.supportCalls().size(), 1u);
  EXPECT_EQ(atLimit.supportCalls()[0].buffer, "200 Ok");
}

// A server that starts the programs itself may have no slot or no spawner for one, or see its
// client leave while it waits: the extension then never starts the program itself, and the
// request's files go.
TEST(BackendRun, ProgramsTheHostDidNotStartAreNotStartedHere) {
  BackendFixture f;
  const std::string mark = f.dir().File("ran");
  BackendFixture::Script(f.backends() + "/marker", ": > '" + mark + "'");
  const std::string upload = "--B\r\nContent-Disposition: form-data; name=\"VCEXE\"\r\n\r\nmarker\r\n--B\r\n"
                             "Content-Disposition: form-data; name=\"f\"; filename=\"u.bin\"\r\n\r\ndata\r\n--B--\r\n";
  const struct {
    const char* name;
    DWORD outcome;
    const char* page;  // the error page's text; nullptr: nothing is sent
    std::string status, extraHeader;
  } cases[] = {
      {"no slot or no spawner in time", KARVEL_SERVER_BUSY, ERROR_TEXT_BUSY, "503 Service Unavailable",
       "Retry-After: 10\r\n"},
      {"the client left while it waited", KARVEL_CLIENT_GONE, nullptr, "", ""},
      {"the program could not start", KARVEL_PROGRAM_NOT_STARTED, ERROR_TEXT_EXE_LOAD, "", ""},
  };
  for (const auto& c : cases) {
    for (const bool withUpload : {false, true}) {
      FakeEcb fake = withUpload ? FakeEcb::Post(upload).ContentType("multipart/form-data; boundary=B")
                                : FakeEcb::Get("VCEXE=marker&a=1");
      fake.HostStartAnswers(c.outcome);
      ExchangeRequest request{};
      EXPECT_EQ(f.Request(fake, &request), static_cast<DWORD>(HSE_STATUS_ERROR)) << c.name;
      if (c.page == nullptr) {
        EXPECT_TRUE(fake.supportCalls().empty()) << c.name << ": nobody to answer";
        EXPECT_TRUE(fake.written().empty()) << c.name;
      } else {
        ASSERT_EQ(fake.supportCalls().size(), 1u) << c.name;
        EXPECT_EQ(fake.supportCalls()[0].header, c.extraHeader + ErrorPageWith(c.page)) << c.name;
        if (!c.status.empty()) {
          EXPECT_EQ(fake.supportCalls()[0].buffer, c.status) << c.name;
        }
      }
      EXPECT_FALSE(test_support::Exists(mark)) << c.name << ": started by the extension";
      EXPECT_EQ(f.TempEntries(), std::vector<std::string>{}) << c.name << (withUpload ? ", with an upload" : "");
    }
  }
}

// A program the host started that the host says gave no answer (a resident instance that failed
// or ended mid-request) ends the wait at once with the page of a program that ended unanswered;
// one that runs, or ended (whatever it started may still answer), is waited for to the time-out.
TEST(BackendRun, AHostsWordThatNoAnswerWillComeEndsTheWait) {
  BackendFixture f;
  BackendFixture::Script(f.backends() + "/quiet", ":");  // resolved, never run: the host "starts" it
  const struct {
    const char* name;
    DWORD state;
    const char* page;
    const char* result;
  } cases[] = {
      {"no answer will come", KARVEL_PROGRAM_UNANSWERED, ERROR_TEXT_EXE_LOAD, "exited"},
      {"still running", KARVEL_PROGRAM_RUNNING, ERROR_TEXT_TIME_OUT, "timeout"},
      {"ended", KARVEL_PROGRAM_EXITED, ERROR_TEXT_TIME_OUT, "timeout"},
  };
  for (const auto& c : cases) {
    FakeEcb fake = FakeEcb::Get("VCEXE=quiet");
    fake.HostStartAnswers(KARVEL_PROGRAM_STARTED).HostProgramState(c.state);
    fake.Variable("KARVEL_BACKEND_TIMEOUT", "1");
    ExchangeRequest request{};
    EXPECT_EQ(f.Request(fake, &request), static_cast<DWORD>(HSE_STATUS_ERROR)) << c.name;
    ASSERT_EQ(fake.supportCalls().size(), 1u) << c.name;
    EXPECT_EQ(fake.supportCalls()[0].header, ErrorPageWith(c.page)) << c.name;
    EXPECT_EQ(fake.doneResults(), std::vector<std::string>{c.result}) << c.name;
  }
}

// A body that does not arrive whole (the client left, or stalled past the server's timeout) is no
// form: its program never runs, nothing of it stays, and a client still there gets the page.
TEST(BackendRun, BodiesThatDoNotArriveWholeRunNoProgram) {
  BackendFixture f;
  const std::string mark = f.dir().File("ran");
  BackendFixture::Script(f.backends() + "/mark", "touch '" + mark + "'; printf '91xxok' > \"$1\"");
  const std::string form = "VCEXE=mark&amount=1000";
  const std::string parts =
      "--B\r\nContent-Disposition: form-data; name=\"VCEXE\"\r\n\r\nmark\r\n--B\r\n"
      "Content-Disposition: form-data; name=\"f\"; filename=\"u.bin\"\r\n\r\n" + std::string(200000, 'u') +
      "\r\n--B--\r\n";
  const DWORD unknown = 0xFFFFFFFF;
  const struct {
    const char* name;
    std::string body;
    DWORD declared;  // 0: the body's size
    size_t endAfter;
    bool fails;
  } cases[] = {
      {"two bytes short, then nothing", form, 0, form.size() - 2, false},
      {"two bytes short, then a failed read", form, 0, form.size() - 2, true},
      {"a length longer than the body", form, static_cast<DWORD>(form.size() + 5), form.size(), false},
      {"an upload cut in its data", parts, 0, 150000, true},
      {"an upload cut before its closing line", parts, 0, parts.size() - 3, false},
      {"chunked, the last chunk never came", form, unknown, form.size() - 2, true},
      {"chunked upload, the last chunk never came", parts, unknown, parts.size() - 1, true},
  };
  for (const auto& c : cases) {
    for (const bool gone : {false, true}) {
      const std::string label = c.name + std::string(gone ? ", client gone" : ", client waiting");
      FakeEcb fake = FakeEcb::Post(c.body, 4096);
      if (c.declared != 0) fake.Declare(c.declared);
      fake.EndAfter(c.endAfter, c.fails);
      if (gone) fake.ClientGone();
      ExchangeRequest request{};
      EXPECT_EQ(f.Request(fake, &request), static_cast<DWORD>(HSE_STATUS_ERROR)) << label;
      EXPECT_TRUE(request.bBodyCut) << label;
      if (gone) {
        EXPECT_EQ(fake.supportCalls().size(), 0u) << label << ": nobody reads a page";
      } else {
        ASSERT_EQ(fake.supportCalls().size(), 1u) << label;
        EXPECT_EQ(fake.supportCalls()[0].header, ErrorPageWith(ERROR_TEXT_TEMP_WRITE)) << label;
      }
      EXPECT_FALSE(test_support::Exists(mark)) << label << ": the program ran on a cut form";
      EXPECT_EQ(f.TempEntries(), std::vector<std::string>{}) << label << ": files left";
    }
  }
  // The same bodies whole run their program; a chunked body that ends cleanly is whole.
  for (const std::string& body : {form, parts}) {
    FakeEcb fake = FakeEcb::Post(body, 4096);
    fake.Declare(unknown);
    ExchangeRequest request{};
    EXPECT_EQ(f.Request(fake, &request), static_cast<DWORD>(HSE_STATUS_SUCCESS)) << body.substr(0, 20);
    EXPECT_TRUE(test_support::Exists(mark)) << body.substr(0, 20);
    std::remove(mark.c_str());
    if (request.szUploadDirectory[0] != '\0') std::filesystem::remove_all(request.szUploadDirectory);
  }
}

// In a temporary directory others can write to, someone who sees a request's exchange file appear
// and makes the upload directory's name first takes nothing: the directory is made before the file.
TEST(BackendRun, TheUploadDirectoryNameCannotBeTakenFirst) {
  BackendFixture f;
  const std::string mark = f.dir().File("ran");
  BackendFixture::Script(f.backends() + "/mark", "touch '" + mark + "'; printf '91xxok' > \"$1\"");
  const std::string temp = f.dir().File("tmp");
  int taken = 0;
  auto takeNames = [&]() {
    for (const std::string& name : f.TempEntries()) {
      if (name.rfind("VCU", 0) == 0 || name.rfind("VC", 0) != 0) continue;
      const std::string uploads = temp + "/VCU" + name.substr(2);
      if (mkdir(uploads.c_str(), 0777) == 0) ++taken;
    }
  };
  const std::string body =
      "--B\r\nContent-Disposition: form-data; name=\"VCEXE\"\r\n\r\nmark\r\n--B\r\n"
      "Content-Disposition: form-data; name=\"f\"; filename=\"u.bin\"\r\n\r\nbytes\r\n--B--\r\n";
  FakeEcb fake = FakeEcb::Post(body, 16);
  fake.OnRead(takeNames);
  ExchangeRequest request{};
  EXPECT_EQ(f.Request(fake, &request), static_cast<DWORD>(HSE_STATUS_SUCCESS));
  EXPECT_EQ(taken, 0) << "the upload directory's name was free while the request ran";
  EXPECT_TRUE(test_support::Exists(mark));
  EXPECT_EQ(ReadAll(std::string(request.szUploadDirectory) + "/u.bin"), "bytes");
  std::filesystem::remove_all(request.szUploadDirectory);
}

}  // namespace
}  // namespace gateway_test
