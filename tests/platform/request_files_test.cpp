// The server's temporary directory and the pair of names a request takes in it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/request_files.h"
#include "support/files.h"

using test_support::ScopedEnv;
using test_support::TempDir;

namespace {

struct TempPathCase {
  const char* label;
  mode_t baseMode;     // the temporary directory's mode
  const char* before;  // what stands at karvel-<uid> before: "", "dir 0700", "dir 0755", "file",
                       // "link", "dir of nobody"
  bool accepted;
  bool own;            // the answer is karvel-<uid> inside the base, not the base itself
};

void MakeBefore(const std::string& path, const std::string& before, const std::string& elsewhere) {
  if (before == "dir 0700" || before == "dir of nobody") mkdir(path.c_str(), 0700);
  if (before == "dir 0755") {
    mkdir(path.c_str(), 0700);
    chmod(path.c_str(), 0755);
  }
  if (before == "file") test_support::WriteAll(path, "x");
  if (before == "link") {
    mkdir(elsewhere.c_str(), 0700);
    symlink(elsewhere.c_str(), path.c_str());
  }
  if (before == "dir of nobody") chown(path.c_str(), 65534, 65534);
}

TEST(ServerTempPath, SharedDirectoriesGetAPrivateOneInside) {
  const TempPathCase cases[] = {
      {"private base", 0700, "", true, false},
      {"group-writable base", 0770, "", true, false},
      {"sticky world-writable base", 01777, "", true, true},
      {"world-writable base without the sticky bit", 0777, "", true, true},
      {"its own directory already there", 01777, "dir 0700", true, true},
      {"a directory others may read", 01777, "dir 0755", false, true},
      {"a file in its place", 01777, "file", false, true},
      {"a link to a private directory", 01777, "link", false, true},
      {"a directory of another user", 01777, "dir of nobody", false, true},
  };
  for (const TempPathCase& c : cases) {
    if (std::strcmp(c.before, "dir of nobody") == 0 && geteuid() != 0) continue;  // only root can give it away
    TempDir dir;
    const std::string base = dir.File("tmp");
    mkdir(base.c_str(), 0700);
    chmod(base.c_str(), c.baseMode);
    const std::string own = base + "/karvel-" + std::to_string(geteuid());
    MakeBefore(own, c.before, dir.File("elsewhere"));
    ScopedEnv env("TMPDIR", base.c_str());
    CHAR path[MAX_PATH] = "unchanged";
    const BOOL got = GetServerTempPath(path);
    EXPECT_EQ(got != FALSE, c.accepted) << c.label << ": " << path;
    if (!c.accepted) continue;
    EXPECT_EQ(std::string(path), (c.own ? own : base) + "/") << c.label;
    struct stat info{};
    ASSERT_EQ(lstat(path, &info), 0) << c.label;
    EXPECT_TRUE(S_ISDIR(info.st_mode)) << c.label;
    if (c.own) {
      EXPECT_EQ(info.st_mode & 07777, 0700u) << c.label;
      EXPECT_EQ(info.st_uid, geteuid()) << c.label;
    }
    chmod(base.c_str(), 0700);
  }
}

TEST(RequestPair, TheDirectoryIsMadeBeforeTheFileUnderTheSameDigits) {
  TempDir dir;
  for (const std::string& directory : {dir.path(), dir.path() + "/"}) {
    CHAR file[MAX_PATH], uploads[MAX_PATH];
    HANDLE handle = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(CreateRequestPair(directory.c_str(), file, uploads, &handle));
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);
    const std::string f = file, u = uploads, at = dir.path() + "/";
    ASSERT_EQ(f.size(), at.size() + 2 + 16 + 4) << f;
    EXPECT_EQ(f.substr(0, at.size() + 2), at + "VC");
    EXPECT_EQ(u, at + "VCU" + f.substr(at.size() + 2));
    struct stat fileInfo{}, dirInfo{};
    ASSERT_EQ(lstat(file, &fileInfo), 0);
    ASSERT_EQ(lstat(uploads, &dirInfo), 0);
    EXPECT_TRUE(S_ISREG(fileInfo.st_mode) && (fileInfo.st_mode & 07777) == 0600u) << f;
    EXPECT_TRUE(S_ISDIR(dirInfo.st_mode) && (dirInfo.st_mode & 07777) == 0700u) << u;
    unlink(file);
    rmdir(uploads);
  }
  // Paths that do not fit, and a directory that is not there: nothing made, nothing named.
  CHAR file[MAX_PATH] = "x", uploads[MAX_PATH] = "x";
  HANDLE handle = nullptr;
  for (const std::string& directory : {std::string(MAX_PATH - 3 - 16 - 4 - 1, 'd'), dir.path() + "/missing"}) {
    EXPECT_FALSE(CreateRequestPair(directory.c_str(), file, uploads, &handle));
    EXPECT_EQ(std::string(file) + uploads, "");
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
  }
}

}  // namespace
