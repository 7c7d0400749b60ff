// Who a site's programs run as. The spawner learns each site's user from the configuration it was
// started with, never from an order: a child of the server names only its request's site, and the
// program it asks for must be one of that site's and safe to run as its user (the rules suEXEC
// keeps, in karvel's terms). Plain POSIX; no Apache.
#ifndef KARVEL_HOST_SITE_USER_H
#define KARVEL_HOST_SITE_USER_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// One site's user, as KarvelUserGroup names it.
struct SiteUser {
  std::string user, group;                         // the names, for the log lines
  uid_t uid = 0;
  gid_t gid = 0;                                   // the primary group
  std::vector<gid_t> groups;                       // the user's supplementary groups, gid among them
  std::vector<std::string> backendDirectories;     // real paths, without a trailing '/'
  std::string winePrefix;  // the user's own Wine prefix (KarvelWinePrefix given with the user); "": none
};

// Every site of the server by its place in the server's list (0: the main server), as the orders
// name them. A site whose programs run as the server's user has no user.
struct SiteEntry {
  std::string name;  // as the module names the site (the order's kSiteName)
  bool ownUser = false;
  SiteUser user;
};

struct SiteUsers {
  std::vector<SiteEntry> sites;
};

// The user an order's programs run as: its site found by its place and name together, else by its
// name alone (a child of the reading before a graceful restart); nullptr for the server's user (the
// site has none, or is not known to this configuration).
const SiteUser* UserOfSite(const SiteUsers& users, uint32_t site, const std::string& name);

// Why `program` (an absolute path without links, as the extension resolved it) may not run as
// `user`, "" when it may: it must lie inside one of the site's back-end directories, be a regular
// file owned by the user or root, neither set-user-id nor set-group-id, and neither it nor its
// directory be writable by group or others, its directory owned by the user or root too.
// `programFile` and `directory` are descriptors of the very file and directory that run (O_PATH
// serves), so that what is checked is what runs.
std::string ProgramRefusedFor(const SiteUser& user, const char* program, int programFile, int directory);

#endif  // KARVEL_HOST_SITE_USER_H
