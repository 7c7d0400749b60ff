// A program the request resolved and checked is the program that runs: a directory on its path
// swapped for a link to a program elsewhere, before the start or between the program's open and
// its exec, never runs the one elsewhere.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "host/spawner/spawn_program.h"
#include "platform/program_path.h"
#include "support/files.h"

namespace {

using test_support::Exists;
using test_support::ReadAll;
using test_support::TempDir;
using test_support::WriteAll;

constexpr int64_t kNoLimits[kLimitCount][2] = {{-1, -1}, {-1, -1}, {-1, -1}};

void Executable(const std::string& path, const std::string& body) {
  WriteAll(path, body);
  chmod(path.c_str(), 0700);
}

// backends/sub/prog inside, outside/sub/prog elsewhere: both write who they are to their argument.
struct Layout {
  TempDir dir;
  std::string backends = dir.File("backends"), outside = dir.File("outside");
  std::string marker = dir.File("marker");
  Layout(bool elf) {
    mkdir(backends.c_str(), 0700);
    mkdir((backends + "/sub").c_str(), 0700);
    mkdir(outside.c_str(), 0700);
    mkdir((outside + "/sub").c_str(), 0700);
    if (elf) {
      // A compiled program inside: `touch` makes the marker empty.
      const std::string copy = "cp /usr/bin/touch " + backends + "/sub/prog";
      EXPECT_EQ(0, std::system(copy.c_str()));
    } else {
      Executable(backends + "/sub/prog", "#!/bin/sh\nprintf inside > \"$1\"\n");
    }
    Executable(outside + "/sub/prog", "#!/bin/sh\nprintf outside > \"$1\"\n");
  }
  // backends/sub becomes a link to outside/sub.
  void Swap() const {
    const std::string moved = backends + "/sub.old";
    EXPECT_EQ(0, std::rename((backends + "/sub").c_str(), moved.c_str()));
    EXPECT_EQ(0, symlink((outside + "/sub").c_str(), (backends + "/sub").c_str()));
  }
};

void SwapHook(void* layout) { static_cast<const Layout*>(layout)->Swap(); }

TEST(CheckedStart, TheFileCheckedIsTheFileRun) {
  enum When { kNever, kBeforeStart, kAfterOpen };
  struct Case {
    const char* what;
    bool elf;
    When swap;
    int error;              // of the start, 0 when it runs
    const char* ran;        // the marker's content once it ran: "inside", "" (touch), nullptr none
  } cases[] = {
      {"a script, untouched", false, kNever, 0, "inside"},
      {"a program, untouched", true, kNever, 0, ""},
      {"swapped before the start: refused", false, kBeforeStart, ENOTDIR, nullptr},
      {"a script swapped between open and exec", false, kAfterOpen, 0, "inside"},
      {"a program swapped between open and exec", true, kAfterOpen, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Layout layout(c.elf);
    CHAR resolved[MAX_PATH];
    ASSERT_TRUE(ResolveProgramInDirectory(layout.backends.c_str(), "sub/prog", resolved, MAX_PATH));
    if (c.swap == kBeforeStart) layout.Swap();
    if (c.swap == kAfterOpen) SetProgramOpenedHookForTests(SwapHook, &layout);
    char* environment[] = {const_cast<char*>("PATH=/usr/bin:/bin"), nullptr};
    ProgramStart start{resolved, layout.marker.c_str(), environment, kNoLimits};
    start.checked = true;
    pid_t pid = 0;
    const int error = StartProgram(start, &pid, nullptr);
    SetProgramOpenedHookForTests(nullptr, nullptr);
    EXPECT_EQ(c.error, error);
    if (error == 0) {
      int status = -1;
      waitpid(pid, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    if (c.ran == nullptr) {
      EXPECT_FALSE(Exists(layout.marker));
    } else {
      EXPECT_EQ(c.ran, ReadAll(layout.marker));
    }
  }
}

TEST(CheckedStart, AScriptFindsItselfWhereItLies) {
  Layout layout(false);
  // A script is read through its descriptor (/dev/fd/N): following that name leads to its file.
  Executable(layout.backends + "/sub/prog", "#!/bin/sh\nreadlink -f \"$0\" | tr -d '\\n' > \"$1\"\n");
  CHAR resolved[MAX_PATH];
  ASSERT_TRUE(ResolveProgramInDirectory(layout.backends.c_str(), "sub/prog", resolved, MAX_PATH));
  char* environment[] = {const_cast<char*>("PATH=/usr/bin:/bin"), nullptr};
  ProgramStart start{resolved, layout.marker.c_str(), environment, kNoLimits};
  start.checked = true;
  pid_t pid = 0;
  ASSERT_EQ(0, StartProgram(start, &pid, nullptr));
  waitpid(pid, nullptr, 0);
  EXPECT_EQ(std::string(resolved), ReadAll(layout.marker));
}

}  // namespace
