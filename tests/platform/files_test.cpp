// CreateFileA, OpenRegularFile, ReadFile, WriteFile, SetFilePointer, CloseHandle, DeleteFileA, CopyFileA.
#include <fcntl.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/regular_files.h"
#include "platform/win32.h"
#include "support/files.h"

using test_support::Exists;
using test_support::ReadAll;
using test_support::SizeOf;
using test_support::TempDir;
using test_support::WriteAll;

namespace {

HANDLE OpenReadWrite(const std::string& path, DWORD disposition) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                     disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST(CreateFile, DispositionsFollowWhetherTheFileExists) {
  struct Case {
    const char* label;
    DWORD disposition;
    bool exists;
    bool opens;
    DWORD error;
    long long sizeAfter;  // -1: no file afterwards
  };
  const Case cases[] = {
      {"CREATE_NEW on existing", CREATE_NEW, true, false, ERROR_FILE_EXISTS, 5},
      {"CREATE_NEW on missing", CREATE_NEW, false, true, ERROR_SUCCESS, 0},
      {"CREATE_ALWAYS on existing", CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, 0},
      {"CREATE_ALWAYS on missing", CREATE_ALWAYS, false, true, ERROR_SUCCESS, 0},
      {"OPEN_EXISTING on existing", OPEN_EXISTING, true, true, ERROR_SUCCESS, 5},
      {"OPEN_EXISTING on missing", OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, -1},
      {"OPEN_ALWAYS on existing", OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, 5},
      {"OPEN_ALWAYS on missing", OPEN_ALWAYS, false, true, ERROR_SUCCESS, 0},
      {"TRUNCATE_EXISTING on existing", TRUNCATE_EXISTING, true, true, ERROR_SUCCESS, 0},
      {"TRUNCATE_EXISTING on missing", TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, -1},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::string path = dir.File("data.bin");
    if (c.exists) WriteAll(path, "hello");
    SetLastError(12345);  // success must overwrite stale values too
    HANDLE h = OpenReadWrite(path, c.disposition);
    EXPECT_EQ(c.opens, h != INVALID_HANDLE_VALUE) << c.label;
    EXPECT_NE(nullptr, h) << c.label;
    EXPECT_EQ(c.error, GetLastError()) << c.label;
    EXPECT_EQ(c.sizeAfter, SizeOf(path)) << c.label;
    if (h != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(CloseHandle(h)) << c.label;
    }
  }
}

TEST(CreateFile, FailuresNameTheirCause) {
  TempDir dir;
  SetLastError(0);
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenReadWrite(dir.File("no/such/file"), OPEN_ALWAYS));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError()) << "missing directory";
  // Read-only opening of a directory succeeds in POSIX and must still be refused.
  SetLastError(0);
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            CreateFileA(dir.path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError()) << "directory";
}

TEST(FileIo, PointerMovesFromEachOrigin) {
  TempDir dir;
  HANDLE h = OpenReadWrite(dir.File("seek.bin"), CREATE_ALWAYS);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(h, "0123456789", 10, &written, nullptr));
  ASSERT_EQ(10u, written);

  struct Step {
    const char* label;
    LONG distance;
    bool withHigh;
    LONG high;
    DWORD method;
    DWORD result;
    LONG highAfter;
    DWORD error;
  };
  const Step steps[] = {
      {"end of 10 bytes", 0, false, 0, FILE_END, 10, 0, ERROR_SUCCESS},
      {"back 4 from current", -4, false, 0, FILE_CURRENT, 6, 0, ERROR_SUCCESS},
      {"before the start fails", -1, false, 0, FILE_BEGIN, INVALID_SET_FILE_POINTER, 0,
       ERROR_INVALID_PARAMETER},
      {"failure left the position", 0, false, 0, FILE_CURRENT, 6, 0, ERROR_SUCCESS},
      {"3 before the end", -3, false, 0, FILE_END, 7, 0, ERROR_SUCCESS},
      {"4 GiB with a high part", 0, true, 1, FILE_BEGIN, 0, 1, ERROR_SUCCESS},
      {"past 4 GiB from current", 5, true, 0, FILE_CURRENT, 5, 1, ERROR_SUCCESS},
      {"beyond 32 bits without high part", 0, false, 0, FILE_CURRENT, INVALID_SET_FILE_POINTER, 0,
       ERROR_INVALID_PARAMETER},
      {"low part all ones is a position", -1, true, 0, FILE_BEGIN, 0xFFFFFFFFu, 0, ERROR_SUCCESS},
      {"unknown method", 0, false, 0, 7, INVALID_SET_FILE_POINTER, 0, ERROR_INVALID_PARAMETER},
      {"back to 2", 2, false, 0, FILE_BEGIN, 2, 0, ERROR_SUCCESS},
  };
  for (const Step& s : steps) {
    SetLastError(12345);
    LONG high = s.high;
    DWORD result = SetFilePointer(h, s.distance, s.withHigh ? &high : nullptr, s.method);
    EXPECT_EQ(s.result, result) << s.label;
    EXPECT_EQ(s.error, GetLastError()) << s.label;
    if (s.withHigh) {
      EXPECT_EQ(s.highAfter, high) << s.label;
    }
  }
  // Seeking alone must not have grown the file; writing at 2 overwrites in place.
  ASSERT_TRUE(WriteFile(h, "AB", 2, &written, nullptr));
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ("01AB456789", ReadAll(dir.File("seek.bin")));
}

