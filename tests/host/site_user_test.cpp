// A site's own user: which programs may run as it, and the directory its files are kept in.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <tuple>

#include "host/module/site_temp_dir.h"
#include "host/spawner/site_user.h"
#include "platform/request_files.h"
#include "support/files.h"

namespace {

using test_support::TempDir;

// An owner no account here has: a file of it belongs neither to the site's user nor to root.
constexpr uid_t kStranger = 4242;

std::string Refusal(const SiteUser& user, const std::string& program) {
  const int file = open(program.c_str(), O_PATH | O_CLOEXEC);
  const std::string directory = program.substr(0, program.find_last_of('/'));
  const int holder = open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  const std::string refusal = ProgramRefusedFor(user, program.c_str(), file, holder);
  close(file);
  close(holder);
  return refusal;
}

TEST(SiteUser, OnlySafeProgramsOfTheSitesDirectoriesRunAsItsUser) {
  TempDir dir;
  const std::string backends = dir.File("backends");
  ASSERT_EQ(mkdir(backends.c_str(), 0755), 0);
  // The site's user is the test's own where that is not root; root's files count as safe either way.
  SiteUser user;
  user.user = "site";
  user.uid = getuid() != 0 ? getuid() : 4343;
  char* real = realpath(backends.c_str(), nullptr);
  user.backendDirectories = {real};
  std::free(real);
  struct Case {
    const char* name;
    mode_t mode;
    bool strangers;    // owned by an owner neither the user nor root (needs root to make)
    const char* refusal;  // "" where it may run
  };
  const Case cases[] = {
      {"plain", 0755, false, ""},
      {"private", 0700, false, ""},
      {"group_writable", 0775, false, "it is writable by its group or others (mode 0775)"},
      {"others_writable", 0757, false, "it is writable by its group or others (mode 0757)"},
      {"setuid", 04755, false, "it is set-user-id or set-group-id (mode 4755)"},
      {"setgid", 02755, false, "it is set-user-id or set-group-id (mode 2755)"},
      {"strangers", 0755, true, "it is owned by uid 4242, not by site or root"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.strangers && geteuid() != 0) continue;
    const std::string program = backends + "/" + c.name;
    test_support::WriteAll(dir.File(std::string("backends/") + c.name), "#!/bin/sh\n");
    ASSERT_EQ(chmod(program.c_str(), c.mode), 0);
    if (c.strangers) {
      ASSERT_EQ(chown(program.c_str(), kStranger, kStranger), 0);
    }
    EXPECT_EQ(c.refusal, Refusal(user, user.backendDirectories[0] + "/" + c.name));
  }
  // Outside the site's directories: refused whatever its modes, also beside them by name.
  test_support::WriteAll(dir.File("outside"), "#!/bin/sh\n");
  EXPECT_NE(std::string::npos, Refusal(user, dir.File("outside")).find("lies outside the site's back-end directories"));
  const std::string alike = backends + "-alike";
  ASSERT_EQ(mkdir(alike.c_str(), 0755), 0);
  test_support::WriteAll(dir.File("backends-alike/p"), "#!/bin/sh\n");
  EXPECT_NE(std::string::npos, Refusal(user, alike + "/p").find("lies outside"));
  // Its directory: writable by others, or a stranger's.
  const std::string open = backends + "/open";
  ASSERT_EQ(mkdir(open.c_str(), 0755), 0);
  ASSERT_EQ(chmod(open.c_str(), 0777), 0);
  test_support::WriteAll(dir.File("backends/open/p"), "#!/bin/sh\n");
  EXPECT_EQ("its directory is writable by its group or others (mode 0777)",
            Refusal(user, user.backendDirectories[0] + "/open/p"));
  if (geteuid() == 0) {
    ASSERT_EQ(chmod(open.c_str(), 0755), 0);
    ASSERT_EQ(chown(open.c_str(), kStranger, kStranger), 0);
    EXPECT_EQ("its directory is owned by uid 4242, not by site or root",
              Refusal(user, user.backendDirectories[0] + "/open/p"));
  }
}

TEST(SiteUser, OrdersFindTheirSiteByPlaceAndName) {
  SiteUsers users;
  users.sites.push_back(SiteEntry{"main", false, {}});
  SiteEntry a{"a:1 a.test", true, {}};
  a.user.user = "a";
  SiteEntry b{"b:9 b.test", true, {}};
  b.user.user = "b";
  users.sites.push_back(a);
  users.sites.push_back(b);
  struct Case {
    uint32_t site;
    const char* name;
    const char* user;  // nullptr: the server's user
  } const cases[] = {
      {1, "a:1 a.test", "a"}, {2, "b:9 b.test", "b"}, {0, "main", nullptr},
      // A place and a name that do not agree: the name decides (a child of the reading before).
      {1, "b:9 b.test", "b"}, {7, "a:1 a.test", "a"},
      // A site this configuration does not know runs as the server's user, never as another site's.
      {1, "gone:3 old.test", nullptr}, {0, "", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.site) + " " + c.name);
    const SiteUser* found = UserOfSite(users, c.site, c.name);
    EXPECT_EQ(c.user != nullptr, found != nullptr);
    if (found != nullptr && c.user != nullptr) {
      EXPECT_EQ(c.user, found->user);
    }
  }
}

