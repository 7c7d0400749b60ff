#include "host/module/site_users.h"

#include <grp.h>
#include <sys/stat.h>
#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <cstdlib>
#include <string>
#include <vector>

#include <apr_strings.h>
#include <http_log.h>
#include <unixd.h>

#include "host/module/site_settings.h"
#include "host/module/site_temp_dir.h"
#include "host/module/site_wine.h"
#include "host/module/spawner_link.h"
#include "host/spawner/site_user.h"
#include "platform/request_files.h"

extern "C" module AP_MODULE_DECLARE_DATA karvel_module;
APLOG_USE_MODULE(karvel);

namespace {

// Where a site's lines name it: its <VirtualHost> place, or the main server.
const char* SiteName(apr_pool_t* pool, const server_rec* s) {
  if (!s->is_virtual) return "the main server";
  return apr_psprintf(pool, "the virtual host %s (%s:%d)", s->server_hostname != nullptr ? s->server_hostname : "",
                      s->defn_name != nullptr ? s->defn_name : "", s->defn_line_number);
}

int MinimumOr(int value) { return value != kUnset ? value : kDefaultMinId; }

// The user's supplementary groups, `primary` among them (as initgroups would give them).
std::vector<gid_t> GroupsOf(const char* user, gid_t primary) {
  int count = 32;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  while (getgrouplist(user, primary, groups.data(), &count) < 0) groups.resize(static_cast<size_t>(count) + 1);
  groups.resize(static_cast<size_t>(count));
  return groups;
}

}  // namespace

void InitSiteUserSettings(apr_pool_t* pool, SiteUserSettings* settings) {
  *settings = SiteUserSettings{nullptr, nullptr, 0, 0, nullptr, apr_array_make(pool, 2, sizeof(const char*)),
                               kUnset, kUnset};
}

void MergeSiteUserSettings(apr_pool_t* pool, const SiteUserSettings& base, const SiteUserSettings& host,
                           SiteUserSettings* merged) {
  *merged = host.szUser != nullptr ? host : base;
  merged->pBackendDirs = apr_array_append(pool, host.pBackendDirs, base.pBackendDirs);
  merged->nMinUid = base.nMinUid;
  merged->nMinGid = base.nMinGid;
}

const char* SetUserGroup(cmd_parms* cmd, void*, const char* user, const char* group) {
  // Resolved now: a user or group that does not exist fails the start (and apachectl -t) by name.
  const passwd* account = getpwnam(user);
  if (account == nullptr) return apr_pstrcat(cmd->pool, "KarvelUserGroup: no such user: ", user, nullptr);
  const uid_t uid = account->pw_uid;
  const struct group* found = getgrnam(group);
  if (found == nullptr) return apr_pstrcat(cmd->pool, "KarvelUserGroup: no such group: ", group, nullptr);
  SiteUserSettings* settings = SiteUserSettingsOf(cmd->server);
  settings->szUser = apr_pstrdup(cmd->pool, user);
  settings->szGroup = apr_pstrdup(cmd->pool, group);
  settings->uid = uid;
  settings->gid = found->gr_gid;
  settings->szDefinedAt = cmd->directive != nullptr
                              ? apr_psprintf(cmd->pool, "%s:%d", cmd->directive->filename, cmd->directive->line_num)
                              : "";
  return nullptr;
}

const char* SetMinUid(cmd_parms* cmd, void*, const char* value) {
  if (const char* failure = ap_check_cmd_context(cmd, GLOBAL_ONLY)) return failure;
  return CountArgument(cmd, value, INT_MAX, &SiteUserSettingsOf(cmd->server)->nMinUid);
}

const char* SetMinGid(cmd_parms* cmd, void*, const char* value) {
  if (const char* failure = ap_check_cmd_context(cmd, GLOBAL_ONLY)) return failure;
  return CountArgument(cmd, value, INT_MAX, &SiteUserSettingsOf(cmd->server)->nMinGid);
}

void NoteBackendDirectory(server_rec* server, const char* path) {
  *static_cast<const char**>(apr_array_push(SiteUserSettingsOf(server)->pBackendDirs)) = path;
}

bool AnySiteUser(server_rec* main) {
  for (server_rec* s = main; s != nullptr; s = s->next) {
    if (SiteUserSettingsOf(s)->szUser != nullptr) return true;
  }
  return false;
}