TEST(CreateFile, ReadOpenThatSharesOnlyReadingWaitsForWriters) {
  TempDir dir;
  const std::string path = dir.File("shared.bin");
  WriteAll(path, "data");
  int probe = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(probe, 0);
  const bool leases = fcntl(probe, F_SETLEASE, F_RDLCK) == 0;
  if (leases) fcntl(probe, F_SETLEASE, F_UNLCK);
  close(probe);
  if (!leases) GTEST_SKIP() << "this file system offers no leases";

  int writer = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  HANDLE sharing = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, sharing) << "sharing writing, the open goes ahead";
  if (sharing != INVALID_HANDLE_VALUE) CloseHandle(sharing);
  close(writer);
  HANDLE after = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, after) << "once the writer has closed the file";
  if (after != INVALID_HANDLE_VALUE) CloseHandle(after);
}

TEST(FileIo, SetEndOfFileCutsAtThePosition) {
  TempDir dir;
  HANDLE h = OpenReadWrite(dir.File("cut.bin"), CREATE_ALWAYS);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(h, "0123456789", 10, &written, nullptr));
  ASSERT_EQ(4u, SetFilePointer(h, 4, nullptr, FILE_BEGIN));
  EXPECT_TRUE(SetEndOfFile(h));
  EXPECT_EQ(4u, SetFilePointer(h, 0, nullptr, FILE_END)) << "the end is where the pointer was";
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ("0123", ReadAll(dir.File("cut.bin")));
  EXPECT_FALSE(SetEndOfFile(INVALID_HANDLE_VALUE));
}

