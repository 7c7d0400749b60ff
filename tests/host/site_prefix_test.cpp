// Each site that maps Windows directories gets a Wine prefix of its own: its drive links hold for
// its programs whatever another site's made, and the server's prefix is left as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "host/spawner/wine_host.h"
#include "platform/windows_paths.h"
#include "support/files.h"

namespace {

using test_support::ReadAll;
using test_support::TempDir;
using test_support::WriteAll;

// What C:\apps\secret.txt is in `prefix`, read through its drive links as a program and the
// server's file answers find it.
std::string SecretIn(const std::string& prefix) {
  char path[4096];
  if (!WineDrivePath(prefix.c_str(), "C:\\apps\\secret.txt", path, sizeof path)) return "(no path)";
  return ReadAll(path);
}

TEST(SitePrefix, EverySiteSeesItsOwnWindowsDirectories) {
  TempDir dir;
  // The server's prefix, as karvel-wine-setup leaves it (in part).
  const std::string shared = dir.File("wine");
  mkdir(shared.c_str(), 0700);
  mkdir((shared + "/dosdevices").c_str(), 0755);
  mkdir((shared + "/drive_c").c_str(), 0755);
  mkdir((shared + "/drive_c/windows").c_str(), 0755);
  symlink("../drive_c", (shared + "/dosdevices/c:").c_str());
  WriteAll(shared + "/system.reg", "registry");
  WriteAll(shared + "/.update-timestamp", "stamp");
  const WineSettings wine{"/usr/bin/wine", shared.c_str()};
  struct Site {
    const char* name;
    std::string lines;
  } sites[] = {
      {"a", "C:\\apps|" + dir.File("a")},
      {"b", "C:\\apps|" + dir.File("b")},
      {"a with a second line", "C:\\apps|" + dir.File("a") + "\nD:\\data|" + dir.File("b")},
  };
  for (const Site& site : sites) {
    mkdir(dir.File(site.name).c_str(), 0755);
    WriteAll(dir.File(site.name) + "/secret.txt", std::string("secret of ") + site.name);
  }
  // Made one after the other, each read after all were made: none re-points another's links.
  for (const Site& site : sites) ASSERT_TRUE(MakeSitePrefix(wine, SitePrefix(shared.c_str(), site.lines), site.lines));
  for (const Site& site : sites) {
    SCOPED_TRACE(site.name);
    const std::string prefix = SitePrefix(shared.c_str(), site.lines);
    EXPECT_NE(shared, prefix);
    EXPECT_EQ(0u, prefix.rfind(shared + "/", 0)) << "inside the server's prefix";
    EXPECT_EQ(std::string("secret of ") + (site.name[0] == 'b' ? "b" : "a"), SecretIn(prefix));
    // The rest of drive C: is the server's, the registry a copy of it.
    struct stat info {};
    EXPECT_EQ(0, stat((prefix + "/drive_c/windows").c_str(), &info));
    EXPECT_EQ("registry", ReadAll(prefix + "/system.reg"));
    EXPECT_EQ("stamp", ReadAll(prefix + "/.update-timestamp"));
    // Made again: kept as it is.
    EXPECT_TRUE(MakeSitePrefix(wine, prefix, site.lines));
  }
  EXPECT_EQ(SitePrefix(shared.c_str(), sites[0].lines), SitePrefix(shared.c_str(), sites[0].lines));
  EXPECT_EQ(shared, SitePrefix(shared.c_str(), "")) << "a site without Windows directories";
  EXPECT_EQ("", SecretIn(shared)) << "the server's own prefix got no C:\\apps";
}

}  // namespace