TEST(SiteTempDir, MadeOnceForTheSiteAndTheServerAloneWithItsFilesShared) {
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0711), 0);
  std::string path, why;
  const bool made = PrepareSiteTempDirectory(dir.path().c_str(), "alice", 4343, &path, &why);
  if (!made && why.find("keeps no POSIX ACLs") != std::string::npos) GTEST_SKIP() << why;
  ASSERT_TRUE(made) << why;
  EXPECT_EQ(dir.File("site-alice"), path);
  struct stat info{};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(0770u, info.st_mode & 07777);
  EXPECT_EQ(geteuid(), info.st_uid);
  EXPECT_GT(getxattr(path.c_str(), "system.posix_acl_default", nullptr, 0), 0);
  // Found again as it is; nothing else lies beside it (the pending name was renamed).
  ASSERT_TRUE(PrepareSiteTempDirectory((dir.path() + "/").c_str(), "alice", 4343, &path, &why)) << why;
  EXPECT_EQ(dir.File("site-alice"), path);
  // A request's files in it let the ACL's users in; in a directory without one they stay private.
  for (const auto& [where, fileMode, directoryMode] :
       {std::tuple{path, 0660u, 0770u}, std::tuple{dir.path(), 0600u, 0700u}}) {
    SCOPED_TRACE(where);
    CHAR file[MAX_PATH], uploads[MAX_PATH];
    HANDLE handle = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(CreateRequestPair(where.c_str(), file, uploads, &handle));
    CloseHandle(handle);
    ASSERT_EQ(stat(file, &info), 0);
    EXPECT_EQ(fileMode, info.st_mode & 0777);
    ASSERT_EQ(stat(uploads, &info), 0);
    EXPECT_EQ(directoryMode, info.st_mode & 0777);
    RemoveRequestDirectory(uploads);
    unlink(file);
  }
}

TEST(SiteTempDir, RefusesWhatOthersCouldTakeOrNotReach) {
  struct Case {
    const char* name;
    mode_t baseMode;
    const char* planted;  // a directory someone else put at the site's name, mode; nullptr: none
    const char* refusal;
  } const cases[] = {
      {"anyone may swap it away", 0777, nullptr, "may be written to by anyone and is not sticky"},
      {"the site's user cannot pass", 0700, nullptr, "may not be passed through by others (mode 0700)"},
      {"a planted directory of another mode", 01777, "0777", "is not a directory of the server's user of mode 0770"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), c.baseMode), 0);
    if (c.planted != nullptr) {
      ASSERT_EQ(mkdir(dir.File("site-bob").c_str(), 0700), 0);
      ASSERT_EQ(chmod(dir.File("site-bob").c_str(), static_cast<mode_t>(std::stoul(c.planted, nullptr, 8))), 0);
    }
    std::string path, why;
    EXPECT_FALSE(PrepareSiteTempDirectory(dir.path().c_str(), "bob", 4343, &path, &why));
    EXPECT_NE(std::string::npos, why.find(c.refusal)) << why;
    // The path is still the site's own: a request using it fails, never lands elsewhere.
    EXPECT_EQ(dir.File("site-bob"), path);
  }
}

}  // namespace