TEST(FileIo, ReadStopsAtEndOfFile) {
  TempDir dir;
  WriteAll(dir.File("r.bin"), "abcdefgh");
  HANDLE h = CreateFileA(dir.File("r.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  char buffer[32] = {};
  DWORD got = 99;
  ASSERT_TRUE(ReadFile(h, buffer, 3, &got, nullptr));
  EXPECT_EQ(3u, got);
  ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(5u, got) << "short read at end of file";
  EXPECT_EQ("defgh", std::string(buffer, got));
  got = 99;
  ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(0u, got) << "at end of file";
  EXPECT_EQ(0u, SetFilePointer(h, 0, nullptr, FILE_BEGIN));
  EXPECT_TRUE(ReadFile(h, buffer, 2, nullptr, nullptr)) << "no count pointer";
  DWORD written = 7;
  EXPECT_FALSE(WriteFile(h, "x", 1, &written, nullptr)) << "read-only handle";
  EXPECT_EQ(0u, written);
  EXPECT_TRUE(CloseHandle(h));

  SetLastError(0);
  EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, buffer, 1, &got, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_FALSE(CloseHandle(nullptr));
}

// What a back-end program may put where a file is expected: only a regular file opens (a link to
// one too), anything else is refused at once, a FIFO without a writer too, whose plain open would
// wait for one; the handle then reads and blocks as any other. A copy, too, goes from a file to a
// file only, and leaves a FIFO, a device or a directory at either end as it was.
TEST(OpenRegularFile, OnlyRegularFilesOpenOrCopyAndNothingWaits) {
  TempDir dir;
  const std::string regular = dir.File("regular.bin"), fifo = dir.File("fifo"), directory = dir.File("directory");
  WriteAll(regular, "answer");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  mkdir(directory.c_str(), 0700);
  symlink("/dev/zero", dir.File("zero.link").c_str());
  symlink(fifo.c_str(), dir.File("fifo.link").c_str());
  symlink(regular.c_str(), dir.File("regular.link").c_str());
  symlink(dir.File("missing").c_str(), dir.File("dangling.link").c_str());
  const struct {
    std::string path;
    DWORD error;  // ERROR_SUCCESS: opens
  } cases[] = {
      {regular, ERROR_SUCCESS},          {dir.File("regular.link"), ERROR_SUCCESS},
      {fifo, ERROR_BAD_FILE_TYPE},       {dir.File("fifo.link"), ERROR_BAD_FILE_TYPE},
      {"/dev/null", ERROR_BAD_FILE_TYPE}, {"/dev/zero", ERROR_BAD_FILE_TYPE},
      {dir.File("zero.link"), ERROR_BAD_FILE_TYPE}, {directory, ERROR_BAD_FILE_TYPE},
      {dir.File("missing"), ERROR_FILE_NOT_FOUND}, {dir.File("dangling.link"), ERROR_FILE_NOT_FOUND},
  };
  for (const DWORD access : {static_cast<DWORD>(GENERIC_READ), static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE)}) {
    for (const auto& c : cases) {
      HANDLE h = OpenRegularFile(c.path.c_str(), access, FILE_SHARE_READ);
      EXPECT_EQ(GetLastError(), c.error) << c.path << ", access " << access;
      ASSERT_EQ(h != INVALID_HANDLE_VALUE, c.error == ERROR_SUCCESS) << c.path;
      if (h == INVALID_HANDLE_VALUE) continue;
      char buffer[16] = {};
      DWORD got = 0;
      EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &got, nullptr) && std::string(buffer, got) == "answer") << c.path;
      EXPECT_EQ(fcntl(static_cast<int>(reinterpret_cast<intptr_t>(h) - 1), F_GETFL) & O_NONBLOCK, 0) << c.path;
      EXPECT_TRUE(CloseHandle(h));
      // Opens as a source and a target of a copy, just as the open goes.
      EXPECT_TRUE(CopyFileA(c.path.c_str(), dir.File("copy").c_str(), FALSE)) << c.path;
      EXPECT_TRUE(CopyFileA(dir.File("copy").c_str(), c.path.c_str(), FALSE)) << c.path;
    }
  }
  // Refused copies, neither end touched; /dev/null and a directory first, so that a copy that
  // waits on a FIFO or reads /dev/zero without end comes last.
  for (const char* target : {"/dev/null", "directory", "fifo", "fifo.link"}) {
    const std::string to = target[0] == '/' ? target : dir.File(target);
    EXPECT_FALSE(CopyFileA(regular.c_str(), to.c_str(), FALSE)) << to;
  }
  for (const std::string& from : {directory, fifo, std::string("/dev/zero")}) {
    EXPECT_FALSE(CopyFileA(from.c_str(), dir.File("new").c_str(), FALSE)) << from;
  }
  EXPECT_FALSE(Exists(dir.File("new")));
  struct stat info;
  EXPECT_TRUE(stat(fifo.c_str(), &info) == 0 && S_ISFIFO(info.st_mode)) << "the FIFO is left alone";
}

