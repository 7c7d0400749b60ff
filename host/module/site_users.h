// KarvelUserGroup: the user a site's back-end programs run as, suEXEC's way. Read with the
// configuration, checked when the server starts (and by apachectl -t), handed to the spawner as the
// table it keeps (it never takes a user from an order), and asked by the request's side for the
// site's own temporary directory and what a file answer may send.
#ifndef KARVEL_HOST_SITE_USERS_H
#define KARVEL_HOST_SITE_USERS_H

#include <sys/types.h>

#include <httpd.h>
#include <http_config.h>

struct SiteUsers;

// What one server (main or virtual host) says of its programs' user.
struct SiteUserSettings {
  const char* szUser;   // KarvelUserGroup's user; nullptr while unset (the server's user)
  const char* szGroup;
  uid_t uid;
  gid_t gid;
  const char* szDefinedAt;        // "FILE:LINE" of the KarvelUserGroup line
  apr_array_header_t* pBackendDirs;  // the KarvelBackendDir paths given in this server's sections
  int nMinUid, nMinGid;           // KarvelMinUid / KarvelMinGid (the main server's); kUnset while unset
};

// The lowest ids a site's user and group may have where KarvelMinUid / KarvelMinGid are not set:
// below them lie the system's own accounts.
constexpr int kDefaultMinId = 1000;

void InitSiteUserSettings(apr_pool_t* pool, SiteUserSettings* settings);
// A virtual host without a KarvelUserGroup of its own runs its programs as the main server's;
// its back-end directories are its own and the main server's.
void MergeSiteUserSettings(apr_pool_t* pool, const SiteUserSettings& base, const SiteUserSettings& host,
                           SiteUserSettings* merged);

// The server's settings (mod_karvel's per-server configuration holds them).
SiteUserSettings* SiteUserSettingsOf(server_rec* server);

// KarvelUserGroup USER GROUP (server config, virtual host); KarvelMinUid N, KarvelMinGid N (server
// config only).
const char* SetUserGroup(cmd_parms* cmd, void*, const char* user, const char* group);
const char* SetMinUid(cmd_parms* cmd, void*, const char* value);
const char* SetMinGid(cmd_parms* cmd, void*, const char* value);

// KarvelBackendDir `path`, read in a section of `server`: a directory its programs may come from.
void NoteBackendDirectory(server_rec* server, const char* path);

// Whether any site has a user of its own.
bool AnySiteUser(server_rec* main);

// The rules no program decides: each site's user and group at or above KarvelMinUid / KarvelMinGid
// and never root, the site naming a back-end directory, the spawner on (it alone switches users)
// and, with `starting`, the server started as root. nullptr, or the refusal naming the site.
const char* CheckSiteUsers(apr_pool_t* pool, server_rec* main, bool spawnerOn, bool starting);

// Every site's entry, by its place in the server's list, for the spawner.
void CollectSiteUsers(server_rec* main, SiteUsers* out);

// The user of the request's site; nullptr where its programs run as the server's user.
const SiteUserSettings* RequestSiteUser(request_rec* r);

// The temporary directory of the request's site with its own user ("site-USER" below the request's
// KarvelTempDir, or below the server's temporary directory), made on first use; a warning in the
// site's log when it cannot be had (the request then fails at its first file, never falls back to a
// directory other sites share). nullptr where the site has no user of its own.
const char* SiteTempDirectory(request_rec* r);

// Whether a file answer of the request's site may send the file open at `descriptor`: any file
// where the site has no user of its own; else only one its user owns, or one in its temporary
// directory (an upload): the server's user may read more than the site's, and must not read it
// for the site. A refusal is logged, naming the file.
bool SiteMaySendFile(request_rec* r, int descriptor);

#endif  // KARVEL_HOST_SITE_USERS_H
