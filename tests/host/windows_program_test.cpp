// Which files run under Wine, and the Windows paths their exchange files are given.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "host/windows_program.h"

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
  EXPECT_FALSE(IsWindowsExecutable("/nonexistent/order.exe"));
  EXPECT_FALSE(IsWindowsExecutable("/tmp"));
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
