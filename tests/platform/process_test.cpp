// WinExec: command-line splitting, no shell, detachment, descriptor hygiene, error results.
#include <dirent.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/program_path.h"
#include "platform/windows_paths.h"
#include "platform/win32.h"
#include "support/files.h"

using test_support::Exists;
using test_support::ReadAll;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::WriteAll;

namespace {

// A descriptor the test leaves open without close-on-exec, as a server's socket might be.
constexpr int kLeakCandidateFd = 100;

// The script reports its argument count, whether it inherited kLeakCandidateFd, and its first
// argument, into $KARVEL_TEST_OUT (written under another name first, so a poller never sees half).
const char kReporterScript[] =
    "#!/bin/sh\n"
    "if [ -e /proc/$$/fd/100 ]; then fd=leaked; else fd=closed; fi\n"
    "printf '%s\\n%s\\n%s' \"$#\" \"$fd\" \"$1\" > \"$KARVEL_TEST_OUT.part\"\n"
    "mv \"$KARVEL_TEST_OUT.part\" \"$KARVEL_TEST_OUT\"\n";

void WriteProgram(const std::string& path, const std::string& text, mode_t mode) {
  WriteAll(path, text);
  ASSERT_EQ(0, chmod(path.c_str(), mode)) << path;
}

// Polls (bounded) for a file the detached program writes; "" when it never appears.
std::string AwaitFile(const std::string& path) {
  for (int i = 0; i < 1000 && !Exists(path); ++i) usleep(10 * 1000);
  return ReadAll(path);
}

// /proc/PID/stat, or "" when the process went away meanwhile (reading it then fails with ESRCH,
// which must not throw as ReadAll does).
std::string ProcStat(const char* pid) {
  std::FILE* file = std::fopen((std::string("/proc/") + pid + "/stat").c_str(), "r");
  if (file == nullptr) return "";
  char buffer[1024];
  const size_t got = std::fread(buffer, 1, sizeof buffer, file);
  std::fclose(file);
  return std::string(buffer, got);
}

// Children of this process that ended and were not reaped yet, from /proc.
int ZombieChildren() {
  int zombies = 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  while (dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    const std::string stat = ProcStat(entry->d_name);
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size()) continue;
    char state = stat[close + 2];
    long parent = std::strtol(stat.c_str() + close + 4, nullptr, 10);
    zombies += state == 'Z' && parent == getpid();
  }
  closedir(proc);
  return zombies;
}

// Waits up to 2 s for every finished child to be reaped.
bool ZombiesGone() {
  for (int i = 0; i < 200; ++i) {
    if (ZombieChildren() == 0) return true;
    usleep(10 * 1000);
  }
  return false;
}

TEST(WinExec, ProgramsReadNothingFromTheServersInput) {
  if (!Exists("/bin/sh") || !Exists("/proc/self/fd/0")) GTEST_SKIP() << "no /bin/sh or /proc";
  TempDir dir;
  const std::string script = dir.File("stdin.sh");
  WriteProgram(script,
               "#!/bin/sh\nreadlink /proc/$$/fd/0 > \"$1.part\"\nmv \"$1.part\" \"$1\"\n", 0755);
  const std::string out = dir.File("stdin.txt");
  ASSERT_GT(WinExec((script + " " + out).c_str(), SW_HIDE), 31u);
  EXPECT_EQ("/dev/null\n", AwaitFile(out));
}

TEST(WinExec, PassesTheRestOfTheLineAsOneArgument) {
  if (!Exists("/bin/sh")) GTEST_SKIP() << "no /bin/sh";
  TempDir dir;
  std::string script = dir.File("report.sh");
  std::string spaced = dir.File("dir with space");
  ASSERT_EQ(0, mkdir(spaced.c_str(), 0755));
  std::string spacedScript = spaced + "/report.sh";
  WriteProgram(script, kReporterScript, 0755);
  WriteProgram(spacedScript, kReporterScript, 0755);
  int leak = open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(leak, 0);
  ASSERT_EQ(kLeakCandidateFd, dup2(leak, kLeakCandidateFd));
  close(leak);

  struct Case {
    const char* label;
    std::string commandLine;
    const char* argc;
    std::string argument;
  };
  const Case cases[] = {
      {"shell metacharacters", script + " a b; rm -rf x $(id)", "1", "a b; rm -rf x $(id)"},
      {"no argument", script, "0", ""},
      {"blank in program path", spacedScript + " two words", "1", "two words"},
      {"quoted program path", "\"" + spacedScript + "\" quoted 'x'", "1", "quoted 'x'"},
      {"only the first blank separates", script + "  lead", "1", " lead"},
  };
  int index = 0;
  for (const Case& c : cases) {
    std::string out = dir.File("out" + std::to_string(index++));
    ScopedEnv env("KARVEL_TEST_OUT", out.c_str());
    EXPECT_GT(WinExec(c.commandLine.c_str(), SW_HIDE), 31u) << c.label;
    std::string report = AwaitFile(out);
    EXPECT_EQ(std::string(c.argc) + "\nclosed\n" + c.argument, report) << c.label;
    // Never waited for, yet reaped soon after it ended: no zombie stays behind.
    EXPECT_TRUE(ZombiesGone()) << c.label << ": a finished program was not reaped";
  }
  close(kLeakCandidateFd);
}

