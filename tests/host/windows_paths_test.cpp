// Which files run under Wine, and the Windows paths their exchange files are given.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/windows_paths.h"

namespace {

std::string WriteFile(const std::string& bytes) {
  char path[] = "/tmp/karvel-pe-XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fd);
  return path;
}

// "MZ", zeros, the PE offset at 0x3C, and `signature` there.
std::string DosImage(uint32_t peOffset, const std::string& signature, size_t length) {
  std::string image(length, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  for (int k = 0; k < 4; ++k) image[0x3C + k] = static_cast<char>(peOffset >> (8 * k));
  if (peOffset + signature.size() <= image.size()) image.replace(peOffset, signature.size(), signature);
  return image;
}

TEST(WindowsProgram, ExecutablesAreToldByTheirHeadersNotTheirNames) {
  using namespace std::string_literals;
  const struct {
    const char* name;
    std::string bytes;
    WindowsMachine kind;
  } cases[] = {
      {"x86-64 image", DosImage(0x80, "PE\0\0\x64\x86"s, 0x200), kWindows64},
      {"i386 image", DosImage(0x80, "PE\0\0\x4c\x01"s, 0x200), kWindows32},
      {"PE header cut after its signature", DosImage(0x40, "PE\0\0"s, 0x44), kWindows32},
      {"DOS program without a PE header", DosImage(0x80, "NE"s, 0x200), kNotWindows},
      {"PE offset past the end", DosImage(0x1000, "PE\0\0"s, 0x200), kNotWindows},
      {"PE offset of 4 GiB - 1", DosImage(0xFFFFFFFF, ""s, 0x200), kNotWindows},
      {"signature cut short", DosImage(0x40, "PE"s, 0x42), kNotWindows},
      {"only MZ", "MZ"s, kNotWindows},
      {"a shell script", "#!/bin/sh\necho 91\n"s, kNotWindows},
      {"an ELF program", "\x7F" "ELF\2\1\1"s + std::string(0x100, '\0'), kNotWindows},
      {"empty", ""s, kNotWindows},
  };
  for (const auto& c : cases) {
    const std::string path = WriteFile(c.bytes);
    EXPECT_EQ(WindowsExecutableKind(path.c_str()), c.kind) << c.name;
    unlink(path.c_str());
  }
  EXPECT_FALSE(IsWindowsProgramFile("/nonexistent/order.exe"));
  EXPECT_FALSE(IsWindowsProgramFile("/tmp"));
}

TEST(WindowsProgram, PathsAreGivenOnDriveZ) {
  char out[32];
  ASSERT_TRUE(WindowsPathOf("/var/tmp/VC0123.tmp", out, sizeof out));
  EXPECT_STREQ(out, "Z:\\var\\tmp\\VC0123.tmp");
  ASSERT_TRUE(WindowsPathOf("/", out, sizeof out));
  EXPECT_STREQ(out, "Z:\\");
  // Exactly the room: 29 characters and the NUL.
  ASSERT_TRUE(WindowsPathOf(("/" + std::string(26, 'a')).c_str(), out, 30));
  EXPECT_EQ(std::string(out).size(), 29u);
  std::snprintf(out, sizeof out, "untouched");
  EXPECT_FALSE(WindowsPathOf(("/" + std::string(27, 'a')).c_str(), out, 30));
  EXPECT_FALSE(WindowsPathOf("relative/path", out, sizeof out));
  EXPECT_STREQ(out, "untouched");
}

}  // namespace

namespace {

// A directory tree for the path lookups: backends/Order.EXE, backends/sub/Data.ini, other/x, and a
// Wine prefix whose drive C: is its drive_c and Z: the root.
class WindowsPathLookup : public testing::Test {
 protected:
  void SetUp() override {
    char base[] = "/tmp/karvel-paths-XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    root_ = base;
    for (const char* directory : {"/backends", "/backends/sub", "/other", "/prefix", "/prefix/dosdevices",
                                  "/prefix/drive_c", "/prefix/drive_c/users", "/prefix/drive_c/users/Temp"}) {
      ASSERT_EQ(mkdir((root_ + directory).c_str(), 0755), 0);
    }
    for (const char* file : {"/backends/Order.EXE", "/backends/sub/Data.ini", "/other/x",
                             "/prefix/drive_c/users/Temp/chart.gif"}) {
      std::fclose(std::fopen((root_ + file).c_str(), "w"));
    }
    ASSERT_EQ(symlink("../drive_c", (root_ + "/prefix/dosdevices/c:").c_str()), 0);
    ASSERT_EQ(symlink("/", (root_ + "/prefix/dosdevices/z:").c_str()), 0);
  }
  void TearDown() override { std::system(("rm -rf '" + root_ + "'").c_str()); }
  std::string root_;
};

TEST_F(WindowsPathLookup, FormsAndAnswersNameFilesAsWindowsDoes) {
  const std::string table = "C:\\apps|" + root_ + "/backends\nc:/apps/sub/|" + root_ + "/other\nD:\\|" + root_;
  const struct {
    const char* windows;
    const char* expected;  // below root_, or null: no mapping
  } cases[] = {
      {"C:\\apps\\order.exe", "/backends/Order.EXE"},
      {"c:/APPS/ORDER.exe", "/backends/Order.EXE"},
      {"C:\\apps\\SUB\\data.INI", "/other/data.INI"},  // the longer directory wins; a missing name stays
      {"C:\\apps", "/backends"},
      {"C:\\apps\\missing.exe", "/backends/missing.exe"},
      {"C:\\apps2\\order.exe", nullptr},  // another directory that begins the same
      {"C:\\app", nullptr},
      {"D:\\other\\X", "/other/x"},
      {"E:\\apps\\order.exe", nullptr},
      {"apps\\order.exe", nullptr},
  };
  char out[512];
  for (const auto& c : cases) {
    const BOOL mapped = MapWindowsPath(table.c_str(), c.windows, out, sizeof out);
    EXPECT_EQ(mapped != FALSE, c.expected != nullptr) << c.windows;
    if (mapped && c.expected != nullptr) {
      EXPECT_EQ(std::string(out), root_ + c.expected) << c.windows;
    }
  }
  EXPECT_FALSE(MapWindowsPath(table.c_str(), "C:\\apps\\order.exe", out, root_.size() + 10)) << "too small";

  const std::string prefix = root_ + "/prefix";
  ASSERT_TRUE(WineDrivePath(prefix.c_str(), "C:\\USERS\\TEMP\\CHART.GIF", out, sizeof out));
  char resolvedPrefix[512];
  ASSERT_NE(realpath(prefix.c_str(), resolvedPrefix), nullptr);
  EXPECT_EQ(std::string(out), std::string(resolvedPrefix) + "/drive_c/users/Temp/chart.gif");
  ASSERT_TRUE(WineDrivePath(prefix.c_str(), ("z:" + root_ + "/other/X").c_str(), out, sizeof out));
  EXPECT_EQ(std::string(out), root_ + "/other/x");
  EXPECT_FALSE(WineDrivePath(prefix.c_str(), "Q:\\x", out, sizeof out));
  EXPECT_FALSE(WineDrivePath(prefix.c_str(), "C:relative", out, sizeof out));
  EXPECT_FALSE(WineDrivePath("", "C:\\x", out, sizeof out));
}

}  // namespace
