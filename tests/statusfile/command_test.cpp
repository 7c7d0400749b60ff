// build/bin/emitstatus and build/lib/EMITSTATUS.so as scripts and other programs use them.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/files.h"

namespace {

using test_support::ReadAll;
using test_support::TempDir;
using test_support::WriteAll;

// Runs the command with `args` and WINDIR=`windir`, standard error to `errPath`; its exit status.
int RunCommand(const std::vector<std::string>& args, const std::string& windir, const std::string& errPath) {
  pid_t child = fork();
  if (child == 0) {
    setenv("WINDIR", windir.c_str(), 1);
    freopen(errPath.c_str(), "w", stderr);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(EMITSTATUS_COMMAND));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(EMITSTATUS_COMMAND, argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(EmitStatusCommand, ExitsWithTheResult) {
  TempDir dir;
  WriteAll(dir.File("VB_KARVEL.MIF"), "@3 and @5");
  const std::string err = dir.File("err.txt");
  EXPECT_EQ(0, RunCommand({dir.path() + "/,CMD,one,two"}, dir.path(), err));
  EXPECT_EQ("one and two", ReadAll(dir.File("CMD_VB_KARVEL.MIF")));
  EXPECT_EQ(99, RunCommand({dir.path() + "/missing/,CMD,one,two"}, dir.path(), err));
  EXPECT_NE(std::string::npos, ReadAll(err).find("File Read Failed"));
  EXPECT_EQ(2, RunCommand({}, dir.path(), err)) << "no argument: usage";
  EXPECT_NE(std::string::npos, ReadAll(err).find("usage"));
}

TEST(EmitStatusLibrary, ExportsEmitStatusByName) {
  void* library = dlopen(EMITSTATUS_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, library) << dlerror();
  using EmitStatusFunction = int32_t (*)(int32_t, int32_t, const char*);
  auto emit = reinterpret_cast<EmitStatusFunction>(dlsym(library, "EmitStatus"));
  ASSERT_NE(nullptr, emit);
  TempDir dir;
  WriteAll(dir.File("VB_KARVEL.MIF"), "[@2]");
  setenv("WINDIR", dir.path().c_str(), 1);
  EXPECT_EQ(0, emit(7, 8, (dir.path() + "/,LIB,four").c_str()));
  unsetenv("WINDIR");
  EXPECT_EQ("[4]", ReadAll(dir.File("LIB_VB_KARVEL.MIF")));
  dlclose(library);
}

}  // namespace