TEST(WinExec, FailuresReturnWin32Codes) {
  TempDir dir;
  std::string plain = dir.File("plain.txt");
  WriteProgram(plain, "not a program\n", 0644);
  struct Case {
    const char* label;
    std::string commandLine;
    UINT result;
  };
  const Case cases[] = {
      {"missing program", dir.File("missing") + " arg", ERROR_FILE_NOT_FOUND},
      {"missing directory", dir.File("nodir/prog") + " arg", ERROR_PATH_NOT_FOUND},
      {"not executable", plain + " arg", ERROR_BAD_FORMAT},
      {"directory", dir.path(), ERROR_BAD_FORMAT},
      {"empty line", "", ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.result, WinExec(c.commandLine.c_str(), SW_SHOWNORMAL)) << c.label;
  }
}

}  // namespace

// The extension's own start of a resolved program runs the file that was resolved: a directory on
// its way swapped for a link since then fails the start, and the program it leads to never runs.
TEST(StartResolvedProgram, RunsOnlyTheFileResolved) {
  struct Case {
    const char* what;
    bool swapped;
    bool started;
    const char* ran;  // what the marker holds once the program ran
  } cases[] = {
      {"untouched", false, true, "inside"},
      {"a directory swapped for a link", true, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string backends = dir.File("backends"), outside = dir.File("outside"), marker = dir.File("marker");
    for (const std::string& sub : {backends, backends + "/sub", outside, outside + "/sub"}) mkdir(sub.c_str(), 0700);
    for (const std::string& where : {backends, outside}) {
      const std::string program = where + "/sub/prog";
      WriteAll(program, "#!/bin/sh\nprintf " + std::string(where == backends ? "inside" : "outside") + " > \"$1\"\n");
      chmod(program.c_str(), 0700);
    }
    CHAR resolved[MAX_PATH];
    ASSERT_TRUE(ResolveProgramInDirectory(backends.c_str(), "sub/prog", resolved, MAX_PATH));
    if (c.swapped) {
      ASSERT_EQ(0, std::rename((backends + "/sub").c_str(), (backends + "/sub.old").c_str()));
      ASSERT_EQ(0, symlink((outside + "/sub").c_str(), (backends + "/sub").c_str()));
    }
    EXPECT_EQ(c.started, StartResolvedProgram(resolved, marker.c_str()) > 31);
    // A start refused made no process. One that started runs on its own: its marker is waited for.
    for (int waited = 0; c.started && ReadAll(marker).empty() && waited < 30000; waited += 10) usleep(10000);
    EXPECT_EQ(c.ran, ReadAll(marker));
  }
}

// The kind of program the look after a resolution finds: the kept file's as it was last read,
// while the file is unchanged; a file rewritten in place is read again, and so is a file looked at
// without a resolution just before.
TEST(ResolveProgramInDirectory, TheKindKeptWithAResolutionFollowsTheFile) {
  std::string windows(0x46, '\0');
  windows[0] = 'M';
  windows[1] = 'Z';
  windows[0x3C] = 0x40;
  windows.replace(0x40, 4, std::string("PE\0\0", 4));
  windows[0x44] = 0x4C;
  windows[0x45] = 0x01;
  const struct {
    const char* what;
    bool rewrite;   // the program rewritten in place (the same file, other bytes and size)
    bool resolve;   // resolved again before the look
    WindowsMachine kind;
  } cases[] = {
      {"unchanged, resolved again", false, true, kNotWindows},
      {"rewritten as a Windows program, resolved again", true, true, kWindows32},
      {"rewritten, looked at without a resolution", true, false, kWindows32},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string program = dir.File("prog");
    WriteAll(program, "#!/bin/sh\n");
    chmod(program.c_str(), 0700);
    CHAR resolved[MAX_PATH];
    ASSERT_TRUE(ResolveProgramInDirectory(dir.path().c_str(), "prog", resolved, MAX_PATH));
    ASSERT_EQ(WindowsExecutableKind(resolved), kNotWindows);
    ASSERT_TRUE(ResolveProgramInDirectory(dir.path().c_str(), "prog", resolved, MAX_PATH));
    ASSERT_EQ(WindowsExecutableKind(resolved), kNotWindows) << "taken again";
    if (c.rewrite) WriteAll(program, windows);
    if (c.resolve) {
      ASSERT_TRUE(ResolveProgramInDirectory(dir.path().c_str(), "prog", resolved, MAX_PATH));
    }
    EXPECT_EQ(WindowsExecutableKind(resolved), c.kind);
  }
}

// A thread resolves the same name again from what it kept, but only while the name still leads to
// the same, unchanged file: whatever changed since resolves anew, as the first time would.
TEST(ResolveProgramInDirectory, AResolutionKeptFollowsEveryChangeOfTheFile) {
  enum Change { kNone, kLinkRetargeted, kExecuteBitRemoved, kRemoved, kLinkLeadsOutside, kReplaced };
  const struct {
    const char* what;
    Change change;
    DWORD error;       // 0: resolves
    const char* then;  // where it resolves to then, below the test's directory
  } cases[] = {
      {"nothing changed", kNone, 0, "backends/rel1/prog"},
      {"the release link points at another release", kLinkRetargeted, 0, "backends/rel2/prog"},
      {"the program may no longer run", kExecuteBitRemoved, ERROR_ACCESS_DENIED, ""},
      {"the program is gone", kRemoved, ERROR_FILE_NOT_FOUND, ""},
      {"the release link leads out of the back-end directory", kLinkLeadsOutside, ERROR_ACCESS_DENIED, ""},
      {"another file renamed over the program", kReplaced, 0, "backends/rel1/prog"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string backends = dir.File("backends");
    for (const std::string& sub : {backends, backends + "/rel1", backends + "/rel2", dir.File("outside")}) {
      mkdir(sub.c_str(), 0700);
    }
    for (const std::string& program : {backends + "/rel1/prog", backends + "/rel2/prog", dir.File("outside/prog")}) {
      WriteAll(program, "#!/bin/sh\n");
      chmod(program.c_str(), 0700);
    }
    ASSERT_EQ(0, symlink("rel1", (backends + "/current").c_str()));
    CHAR resolved[MAX_PATH];
    ASSERT_TRUE(ResolveProgramInDirectory(backends.c_str(), "current/prog", resolved, MAX_PATH));
    ASSERT_EQ(std::string(resolved), backends + "/rel1/prog");
    const std::string link = backends + "/current";
    switch (c.change) {
      case kNone: break;
      case kLinkRetargeted: unlink(link.c_str()); ASSERT_EQ(0, symlink("rel2", link.c_str())); break;
      case kExecuteBitRemoved: chmod((backends + "/rel1/prog").c_str(), 0600); break;
      case kRemoved: unlink((backends + "/rel1/prog").c_str()); break;
      case kLinkLeadsOutside: unlink(link.c_str()); ASSERT_EQ(0, symlink("../outside", link.c_str())); break;
      case kReplaced:
        WriteAll(backends + "/rel1/new", "#!/bin/sh\n");
        chmod((backends + "/rel1/new").c_str(), 0700);
        ASSERT_EQ(0, std::rename((backends + "/rel1/new").c_str(), (backends + "/rel1/prog").c_str()));
        break;
    }
    CHAR again[MAX_PATH] = "untouched";
    const BOOL resolves = ResolveProgramInDirectory(backends.c_str(), "current/prog", again, MAX_PATH);
    EXPECT_EQ(resolves != FALSE, c.error == 0);
    if (c.error == 0) {
      EXPECT_EQ(std::string(again), dir.File(c.then));
    } else {
      EXPECT_EQ(GetLastError(), c.error);
    }
  }
}