TEST(FileIo, ReadGathersPiecesUntilTheCount) {
  TempDir dir;
  std::string fifo = dir.File("fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    int fd = open(fifo.c_str(), O_WRONLY);
    // Two pieces with a pause between, so a single read(2) would see only the first.
    bool ok = fd >= 0 && write(fd, "abc", 3) == 3 && usleep(100 * 1000) == 0 && write(fd, "def", 3) == 3;
    _exit(ok ? 0 : 1);
  }
  HANDLE h = CreateFileA(fifo.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) kill(writer, SIGKILL);  // it would wait for a reader forever
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  char buffer[16] = {};
  DWORD got = 0;
  EXPECT_TRUE(ReadFile(h, buffer, 6, &got, nullptr));
  EXPECT_EQ("abcdef", std::string(buffer, got));
  EXPECT_TRUE(CloseHandle(h));
  int status = 0;
  ASSERT_EQ(writer, waitpid(writer, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(FileIo, WriteToFullDeviceReportsDiskFull) {
  if (!Exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  HANDLE h = CreateFileA("/dev/full", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD written = 99;
  SetLastError(0);
  EXPECT_FALSE(WriteFile(h, "data", 4, &written, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
  EXPECT_EQ(0u, written);
  EXPECT_FALSE(WriteFile(h, "data", 4, nullptr, nullptr)) << "no count pointer";
  EXPECT_TRUE(CloseHandle(h));
}

TEST(CopyAndDelete, CopyReplacesOnlyWhenAllowed) {
  TempDir dir;
  std::string source = dir.File("source");
  std::string target = dir.File("target");
  std::string content;
  for (int i = 0; i < 100000; ++i) content += static_cast<char>('a' + i % 26);  // several chunks
  WriteAll(source, content);

  EXPECT_TRUE(CopyFileA(source.c_str(), target.c_str(), TRUE)) << "new target";
  EXPECT_EQ(content, ReadAll(target)) << "new target";

  WriteAll(target, "old");
  SetLastError(0);
  EXPECT_FALSE(CopyFileA(source.c_str(), target.c_str(), TRUE)) << "existing, failIfExists";
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
  EXPECT_EQ("old", ReadAll(target)) << "existing target untouched";

  WriteAll(source, "short");
  WriteAll(target, "a much longer old content");
  EXPECT_TRUE(CopyFileA(source.c_str(), target.c_str(), FALSE)) << "replace";
  EXPECT_EQ("short", ReadAll(target)) << "replaced target truncated first";

  EXPECT_FALSE(CopyFileA(source.c_str(), source.c_str(), FALSE)) << "onto itself";
  EXPECT_EQ("short", ReadAll(source)) << "copy onto itself must not wipe the source";

  SetLastError(0);
  EXPECT_FALSE(CopyFileA(dir.File("absent").c_str(), target.c_str(), FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

TEST(CopyAndDelete, DeleteReportsMissingFiles) {
  TempDir dir;
  WriteAll(dir.File("doomed"), "x");
  EXPECT_TRUE(DeleteFileA(dir.File("doomed").c_str()));
  EXPECT_FALSE(Exists(dir.File("doomed")));

  struct Case {
    const char* label;
    std::string path;
    DWORD error;
  };
  const Case cases[] = {
      {"missing file", dir.File("doomed"), ERROR_FILE_NOT_FOUND},
      {"missing directory", dir.File("nodir/doomed"), ERROR_PATH_NOT_FOUND},
      {"directory", dir.path(), ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(DeleteFileA(c.path.c_str())) << c.label;
    EXPECT_EQ(c.error, GetLastError()) << c.label;
  }
}

}  // namespace

TEST(MoveFile, NeverReplacesAFile) {
  struct Case {
    const char* what;
    bool sourceThere, targetThere;
    BOOL moved;
    DWORD error;  // when not moved
  } cases[] = {
      {"to a free name", true, false, TRUE, ERROR_SUCCESS},
      {"onto a taken name", true, true, FALSE, ERROR_ALREADY_EXISTS},
      {"a file that is not there", false, false, FALSE, ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test_support::TempDir dir;
    const std::string from = dir.File("from"), to = dir.File("to");
    if (c.sourceThere) test_support::WriteAll(from, "moving");
    if (c.targetThere) test_support::WriteAll(to, "staying");
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(c.moved, MoveFileA(from.c_str(), to.c_str()));
    if (!c.moved) {
      EXPECT_EQ(c.error, GetLastError());
    }
    EXPECT_EQ(c.moved ? "moving" : c.targetThere ? "staying" : "", test_support::ReadAll(to));
    EXPECT_EQ(c.sourceThere && !c.moved ? "moving" : "", test_support::ReadAll(from));
  }
}