const char* CheckSiteUsers(apr_pool_t* pool, server_rec* main, bool spawnerOn, bool starting) {
  const SiteUserSettings* floor = SiteUserSettingsOf(main);
  const long minUid = MinimumOr(floor->nMinUid), minGid = MinimumOr(floor->nMinGid);
  for (server_rec* s = main; s != nullptr; s = s->next) {
    const SiteUserSettings* site = SiteUserSettingsOf(s);
    if (site->szUser == nullptr) continue;
    const char* where = apr_psprintf(pool, "KarvelUserGroup %s %s at %s, for %s", site->szUser, site->szGroup,
                                     site->szDefinedAt, SiteName(pool, s));
    if (site->uid == 0 || site->gid == 0) return apr_pstrcat(pool, where, ": programs never run as root", nullptr);
    if (static_cast<long>(site->uid) < minUid) {
      return apr_psprintf(pool, "%s: the user's id %ld is below KarvelMinUid %ld", where,
                          static_cast<long>(site->uid), minUid);
    }
    if (static_cast<long>(site->gid) < minGid) {
      return apr_psprintf(pool, "%s: the group's id %ld is below KarvelMinGid %ld", where,
                          static_cast<long>(site->gid), minGid);
    }
    if (site->pBackendDirs->nelts == 0) {
      return apr_pstrcat(pool, where, ": the site names no KarvelBackendDir, so none of its programs may run", nullptr);
    }
    if (!spawnerOn) return apr_pstrcat(pool, where, ": only the spawner runs programs as another user; KarvelSpawner is off", nullptr);
    if (starting && geteuid() != 0) {
      return apr_pstrcat(pool, where, ": the server was not started as root, so it cannot run programs as another user",
                         nullptr);
    }
  }
  return nullptr;
}

void CollectSiteUsers(server_rec* main, SiteUsers* out) {
  out->sites.clear();
  for (server_rec* s = main; s != nullptr; s = s->next) {
    SiteEntry entry;
    entry.name = SiteKey(s);
    const SiteUserSettings* site = SiteUserSettingsOf(s);
    if (site->szUser != nullptr) {
      entry.ownUser = true;
      entry.user.user = site->szUser;
      entry.user.group = site->szGroup;
      entry.user.uid = site->uid;
      entry.user.gid = site->gid;
      entry.user.groups = GroupsOf(site->szUser, site->gid);
      // A site's user in the server's group reads what the server's group may: its files are
      // kept from others by the user's own groups, not the server's.
      for (gid_t group : entry.user.groups) {
        if (group == ap_unixd_config.group_id && geteuid() == 0) {
          ap_log_error(APLOG_MARK, APLOG_WARNING, 0, s,
                       "karvel: %s, whom the site's programs run as, is in the server's group (gid %ld): its "
                       "programs may read and change what that group may; give the site a group of its own",
                       site->szUser, static_cast<long>(group));
        }
      }
      if (const char* prefix = SiteWineSettingsOf(s)->szUserPrefix) entry.user.winePrefix = prefix;
      const auto* dirs = reinterpret_cast<const char* const*>(site->pBackendDirs->elts);
      for (int k = 0; k < site->pBackendDirs->nelts; ++k) {
        // The programs' paths are resolved, links and all: so are the directories they must lie in.
        if (char* real = realpath(dirs[k], nullptr)) {
          entry.user.backendDirectories.emplace_back(real);
          std::free(real);
        }
      }
    }
    out->sites.push_back(std::move(entry));
  }
}

const SiteUserSettings* RequestSiteUser(request_rec* r) {
  const SiteUserSettings* site = SiteUserSettingsOf(r->server);
  return site->szUser != nullptr ? site : nullptr;
}

const char* SiteTempDirectory(request_rec* r) {
  const SiteUserSettings* site = RequestSiteUser(r);
  if (site == nullptr) return nullptr;
  const auto* settings = static_cast<const SiteSettings*>(ap_get_module_config(r->per_dir_config, &karvel_module));
  // Without a KarvelTempDir, the system's own (a shared, sticky /tmp): the server user's private
  // directory there would keep the site's user out.
  CHAR systemTemp[MAX_PATH];
  const char* base = settings != nullptr ? settings->szTempDir : nullptr;
  if (base == nullptr) {
    const DWORD length = GetTempPathA(MAX_PATH, systemTemp);
    base = length > 0 && length < MAX_PATH ? systemTemp : "/tmp";
  }
  std::string path, why;
  if (!PrepareSiteTempDirectory(base, site->szUser, site->uid, &path, &why)) {
    ap_log_rerror(APLOG_MARK, APLOG_WARNING, 0, r, "karvel: the temporary directory of %s's programs: %s", site->szUser,
                  why.c_str());
  }
  return apr_pstrdup(r->pool, path.c_str());
}

bool SiteMaySendFile(request_rec* r, int descriptor) {
  const SiteUserSettings* site = RequestSiteUser(r);
  if (site == nullptr) return true;
  struct stat info{};
  if (fstat(descriptor, &info) == 0 && info.st_uid == site->uid) return true;
  // The path the descriptor was opened at, as the system resolved it (links and all).
  char path[PATH_MAX];
  const std::string self = "/proc/self/fd/" + std::to_string(descriptor);
  const ssize_t length = readlink(self.c_str(), path, sizeof path - 1);
  path[length > 0 ? length : 0] = '\0';
  const char* directory = SiteTempDirectory(r);
  const size_t inside = std::strlen(directory);
  if (length > 0 && std::strncmp(path, directory, inside) == 0 && path[inside] == '/') return true;
  ap_log_rerror(APLOG_MARK, APLOG_WARNING, 0, r,
                "karvel: a program of %s answered with the file %s, which is neither %s's nor in its temporary "
                "directory; not sent",
                site->szUser, path, site->szUser);
  return false;
}
