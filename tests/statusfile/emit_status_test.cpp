// EmitStatus end to end in a private directory: WINDIR points into it and the clock is fixed, so
// every status file can be compared byte for byte.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <csignal>
#include <filesystem>
#include <cstring>
#include <memory>
#include <string>

#include "platform/test_hooks.h"
#include "statusfile/emit_status.h"
#include "support/files.h"

namespace {

using test_support::Exists;
using test_support::ReadAll;
using test_support::ScopedEnv;
using test_support::StderrCapture;
using test_support::TempDir;
using test_support::WriteAll;

const std::string kColon = "\x81\x46";
const std::string kFreeSpace = "Please check the free space on the target drive.";

SYSTEMTIME g_fixedTime;
void FixedClock(SYSTEMTIME* time) { *time = g_fixedTime; }

void SetDate(WORD year, WORD month, WORD day) {
  g_fixedTime = SYSTEMTIME{};
  g_fixedTime.wYear = year;
  g_fixedTime.wMonth = month;
  g_fixedTime.wDay = day;
  karvel_test::SetLocalTimeSource(FixedClock);
}

// A template directory and a Windows directory under one temporary directory.
class StatusDirs {
 public:
  StatusDirs() : windows_(dir_.File("win")), templates_(dir_.File("tpl") + "/") {
    mkdir(windows_.c_str(), 0700);
    mkdir(templates_.c_str(), 0700);
    SetDate(2007, 3, 5);
  }
  ~StatusDirs() { karvel_test::SetLocalTimeSource(nullptr); }
  const std::string& templates() const { return templates_; }
  std::string StatusFile(const std::string& name) const { return windows_ + "/" + name + "_VB_KARVEL.MIF"; }
  void SetTemplate(const std::string& content) const { WriteAll(templates_ + "VB_KARVEL.MIF", content); }
  std::string CapturePath() const { return dir_.File("stderr.txt"); }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  std::string windows_;
  std::string templates_;
  ScopedEnv windir_{"WINDIR", dir_.File("win").c_str()};
};

struct ExpansionCase {
  const char* name;
  std::string templateText;
  std::string values;  // the argument after "DIR,ST,"
  std::string expected;
};

TEST(EmitStatus, MarkersAndValues) {
  using namespace std::string_literals;
  const std::string big(70000, 'x');
  const ExpansionCase cases[] = {
      {"no markers, bytes as they are", "line1\r\n\x00\xff@"s, "a,b", "line1\r\n\x00\xff@"s},
      {"date month/day/year", "[@1]", "a,b", "[03/05/07]"},
      {"lengths and values", "@2:@3|@4:@5", "abc,hello", "3:abc|5:hello"},
      {"empty first value", "@2[@3]@4", ",zz", "0[]2"},
      {"fields not given are empty", "@2[@3]@4[@5]", "", "0[]0[]"},
      {"fifth field is the second value", "@5/@4", "a,b,c,d", "d/1"},
      {"@@1 gives @ and the date", "@@1", "a,b", "@03/05/07"},
      {"@6 and @A are ordinary", "@6@A@0@", "a,b", "@6@A@0@"},
      {"two markers in a row", "@1@2", "abcd,b", "03/05/074"},
      {"marker replacement not rescanned", "@3", "@1,b", "@1"},
      {"empty template", "", "a,b", ""},
      {"long template", big + "@3" + big, "v,b", big + "v" + big},
  };
  for (const ExpansionCase& c : cases) {
    StatusDirs dirs;
    dirs.SetTemplate(c.templateText);
    const std::string argument = dirs.templates() + ",ST" + (c.values.empty() ? "" : "," + c.values);
    EXPECT_EQ(0, EmitStatusFor(argument.c_str())) << c.name;
    EXPECT_EQ(c.expected, ReadAll(dirs.StatusFile("ST"))) << c.name;
  }
}

TEST(EmitStatus, DateUsesTwoDigitsEverywhere) {
  StatusDirs dirs;
  dirs.SetTemplate("@1");
  SetDate(2000, 12, 31);
  ASSERT_EQ(0, EmitStatusFor((dirs.templates() + ",D").c_str()));
  EXPECT_EQ("12/31/00", ReadAll(dirs.StatusFile("D")));
  SetDate(2109, 1, 9);
  ASSERT_EQ(0, EmitStatusFor((dirs.templates() + ",D").c_str()));
  EXPECT_EQ("01/09/09", ReadAll(dirs.StatusFile("D")));
}

TEST(EmitStatus, TemplateIsOneStreamAcrossBlocks) {
  // The template is read 64000 bytes at a time: put an @ at the last byte of the first block.
  const std::string head(63999, 'h');
  const struct {
    const char* name;
    std::string templateText;
    std::string expected;
  } cases[] = {
      {"marker split between blocks", head + "@1tail", head + "03/05/07tail"},
      {"@ then an ordinary byte in the next block", head + "@Ztail", head + "@Ztail"},
      {"@ as the template's last byte at a block end", head + "@", head + "@"},
      {"@@ across the block end", head + "@@2", head + "@1"},
  };
  for (const auto& c : cases) {
    StatusDirs dirs;
    dirs.SetTemplate(c.templateText);
    ASSERT_EQ(0, EmitStatusFor((dirs.templates() + ",S,x").c_str())) << c.name;
    EXPECT_EQ(c.expected, ReadAll(dirs.StatusFile("S"))) << c.name;
  }
}

TEST(EmitStatus, PathsFromTheArgument) {
  StatusDirs dirs;
  const std::string before = std::filesystem::current_path();
  ASSERT_EQ(0, chdir(dirs.dir().path().c_str()));
  // A Windows-style template directory names, on POSIX, a file in the current directory.
  WriteAll("C:\\SETUP\\VB_KARVEL.MIF", "setup @3");
  EXPECT_EQ(0, EmitStatusFor("C:\\SETUP\\,PC\\01,one,two"));
  EXPECT_EQ("setup one", ReadAll(dirs.StatusFile("PC_01")));
  EXPECT_FALSE(Exists(dirs.StatusFile("PC\\01")));

  // An empty template directory is the current directory; '<' in the name becomes '_'.
  WriteAll("VB_KARVEL.MIF", "here");
  EXPECT_EQ(0, EmitStatusFor(",a<b\\c,v"));
  EXPECT_EQ("here", ReadAll(dirs.StatusFile("a_b_c")));
  ASSERT_EQ(0, chdir(before.c_str()));
}

TEST(EmitStatus, LongerOldStatusFileIsCut) {
  StatusDirs dirs;
  WriteAll(dirs.StatusFile("OLD"), std::string(5000, 'o'));
  dirs.SetTemplate("new @3");
  ASSERT_EQ(0, EmitStatusFor((dirs.templates() + ",OLD,text").c_str()));
  EXPECT_EQ("new text", ReadAll(dirs.StatusFile("OLD")));
}

TEST(EmitStatus, MissingTemplateShowsReadFailureAndCreatesNothing) {
  StatusDirs dirs;
  const std::string templatePath = dirs.templates() + "VB_KARVEL.MIF";
  StderrCapture capture(dirs.CapturePath());
  EXPECT_EQ(99, EmitStatusFor((dirs.templates() + ",NONE,a,b").c_str()));
  EXPECT_EQ(templatePath + ": File Read Failed" + kColon + templatePath + "\n", capture.Text());
  EXPECT_FALSE(Exists(dirs.StatusFile("NONE")));
}

TEST(EmitStatus, NoMemoryForTheBufferIsAReadFailure) {
  StatusDirs dirs;
  dirs.SetTemplate("text");
  const std::string templatePath = dirs.templates() + "VB_KARVEL.MIF";
  StderrCapture capture(dirs.CapturePath());
  karvel_test::FailNextAllocations(1);
  const LONG result = EmitStatusFor((dirs.templates() + ",MEM").c_str());
  karvel_test::FailNextAllocations(0);
  EXPECT_EQ(99, result);
  EXPECT_EQ(templatePath + ": File Read Failed" + kColon + templatePath + "\n", capture.Text());
  EXPECT_FALSE(Exists(dirs.StatusFile("MEM")));
}

TEST(EmitStatus, StatusFileThatCannotBeCreated) {
  StatusDirs dirs;
  dirs.SetTemplate("text");
  const std::string statusPath = dirs.StatusFile("no/such/dir");
  StderrCapture capture(dirs.CapturePath());
  EXPECT_EQ(99, EmitStatusFor((dirs.templates() + ",no/such/dir").c_str()));
  EXPECT_EQ(statusPath + ": File Create Failed" + kColon + statusPath + kFreeSpace + "\n", capture.Text());
}

TEST(EmitStatus, FullDiskShowsWriteFailure) {
  StatusDirs dirs;
  dirs.SetTemplate("some text");
  const std::string statusPath = dirs.StatusFile("FULL");
  ASSERT_EQ(0, symlink("/dev/full", statusPath.c_str()));
  StderrCapture capture(dirs.CapturePath());
  EXPECT_EQ(99, EmitStatusFor((dirs.templates() + ",FULL").c_str()));
  EXPECT_EQ(statusPath + ": File Write Failed" + kColon + statusPath + "\r\n" + kFreeSpace + "\n",
            capture.Text());
}

TEST(EmitStatus, WriteFailureKeepsWhatWasWritten) {
  // A file size limit lets the first 1000 bytes reach the disk and fails the rest, as a disk that
  // fills up would. Run in a child so the limit stays there.
  StatusDirs dirs;
  std::string templateText;
  for (int k = 0; templateText.size() < 200000; ++k) templateText += "line " + std::to_string(k) + " @3\n";
  dirs.SetTemplate(templateText);
  const std::string argument = dirs.templates() + ",PART,value";
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {1000, 1000};
    setrlimit(RLIMIT_FSIZE, &limit);
    StderrCapture capture(dirs.CapturePath());
    _exit(static_cast<int>(EmitStatusFor(argument.c_str())));
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(99, WEXITSTATUS(status));
  std::string expected;
  for (int k = 0; expected.size() < 1000; ++k) expected += "line " + std::to_string(k) + " value\n";
  EXPECT_EQ(expected.substr(0, 1000), ReadAll(dirs.StatusFile("PART")));
  EXPECT_NE(std::string::npos, ReadAll(dirs.CapturePath()).find("File Write Failed"));
}

TEST(EmitStatus, OverlongPathsAreRefusedBeforeAnythingIsTouched) {
  StatusDirs dirs;
  StderrCapture capture(dirs.CapturePath());
  // 246 bytes of directory still fit with "VB_KARVEL.MIF"; 247 do not.
  const std::string fits(246, 'd');
  const std::string tooLong(247, 'd');
  EXPECT_EQ(99, EmitStatusFor((fits + ",A").c_str()));
  EXPECT_EQ(99, EmitStatusFor((tooLong + ",B").c_str()));
  const std::string shown = capture.Text();
  EXPECT_NE(std::string::npos, shown.find(kColon + fits + "VB_KARVEL.MIF\n")) << "the whole path";
  EXPECT_NE(std::string::npos, shown.find(kColon + (tooLong + "VB_KARVEL.MIF").substr(0, 259) + "\n"))
      << "the path cut to 259 bytes";

  // A status path over 259 bytes: nothing is created.
  dirs.SetTemplate("t");
  const std::string name(259, 'n');
  StderrCapture second(dirs.CapturePath());
  EXPECT_EQ(99, EmitStatusFor((dirs.templates() + "," + name).c_str()));
  EXPECT_NE(std::string::npos, second.Text().find("File Create Failed"));
  EXPECT_FALSE(Exists(dirs.StatusFile(name.substr(0, 200))));
}

TEST(EmitStatus, ArgumentWithoutNulEndsAt260Bytes) {
  StatusDirs dirs;
  dirs.SetTemplate("@4");
  // Exactly 260 bytes on the heap and no NUL: reading a byte more is a sanitizer finding.
  std::string text = dirs.templates() + ",N,v,";
  text += std::string(260 - text.size(), 'w');
  std::unique_ptr<char[]> argument(new char[260]);
  std::memcpy(argument.get(), text.data(), 260);
  EXPECT_EQ(0, EmitStatusFor(argument.get()));
  EXPECT_EQ(std::to_string(260 - (dirs.templates().size() + 5)), ReadAll(dirs.StatusFile("N")));
}

}  // namespace
