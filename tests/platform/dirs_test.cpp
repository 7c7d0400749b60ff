// GetTempPathA, GetWindowsDirectoryA, GetTempFileNameA.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "support/files.h"

using test_support::Exists;
using test_support::ReadAll;
using test_support::ScopedEnv;
using test_support::SizeOf;
using test_support::TempDir;

namespace {

struct DirCase {
  const char* label;
  const char* env;  // nullptr: unset
  const char* expected;
};

// Both functions share the Win32 buffer contract; `get` hides their different argument orders.
template <typename Get>
void CheckDirectoryFunction(const char* variable, const DirCase* cases, size_t count, Get get) {
  for (size_t i = 0; i < count; ++i) {
    const DirCase& c = cases[i];
    ScopedEnv env(variable, c.env);
    const size_t length = std::strlen(c.expected);
    char buffer[512];
    std::memset(buffer, 'Z', sizeof buffer);
    EXPECT_EQ(length, get(static_cast<DWORD>(sizeof buffer), buffer)) << c.label;
    EXPECT_STREQ(c.expected, buffer) << c.label;

    std::memset(buffer, 'Z', sizeof buffer);
    EXPECT_EQ(length, get(static_cast<DWORD>(length + 1), buffer)) << c.label << ": exact fit";
    EXPECT_STREQ(c.expected, buffer) << c.label << ": exact fit";

    std::memset(buffer, 'Z', sizeof buffer);
    EXPECT_EQ(length + 1, get(static_cast<DWORD>(length), buffer)) << c.label << ": one short";
    EXPECT_EQ(std::string(sizeof buffer, 'Z'), std::string(buffer, sizeof buffer))
        << c.label << ": a too small buffer stays untouched";
    EXPECT_EQ(length + 1, get(0, nullptr)) << c.label << ": size query";
  }
}

TEST(Directories, TempPathComesFromTmpdirWithTrailingSlash) {
  const DirCase cases[] = {
      {"unset", nullptr, "/tmp/"},
      {"empty", "", "/tmp/"},
      {"without slash", "/var/spool/k", "/var/spool/k/"},
      {"with slash", "/var/spool/k/", "/var/spool/k/"},
  };
  CheckDirectoryFunction("TMPDIR", cases, std::size(cases),
                         [](DWORD size, char* buffer) -> size_t { return GetTempPathA(size, buffer); });
}

TEST(Directories, WindowsDirectoryComesFromWindir) {
  const DirCase cases[] = {
      {"unset", nullptr, "/var/lib/karvel"},
      {"empty", "", "/var/lib/karvel"},
      {"set", "/srv/karvel", "/srv/karvel"},
      {"no slash added", "/srv/karvel/", "/srv/karvel/"},
  };
  CheckDirectoryFunction("WINDIR", cases, std::size(cases), [](DWORD size, char* buffer) -> size_t {
    return GetWindowsDirectoryA(buffer, size);
  });
}

TEST(Directories, CreateDirectoryRefusesWhatExists) {
  TempDir dir;
  const std::string made = dir.File("made");
  EXPECT_TRUE(CreateDirectoryA(made.c_str(), nullptr));
  struct stat info;
  ASSERT_EQ(0, stat(made.c_str(), &info));
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(0700u, info.st_mode & 0777u) << "uploads stay private to the server";
  EXPECT_FALSE(CreateDirectoryA(made.c_str(), nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  EXPECT_FALSE(CreateDirectoryA(dir.File("missing/child").c_str(), nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
}

TEST(TempFileName, NamesFollowTheWindowsPattern) {
  TempDir dir;
  struct Case {
    const char* label;
    std::string dirArgument;
    const char* prefix;
    UINT unique;  // 0: generated and created
    std::string expectedStart;
  };
  const Case cases[] = {
      {"prefix cut to 3", dir.path(), "karvel", 0, dir.path() + "/kar"},
      {"trailing slash kept single", dir.path() + "/", "up", 0, dir.path() + "/up"},
      {"no prefix", dir.path(), nullptr, 0, dir.path() + "/"},
      {"given 1 digit", dir.path(), "prefix", 0xA, dir.path() + "/pre"},
      {"given 4 digits", dir.path(), "prefix", 0x1A2B, dir.path() + "/pre"},
  };
  for (const Case& c : cases) {
    char out[MAX_PATH];
    UINT number = GetTempFileNameA(c.dirArgument.c_str(), c.prefix, c.unique, out);
    EXPECT_TRUE(c.unique == 0 ? number >= 1 && number <= 0xFFFF : number == c.unique)
        << c.label << ": " << number;
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X.tmp", number);
    EXPECT_EQ(c.expectedStart + hex, std::string(out)) << c.label;
    // Only a generated name is created (empty); a given number just forms the name.
    EXPECT_EQ(c.unique == 0 ? 0 : -1, SizeOf(out)) << c.label;
  }
  char out[MAX_PATH];
  SetLastError(0);
  EXPECT_EQ(0u, GetTempFileNameA(dir.File("missing").c_str(), "k", 0, out));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError()) << "missing directory";
}

TEST(TempFileName, OverlongNamesFailWithoutOverrun) {
  // "/" + "pre" + "1" + ".tmp" take 9 bytes, the NUL one more: a 250-byte directory just fits.
  struct Case {
    const char* label;
    size_t dirLength;
    UINT unique;
    bool fits;
  };
  const Case cases[] = {
      {"given number, fits exactly", 250, 1, true},
      {"given number, one too long", 251, 1, false},
      {"generated number, far too long", 300, 0, false},
      {"generated number, 4 digits would not fit", 250, 0, false},
  };
  for (const Case& c : cases) {
    std::string dir = "/" + std::string(c.dirLength - 1, 'd');
    char out[MAX_PATH + 16];
    std::memset(out, '#', sizeof out);
    SetLastError(0);
    UINT result = GetTempFileNameA(dir.c_str(), "pre", c.unique, out);
    if (c.fits) {
      EXPECT_EQ(c.unique, result) << c.label;
      EXPECT_EQ(size_t{MAX_PATH - 1}, std::strlen(out)) << c.label;
    } else {
      EXPECT_EQ(0u, result) << c.label;
      EXPECT_EQ(static_cast<DWORD>(ERROR_BUFFER_OVERFLOW), GetLastError()) << c.label;
    }
    EXPECT_EQ(std::string(16, '#'), std::string(out + MAX_PATH, 16))
        << c.label << ": nothing written past MAX_PATH";
  }
}

TEST(TempFileName, EveryNumberIsTriedBeforeGivingUp) {
  TempDir dir;
  const UINT freeNumber = 0x1234;
  for (UINT n = 1; n <= 0xFFFF; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "x%X.tmp", n);
    if (n != freeNumber) close(open(dir.File(name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
  }
  char out[MAX_PATH];
  EXPECT_EQ(freeNumber, GetTempFileNameA(dir.path().c_str(), "x", 0, out)) << "the only free number";
  EXPECT_EQ(0, SizeOf(out)) << "taken files are never reused";
  SetLastError(0);
  EXPECT_EQ(0u, GetTempFileNameA(dir.path().c_str(), "x", 0, out)) << "all numbers taken";
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
}

// Creates `count` names in `dir`, one per line; an empty line marks a failed call.
std::string CreateNames(const std::string& dir, int count) {
  std::string names;
  for (int i = 0; i < count; ++i) {
    char out[MAX_PATH];
    if (GetTempFileNameA(dir.c_str(), "u", 0, out) != 0) names += out;
    names += '\n';
  }
  return names;
}

TEST(TempFileName, NamesAreUniqueAcrossProcessesAndThreads) {
  TempDir dir;
  const std::string childList = dir.File("child-names.txt");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    test_support::WriteAll(childList, CreateNames(dir.path(), 1000));
    _exit(0);
  }
  // Two threads here, one more process at the same time, all in one directory.
  std::string first, second;
  std::thread a([&] { first = CreateNames(dir.path(), 500); });
  std::thread b([&] { second = CreateNames(dir.path(), 500); });
  a.join();
  b.join();
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  std::set<std::string> distinct;
  size_t lines = 0;
  std::istringstream all(ReadAll(childList) + first + second);
  for (std::string name; std::getline(all, name);) {
    ++lines;
    EXPECT_FALSE(name.empty()) << "call " << lines << " failed";
    EXPECT_TRUE(Exists(name)) << name;
    distinct.insert(name);
  }
  EXPECT_EQ(2000u, lines);
  EXPECT_EQ(2000u, distinct.size()) << "some name was handed out twice";
}

}  // namespace
