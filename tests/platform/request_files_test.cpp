// The server's temporary directory and the pair of names a request takes in it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/request_files.h"
#include "platform/test_hooks.h"
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

// Digits drawn in turn from a list a test fills, so that it can plant names before they are drawn.
std::vector<unsigned long long> g_digits;
size_t g_drawn = 0;
unsigned long long PlantedDigits() { return g_digits[g_drawn++ % g_digits.size()]; }

std::string Hex(unsigned long long digits) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llX", digits);
  return text;
}

struct ApartCase {
  const char* label;
  const char* planted;  // what stands under the first digits: "", "upload dir", "exchange file"
  bool rootSeparated;   // the upload root is given with its separator
};

// With an upload root of its own, the pair is reserved across both directories: the upload
// directory there, the exchange file here, under the same digits; a name taken in either makes both
// be drawn again, and a refused exchange file takes its upload directory with it. Asked only to keep
// the directory's name free, it makes no directory, and a name taken still makes both be drawn again.
TEST(RequestPair, UploadsApartAreReservedWithTheExchangeFile) {
  const ApartCase cases[] = {
      {"nothing in the way", "", false},
      {"nothing in the way, root with its separator", "", true},
      {"an upload directory of the first digits stands in the upload root", "upload dir", false},
      {"an exchange file of the first digits stands in the temporary directory", "exchange file", true},
  };
  constexpr unsigned long long kFirst = 0x0123456789ABCDEFull, kSecond = 0xFEDCBA9876543210ull;
  for (const BOOL makeDirectory : {TRUE, FALSE}) for (const ApartCase& c : cases) {
    SCOPED_TRACE(makeDirectory ? "directory made" : "name kept free");
    TempDir dir;
    const std::string temp = dir.File("temp"), root = dir.File("uploads");
    mkdir(temp.c_str(), 0700);
    mkdir(root.c_str(), 0700);
    const std::string plantedDir = root + "/VCU" + Hex(kFirst) + ".tmp";
    const std::string plantedFile = temp + "/VC" + Hex(kFirst) + ".tmp";
    if (std::strcmp(c.planted, "upload dir") == 0) mkdir(plantedDir.c_str(), 0700);
    if (std::strcmp(c.planted, "exchange file") == 0) test_support::WriteAll(plantedFile, "someone's");
    g_digits = {kFirst, kSecond};
    g_drawn = 0;
    karvel_test::SetRequestDigitsSource(PlantedDigits);
    CHAR file[MAX_PATH], uploads[MAX_PATH];
    HANDLE handle = INVALID_HANDLE_VALUE;
    const std::string rootGiven = c.rootSeparated ? root + "/" : root;
    BOOL directoryMade = !makeDirectory;
    const BOOL made = CreateRequestPair(temp.c_str(), file, uploads, &handle, rootGiven.c_str(), makeDirectory,
                                        &directoryMade);
    karvel_test::SetRequestDigitsSource(nullptr);
    ASSERT_TRUE(made) << c.label;
    EXPECT_EQ(directoryMade, makeDirectory) << c.label;
    CloseHandle(handle);
    const std::string digits = Hex(c.planted[0] == '\0' ? kFirst : kSecond);
    EXPECT_EQ(std::string(file), temp + "/VC" + digits + ".tmp") << c.label;
    EXPECT_EQ(std::string(uploads), root + "/VCU" + digits + ".tmp") << c.label;
    struct stat info{};
    if (makeDirectory) {
      EXPECT_TRUE(lstat(uploads, &info) == 0 && S_ISDIR(info.st_mode) && (info.st_mode & 07777) == 0700u) << c.label;
    } else {
      EXPECT_NE(lstat(uploads, &info), 0) << c.label;
    }
    EXPECT_TRUE(lstat(file, &info) == 0 && S_ISREG(info.st_mode)) << c.label;
    // Nothing of the pair in the other's directory; what was planted stays as it was, and the
    // upload directory made for the refused exchange file is gone again.
    EXPECT_NE(lstat((temp + "/VCU" + digits + ".tmp").c_str(), &info), 0) << c.label;
    EXPECT_NE(lstat((root + "/VC" + digits + ".tmp").c_str(), &info), 0) << c.label;
    if (std::strcmp(c.planted, "upload dir") == 0) {
      EXPECT_EQ(lstat(plantedDir.c_str(), &info), 0) << c.label;
      EXPECT_NE(lstat(plantedFile.c_str(), &info), 0) << c.label;
    }
    if (std::strcmp(c.planted, "exchange file") == 0) {
      EXPECT_EQ(test_support::ReadAll(plantedFile), "someone's") << c.label;
      EXPECT_NE(lstat(plantedDir.c_str(), &info), 0) << c.label;
    }
  }
}

// Either path too long for MAX_PATH, or either directory missing: nothing made in the other.
TEST(RequestPair, UploadsApartRefusedWholeWhenEitherDoesNotFit) {
  TempDir dir;
  const std::string temp = dir.File("temp"), root = dir.File("uploads");
  mkdir(temp.c_str(), 0700);
  mkdir(root.c_str(), 0700);
  const std::string tooLongForUploads = root + "/" + std::string(MAX_PATH - root.size() - 1 - 3 - 16 - 4 - 1, 'u');
  const std::string tooLongForFile = temp + "/" + std::string(MAX_PATH - temp.size() - 1 - 2 - 16 - 4, 'f');
  struct Case {
    const char* label;
    std::string directory, uploadRoot;
  } const cases[] = {
      {"the upload directory's path one byte over", temp, tooLongForUploads},
      {"the exchange file's path one byte over", tooLongForFile, root},
      {"no such upload root", temp, root + "/missing"},
      {"no such temporary directory", temp + "/missing", root},
  };
  for (const Case& c : cases) {
    CHAR file[MAX_PATH] = "x", uploads[MAX_PATH] = "x";
    HANDLE handle = nullptr;
    EXPECT_FALSE(CreateRequestPair(c.directory.c_str(), file, uploads, &handle, c.uploadRoot.c_str())) << c.label;
    EXPECT_EQ(std::string(file) + uploads, "") << c.label;
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE) << c.label;
    EXPECT_TRUE(std::filesystem::is_empty(temp)) << c.label;
    EXPECT_TRUE(std::filesystem::is_empty(root)) << c.label;
  }
  // One byte shorter, both fit.
  const std::string fits = tooLongForUploads.substr(0, tooLongForUploads.size() - 1);
  mkdir(fits.c_str(), 0700);
  CHAR file[MAX_PATH], uploads[MAX_PATH];
  HANDLE handle = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(CreateRequestPair(temp.c_str(), file, uploads, &handle, fits.c_str()));
  CloseHandle(handle);
  EXPECT_EQ(std::strlen(uploads), MAX_PATH - 1u);
}

}  // namespace
