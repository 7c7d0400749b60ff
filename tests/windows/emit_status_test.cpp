// EmitStatus against the real system: the status file goes into GetWindowsDirectoryA's directory
// (the Wine prefix's C:\windows), dates come from GetLocalTime and wsprintfA, failures reach
// MessageBoxA (caught by the test hook instead of a box on the screen).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/test_hooks.h"
#include "statusfile/emit_status.h"
#include "support/files.h"

namespace {

using test_support::Exists;
using test_support::ReadAll;
using test_support::WriteAll;

const std::string kColon = "\x81\x46";

struct Shown {
  std::string text, caption;
  UINT type;
};
std::vector<Shown> g_shown;
void Collect(LPCSTR text, LPCSTR caption, UINT type) { g_shown.push_back({text, caption, type}); }

SYSTEMTIME g_fixedTime;
void FixedClock(SYSTEMTIME* time) { *time = g_fixedTime; }

// A template directory of its own, status names of their own in the Windows directory (removed
// afterwards), message boxes collected.
class StatusFixture {
 public:
  StatusFixture() {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    char name[MAX_PATH];
    GetTempFileNameA(temp, "kst", 0, name);
    DeleteFileA(name);
    CreateDirectoryA(name, nullptr);
    templates_ = std::string(name) + "\\";
    char windows[MAX_PATH];
    const UINT length = GetWindowsDirectoryA(windows, MAX_PATH);
    windows_ = std::string(windows, length);
    prefix_ = "KT" + std::to_string(GetCurrentProcessId()) + "_";
    g_shown.clear();
    karvel_test::SetMessageBoxSink(Collect);
  }
  ~StatusFixture() {
    karvel_test::SetMessageBoxSink(nullptr);
    karvel_test::SetLocalTimeSource(nullptr);
    for (const std::string& name : names_) DeleteFileA(StatusFile(name).c_str());
    DeleteFileA((templates_ + "VB_KARVEL.MIF").c_str());
    RemoveDirectoryA(templates_.c_str());
  }
  // A status name of this run; its file is removed at the end.
  std::string Name(const std::string& suffix) {
    names_.push_back(prefix_ + suffix);
    return names_.back();
  }
  std::string StatusFile(const std::string& name) const { return windows_ + "\\" + name + "_VB_KARVEL.MIF"; }
  void SetTemplate(const std::string& text) const { WriteAll(templates_ + "VB_KARVEL.MIF", text); }
  const std::string& templates() const { return templates_; }

 private:
  std::string templates_, windows_, prefix_;
  std::vector<std::string> names_;
};

TEST(WindowsEmitStatus, MarkersExpandIntoTheWindowsDirectory) {
  using namespace std::string_literals;
  StatusFixture f;
  g_fixedTime = SYSTEMTIME{};
  g_fixedTime.wYear = 2007;
  g_fixedTime.wMonth = 3;
  g_fixedTime.wDay = 5;
  karvel_test::SetLocalTimeSource(FixedClock);
  const struct {
    const char* name;
    std::string templateText, values, expected;
  } cases[] = {
      {"no markers, bytes as they are", "line1\r\n\x00\xff\x1a@"s, "a,b", "line1\r\n\x00\xff\x1a@"s},
      {"date month/day/year", "[@1]", "a,b", "[03/05/07]"},
      {"lengths and values", "@2:@3|@4:@5", "abc,hello", "3:abc|5:hello"},
      {"fifth field is the second value", "@5/@4", "a,b,c,d", "d/1"},
      {"@@1 and ordinary @", "@@1@6@A", "a,b", "@03/05/07@6@A"},
      {"long template", std::string(70000, 'x') + "@3", "v,b", std::string(70000, 'x') + "v"},
  };
  for (const auto& c : cases) {
    f.SetTemplate(c.templateText);
    const std::string name = f.Name("M");
    EXPECT_EQ(0, EmitStatusFor((f.templates() + "," + name + "," + c.values).c_str())) << c.name;
    EXPECT_EQ(c.expected, ReadAll(f.StatusFile(name))) << c.name;
  }
  EXPECT_TRUE(g_shown.empty());
}

TEST(WindowsEmitStatus, DateComesFromTheLocalClock) {
  StatusFixture f;
  f.SetTemplate("@1");
  const std::string name = f.Name("D");
  // Read the clock on both sides of the call; at midnight they may differ, then either day is right.
  SYSTEMTIME before, after;
  GetLocalTime(&before);
  ASSERT_EQ(0, EmitStatusFor((f.templates() + "," + name).c_str()));
  GetLocalTime(&after);
  char expected[2][16];
  wsprintfA(expected[0], "%02d/%02d/%02d", before.wMonth, before.wDay, before.wYear % 100);
  wsprintfA(expected[1], "%02d/%02d/%02d", after.wMonth, after.wDay, after.wYear % 100);
  const std::string got = ReadAll(f.StatusFile(name));
  EXPECT_TRUE(got == expected[0] || got == expected[1]) << got << " vs " << expected[0];
  EXPECT_EQ(got.size(), 8u);
}

TEST(WindowsEmitStatus, StatusNameBackslashAndLessThanBecomeUnderscores) {
  StatusFixture f;
  f.SetTemplate("t");
  const std::string name = f.Name("PC");
  ASSERT_EQ(0, EmitStatusFor((f.templates() + "," + name + "\\01<x").c_str()));
  f.Name("PC_01_x");  // removed at the end
  EXPECT_EQ("t", ReadAll(f.StatusFile(name + "_01_x")));
}

TEST(WindowsEmitStatus, FailuresShowTheirMessageAndReturn99) {
  StatusFixture f;
  const std::string templatePath = f.templates() + "VB_KARVEL.MIF";

  // No template: the read failure, and no status file.
  const std::string missing = f.Name("NONE");
  EXPECT_EQ(99, EmitStatusFor((f.templates() + "," + missing).c_str()));
  EXPECT_FALSE(Exists(f.StatusFile(missing)));

  // No memory for the template buffer (GlobalAlloc fails): also a read failure.
  f.SetTemplate("text");
  const std::string noMemory = f.Name("MEM");
  karvel_test::FailNextAllocations(1);
  const LONG result = EmitStatusFor((f.templates() + "," + noMemory).c_str());
  karvel_test::FailNextAllocations(0);
  EXPECT_EQ(99, result);

  // A status file that another program holds without sharing cannot be opened.
  const std::string held = f.Name("HELD");
  HANDLE holder = CreateFileA(f.StatusFile(held).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_EQ(99, EmitStatusFor((f.templates() + "," + held).c_str()));
  CloseHandle(holder);

  ASSERT_EQ(g_shown.size(), 3u);
  EXPECT_EQ(g_shown[0].text, "File Read Failed" + kColon + templatePath);
  EXPECT_EQ(g_shown[0].caption, templatePath);
  EXPECT_EQ(g_shown[0].type, static_cast<UINT>(MB_OK | MB_ICONWARNING));
  EXPECT_EQ(g_shown[1].text, "File Read Failed" + kColon + templatePath);
  EXPECT_EQ(g_shown[2].text, "File Create Failed" + kColon + f.StatusFile(held) +
                                 "Please check the free space on the target drive.");
  EXPECT_EQ(g_shown[2].caption, f.StatusFile(held));
}

}  // namespace
