#include "host/module/site_temp_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// The site's directory's mode: its owner (the server's user) and, through the ACL's mask, its
// named users; no group, no others.
constexpr mode_t kSiteDirectoryMode = 0770;

// POSIX ACLs as Linux keeps them in extended attributes (what libacl writes): a version, then
// entries sorted by tag and, among named users, by id.
constexpr uint32_t kAclVersion = 2;
enum AclTag : uint16_t { kUserObj = 0x01, kUser = 0x02, kGroupObj = 0x04, kMask = 0x10, kOther = 0x20 };
constexpr uint16_t kAll = 7;
constexpr uint32_t kNoId = 0xFFFFFFFFu;

struct AclEntry {
  uint16_t tag, permissions;
  uint32_t id;
};

std::vector<char> Acl(std::vector<uid_t> users) {
  std::sort(users.begin(), users.end());
  users.erase(std::unique(users.begin(), users.end()), users.end());
  std::vector<AclEntry> entries{{kUserObj, kAll, kNoId}};
  for (uid_t user : users) entries.push_back({kUser, kAll, static_cast<uint32_t>(user)});
  entries.push_back({kGroupObj, 0, kNoId});
  entries.push_back({kMask, kAll, kNoId});
  entries.push_back({kOther, 0, kNoId});
  std::vector<char> bytes(sizeof kAclVersion + entries.size() * sizeof(AclEntry));
  std::memcpy(bytes.data(), &kAclVersion, sizeof kAclVersion);
  std::memcpy(bytes.data() + sizeof kAclVersion, entries.data(), entries.size() * sizeof(AclEntry));
  return bytes;
}

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string Reason(const char* what, const std::string& path, int error) {
  return std::string(what) + " " + path + ": " + std::strerror(error);
}

// Whether `path` is the site's directory as this server makes it.
bool IsOurs(const std::string& path, std::string* why) {
  struct stat info{};
  if (lstat(path.c_str(), &info) != 0) {
    *why = Reason("cannot look at", path, errno);
    return false;
  }
  if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & 07777) != kSiteDirectoryMode) {
    *why = path + " is not a directory of the server's user of mode 0770 (uid " + std::to_string(info.st_uid) +
           ", mode " + Octal(info.st_mode) + ")" +
           ": someone else made it; remove it, and it is made again";
    return false;
  }
  return true;
}

// Makes the directory under a name of its own, lets the two users in, and only then gives it its
// name: nobody ever sees it at that name without its ACLs.
bool Make(const char* base, const std::string& path, uid_t siteUid, std::string* why) {
  std::string pending = std::string(base) + "/.site-XXXXXX";
  if (mkdtemp(pending.data()) == nullptr) {
    *why = Reason("cannot make a directory in", base, errno);
    return false;
  }
  const std::vector<char> access = Acl({siteUid});
  const std::vector<char> inherited = Acl({siteUid, geteuid()});
  bool made = setxattr(pending.c_str(), "system.posix_acl_access", access.data(), access.size(), 0) == 0 &&
              setxattr(pending.c_str(), "system.posix_acl_default", inherited.data(), inherited.size(), 0) == 0;
  if (!made) {
    const int error = errno;
    *why = error == ENOTSUP || error == EOPNOTSUPP
               ? std::string("the file system of ") + base + " keeps no POSIX ACLs, which a site's own directory needs"
               : Reason("cannot set the ACLs of", pending, error);
  } else if (renameat2(AT_FDCWD, pending.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
    made = errno == EEXIST;  // another child of the server made it meanwhile
    if (!made) *why = Reason("cannot make", path, errno);
  } else {
    return true;
  }
  rmdir(pending.c_str());
  return made;
}

}  // namespace

bool PrepareSiteTempDirectory(const char* base, const char* user, uid_t siteUid, std::string* path, std::string* why) {
  std::string trimmed = base;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  *path = trimmed + "/site-" + user;
  struct stat info{};
  if (lstat(path->c_str(), &info) == 0) return IsOurs(*path, why);
  if (errno != ENOENT) {
    *why = Reason("cannot look at", *path, errno);
    return false;
  }
  // A directory anyone may write to without the sticky bit would let anyone swap the site's away.
  struct stat holder{};
  if (stat(trimmed.c_str(), &holder) != 0) {
    *why = Reason("cannot look at", trimmed, errno);
    return false;
  }
  if ((holder.st_mode & S_IWOTH) != 0 && (holder.st_mode & S_ISVTX) == 0) {
    *why = trimmed + " may be written to by anyone and is not sticky: a site's own directory cannot be kept there";
    return false;
  }
  // The site's user passes through it to its own directory.
  if ((holder.st_mode & S_IXOTH) == 0) {
    *why = trimmed + " may not be passed through by others (mode " + Octal(holder.st_mode) + "), so the site's programs could not reach their directory in it; "
           "give it o+x";
    return false;
  }
  return Make(trimmed.c_str(), *path, siteUid, why) && IsOurs(*path, why);
}
