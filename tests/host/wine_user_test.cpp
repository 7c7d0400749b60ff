// A site with its own user runs its Windows programs in that user's prefix and nowhere else: the
// prefix chosen per site, the reasons a program under Wine is refused, the prefixes no two users
// may share, and the spawner's own work in a user's prefix done as that user.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "host/spawner/as_site_user.h"
#include "host/spawner/site_user.h"
#include "host/spawner/spawn_program.h"
#include "host/spawner/wine_host.h"
#include "support/files.h"

namespace {

using test_support::TempDir;
using test_support::WriteAll;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;

SiteUser UserNamed(const char* name, uid_t uid, const std::string& prefix) {
  SiteUser user;
  user.user = name;
  user.group = name;
  user.uid = uid;
  user.gid = kNoGroup;
  user.groups = {kNoGroup};
  user.winePrefix = prefix;
  return user;
}

// A prefix as karvel-wine-setup leaves it (in part), owned by whoever makes it.
std::string MadePrefix(const TempDir& dir, const char* name) {
  const std::string prefix = dir.File(name);
  mkdir(prefix.c_str(), 0711);
  mkdir((prefix + "/dosdevices").c_str(), 0711);
  mkdir((prefix + "/drive_c").c_str(), 0711);
  symlink("../drive_c", (prefix + "/dosdevices/c:").c_str());
  WriteAll(prefix + "/system.reg", "registry");
  return prefix;
}

TEST(WineOfSite, AUserSiteRunsInItsUsersPrefixNeverTheServers) {
  const WineSettings server{"/usr/bin/wine", "/var/lib/karvel/wine"};
  const SiteUser own = UserNamed("alice", 2001, "/srv/alice/wine");
  const SiteUser none = UserNamed("bob", 2002, "");
  struct Case {
    const char* name;
    const SiteUser* user;
    std::string prefix;
  } cases[] = {
      {"no user of its own: the server's", nullptr, "/var/lib/karvel/wine"},
      {"its user's own prefix", &own, "/srv/alice/wine"},
      {"a user without one: none", &none, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const WineSettings wine = WineOfSite(server, c.user);
    EXPECT_EQ(c.prefix, wine.prefix);
    EXPECT_EQ(c.user, wine.user);
    EXPECT_STREQ(server.loader, wine.loader);
  }
}

TEST(WineUnavailable, SaysWhyAPrefixCannotServeItsUser) {
  TempDir dir;
  const std::string made = MadePrefix(dir, "made");
  const std::string missing = dir.File("missing");
  const SiteUser me = UserNamed("site", geteuid(), made);
  const SiteUser other = UserNamed("other", geteuid() + 1, made);
  const SiteUser unset = UserNamed("carol", geteuid(), "");
  const std::string notSet =
      "it runs as carol, whose Wine prefix is not set: KarvelWinePrefix in its <VirtualHost>, made by "
      "karvel-wine-setup --user carol --prefix DIR";
  struct Case {
    const char* name;
    WineSettings wine;
    std::string why;
  } cases[] = {
      {"the server's, made", {"/usr/bin/wine", made.c_str()}, ""},
      {"the user's, made, its own", {"/usr/bin/wine", made.c_str(), &me}, ""},
      {"no Wine", {nullptr, made.c_str(), &me}, "Wine is not installed"},
      {"a user without a prefix", {"/usr/bin/wine", "", &unset}, notSet},
      {"a user given the placeholder", {"/usr/bin/wine", kNoWinePrefix, &unset}, notSet},
      {"the user's, not made", {"/usr/bin/wine", missing.c_str(), &me},
       "the Wine prefix " + missing + " is not made (run karvel-wine-setup --user site --prefix " + missing + ")"},
      {"another user's", {"/usr/bin/wine", made.c_str(), &other},
       "the Wine prefix " + made + " belongs to another user than other"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.why, WineUnavailable(c.wine));
  }
}

TEST(PrefixesClash, APrefixBelongsToOneUser) {
  struct Case {
    const char* name;
    std::vector<PrefixUse> uses;
    bool clash;
  } cases[] = {
      {"each user its own", {{"/w/server", "", "main"}, {"/w/alice", "alice", "a"}, {"/w/bob", "bob", "b"}}, false},
      {"two sites of one user", {{"/w/alice", "alice", "a"}, {"/w/alice", "alice", "a2"}}, false},
      {"a name that only begins alike", {{"/w/alice", "alice", "a"}, {"/w/alice2", "bob", "b"}}, false},
      {"two users, one prefix", {{"/w/alice", "alice", "a"}, {"/w/alice", "bob", "b"}}, true},
      {"a user in the server's", {{"/w/server", "", "main"}, {"/w/server", "alice", "a"}}, true},
      {"a user's inside the server's", {{"/w/server", "", "main"}, {"/w/server/karvel-sites/x", "alice", "a"}}, true},
      {"the server's inside a user's", {{"/w/alice/inner", "", "main"}, {"/w/alice", "alice", "a"}}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string why = PrefixesClash(c.uses);
    EXPECT_EQ(c.clash, !why.empty()) << why;
    if (c.clash) {
      EXPECT_NE(std::string::npos, why.find("a prefix belongs to one user")) << why;
    }
  }
}

// What follows switches users: root only.
class AsSiteUser : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "switching users needs root";
  }
};

struct Seen {
  int pipe;
};

bool ReportIds(void* context) {
  const uid_t ids[2] = {getuid(), geteuid()};
  return write(static_cast<Seen*>(context)->pipe, ids, sizeof ids) == static_cast<ssize_t>(sizeof ids);
}

TEST_F(AsSiteUser, WorkRunsAsTheUserAndFilesAreOpenedAsIt) {
  TempDir dir;
  const SiteUser nobody = UserNamed("nobody", kNobody, "");
  int ends[2];
  ASSERT_EQ(0, pipe(ends));
  Seen seen{ends[1]};
  ASSERT_TRUE(RunAsSiteUser(nobody, ReportIds, &seen, 10000));
  uid_t ids[2] = {0, 0};
  ASSERT_EQ(static_cast<ssize_t>(sizeof ids), read(ends[0], ids, sizeof ids));
  EXPECT_EQ(kNobody, ids[0]);
  EXPECT_EQ(kNobody, ids[1]);
  EXPECT_EQ(0u, getuid()) << "the caller stays who it was";
  close(ends[0]);
  close(ends[1]);
  // A directory of the user's, one of root's it cannot enter.
  const std::string users = dir.File("users"), roots = dir.File("roots");
  mkdir(users.c_str(), 0700);
  ASSERT_EQ(0, chown(users.c_str(), kNobody, kNoGroup));
  mkdir(roots.c_str(), 0700);
  chmod(dir.path().c_str(), 0755);
  struct Case {
    const char* name;
    std::string path;
    bool opens;
  } cases[] = {
      {"made in the user's directory", users + "/claim", true},
      {"in root's, closed to it", roots + "/claim", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int fd = OpenAsSiteUser(nobody, c.path.c_str(), O_RDWR | O_CREAT, 0600);
    EXPECT_EQ(c.opens, fd >= 0);
    if (fd < 0) continue;
    struct stat info{};
    ASSERT_EQ(0, fstat(fd, &info));
    EXPECT_EQ(kNobody, info.st_uid) << "made by the user";
    EXPECT_EQ(O_RDWR, fcntl(fd, F_GETFL) & O_ACCMODE);
    close(fd);
  }
}

TEST_F(AsSiteUser, TheSpawnersOwnCommandsRunAsTheUserWithoutTheSiteRules) {
  const SiteUser nobody = UserNamed("nobody", kNobody, "");  // no back-end directory: the rules refuse all
  char* const environment[] = {const_cast<char*>("PATH=/usr/bin:/bin"), nullptr};
  const char* const isNobody[] = {"/bin/sh", "-c", "test \"$(id -u)\" = 65534", nullptr};
  EXPECT_EQ(0, RunToCompletion(isNobody, environment, 10000, &nobody));
  EXPECT_EQ(1, RunToCompletion(isNobody, environment, 10000)) << "without a user: the caller's";
  // An order's program as the user still needs the rules, which refuse it here.
  static const int64_t kNoLimits[kLimitCount][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
  ProgramStart start{"/usr/bin/true", "", environment, kNoLimits};
  start.user = &nobody;
  std::string refused;
  start.refused = &refused;
  pid_t pid = 0;
  for (const bool checked : {false, true}) {
    SCOPED_TRACE(checked ? "checked" : "unchecked");
    start.checked = checked;
    EXPECT_EQ(EACCES, StartProgram(start, &pid, nullptr));
  }
}

TEST_F(AsSiteUser, AUsersSubPrefixIsMadeAsTheUserAndLeftPassable) {
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  const std::string shared = MadePrefix(dir, "wine");
  const std::string apps = dir.File("apps");
  mkdir(apps.c_str(), 0755);
  // The user's prefix is the user's, the spawner's user (here root, standing in) only passes.
  for (const std::string& path : {shared, shared + "/dosdevices", shared + "/drive_c", shared + "/system.reg"}) {
    ASSERT_EQ(0, lchown(path.c_str(), kNobody, kNoGroup));
  }
  const SiteUser nobody = UserNamed("nobody", kNobody, shared);
  const std::string lines = "C:\\apps|" + apps;
  const WineSettings wine{"/usr/bin/wine", shared.c_str(), &nobody};
  const std::string site = SitePrefix(shared.c_str(), lines);
  ASSERT_TRUE(MakeSitePrefix(wine, site, lines));
  for (const std::string& path : {shared + "/karvel-sites", site}) {
    SCOPED_TRACE(path);
    struct stat info{};
    ASSERT_EQ(0, stat(path.c_str(), &info));
    EXPECT_EQ(kNobody, info.st_uid);
    EXPECT_EQ(0711u, info.st_mode & 07777);
  }
  struct stat registry{};
  ASSERT_EQ(0, stat((site + "/system.reg").c_str(), &registry));
  EXPECT_EQ(kNobody, registry.st_uid);
}

}  // namespace
