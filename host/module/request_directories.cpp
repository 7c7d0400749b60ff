#include "host/module/request_directories.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include <apr_strings.h>
#include <http_log.h>
#include <unixd.h>

APLOG_USE_MODULE(karvel);

namespace {

struct MissingDirectory {
  std::string directive;
  std::string path;
};

// Read and used by Apache's parent alone, between the readings of its configuration.
std::vector<MissingDirectory> g_missing;

}  // namespace

void ForgetMissingRequestDirectories() { g_missing.clear(); }

const char* NoteMissingRequestDirectory(cmd_parms* cmd, const char* path) {
  std::string parent = path;
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  const size_t slash = parent.find_last_of('/');
  parent = slash == 0 || slash == std::string::npos ? "/" : parent.substr(0, slash);
  struct stat info{};
  if (stat(parent.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return apr_pstrcat(cmd->pool, cmd->cmd->name, ": not a directory: ", path, " (nor is ", parent.c_str(),
                       ", where the start would make it)", nullptr);
  }
  g_missing.push_back(MissingDirectory{cmd->cmd->name, path});
  return nullptr;
}

bool MakeMissingRequestDirectories(server_rec* server) {
  for (const MissingDirectory& missing : g_missing) {
    const char* path = missing.path.c_str();
    struct stat info{};
    if (stat(path, &info) == 0 && S_ISDIR(info.st_mode)) continue;  // made meanwhile, or noted twice
    if (mkdir(path, 0700) != 0) {
      ap_log_error(APLOG_MARK, APLOG_STARTUP | APLOG_CRIT, errno, server, "karvel: %s %s is missing and cannot be made",
                   missing.directive.c_str(), path);
      return false;
    }
    // The server's children write there; made by root, it is theirs.
    if (geteuid() == 0 && chown(path, ap_unixd_config.user_id, ap_unixd_config.group_id) != 0) {
      ap_log_error(APLOG_MARK, APLOG_STARTUP | APLOG_CRIT, errno, server,
                   "karvel: %s %s was made but cannot be given to the server's user", missing.directive.c_str(), path);
      rmdir(path);
      return false;
    }
    ap_log_error(APLOG_MARK, APLOG_NOTICE, 0, server, "karvel: %s %s was missing: made it (mode 0700, the server's user)",
                 missing.directive.c_str(), path);
  }
  return true;
}
