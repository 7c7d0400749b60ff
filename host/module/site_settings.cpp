#include "host/module/site_settings.h"

#include <sys/stat.h>
#include <unistd.h>
#include <strings.h>

#include <cerrno>

#include <cstring>
#include <string>

#include <apr_strings.h>
#include <http_core.h>

#include "host/module/request_directories.h"
#include "host/module/resident_setting.h"
#include "host/module/site_users.h"
#include "host/module/site_wine.h"
#include "host/module/spawner_link.h"
#include "host/module/time_spelling.h"
#include "host/spawner/wine_host.h"
#include "isapi/karvel_host.h"
#include "platform/request_files.h"
#include "platform/windows_paths.h"

extern "C" module AP_MODULE_DECLARE_DATA karvel_module;

void* CreateSiteSettings(apr_pool_t* pool, char*) {
  auto* settings = static_cast<SiteSettings*>(apr_pcalloc(pool, sizeof(SiteSettings)));
  settings->nMaxFields = kUnset;
  settings->nBackendTimeoutMs = kUnset;
  settings->nKillGraceMs = kUnset;
  settings->nStderrLogLevel = kUnset;
  settings->nStopAbandoned = kUnset;
  settings->nPassRequestVars = kUnset;
  settings->nWine = kUnset;
  settings->nHttpErrorStatus = kUnset;
  return settings;
}

void* MergeSiteSettings(apr_pool_t* pool, void* baseSettings, void* innerSettings) {
  const auto* base = static_cast<const SiteSettings*>(baseSettings);
  const auto* inner = static_cast<const SiteSettings*>(innerSettings);
  auto* merged = static_cast<SiteSettings*>(apr_pcalloc(pool, sizeof(SiteSettings)));
  merged->szBackendDir = inner->szBackendDir != nullptr ? inner->szBackendDir : base->szBackendDir;
  merged->szTempDir = inner->szTempDir != nullptr ? inner->szTempDir : base->szTempDir;
  merged->szUploadDir = inner->szUploadDir != nullptr ? inner->szUploadDir : base->szUploadDir;
  merged->szDebugCopyDir = inner->szDebugCopyDir != nullptr ? inner->szDebugCopyDir : base->szDebugCopyDir;
  merged->nMaxFields = inner->nMaxFields != kUnset ? inner->nMaxFields : base->nMaxFields;
  merged->nBackendTimeoutMs = inner->nBackendTimeoutMs != kUnset ? inner->nBackendTimeoutMs : base->nBackendTimeoutMs;
  merged->nKillGraceMs = inner->nKillGraceMs != kUnset ? inner->nKillGraceMs : base->nKillGraceMs;
  merged->nStderrLogLevel = inner->nStderrLogLevel != kUnset ? inner->nStderrLogLevel : base->nStderrLogLevel;
  merged->nStopAbandoned = inner->nStopAbandoned != kUnset ? inner->nStopAbandoned : base->nStopAbandoned;
  merged->nPassRequestVars = inner->nPassRequestVars != kUnset ? inner->nPassRequestVars : base->nPassRequestVars;
  merged->nWine = inner->nWine != kUnset ? inner->nWine : base->nWine;
  merged->nHttpErrorStatus = inner->nHttpErrorStatus != kUnset ? inner->nHttpErrorStatus : base->nHttpErrorStatus;
  // The inner section's lines first: MapWindowsPath takes the longest match, and of equal ones the first.
  merged->szWindowsPaths = base->szWindowsPaths == nullptr    ? inner->szWindowsPaths
                           : inner->szWindowsPaths == nullptr ? base->szWindowsPaths
                                                              : apr_pstrcat(pool, inner->szWindowsPaths, "\n",
                                                                            base->szWindowsPaths, nullptr);
  merged->szFormCharset = inner->szFormCharset != nullptr ? inner->szFormCharset : base->szFormCharset;
  // Names passed add up; a name set in an inner section overrides the same name set outside.
  merged->pPassEnv = base->pPassEnv == nullptr   ? inner->pPassEnv
                     : inner->pPassEnv == nullptr ? base->pPassEnv
                                                  : apr_array_append(pool, base->pPassEnv, inner->pPassEnv);
  merged->pSetEnv = base->pSetEnv == nullptr ? inner->pSetEnv : base->pSetEnv;
  if (base->pSetEnv != nullptr && inner->pSetEnv != nullptr) {
    merged->pSetEnv = apr_table_copy(pool, base->pSetEnv);
    const apr_array_header_t* pairs = apr_table_elts(inner->pSetEnv);
    const auto* entries = reinterpret_cast<const apr_table_entry_t*>(pairs->elts);
    for (int k = 0; k < pairs->nelts; ++k) apr_table_set(merged->pSetEnv, entries[k].key, entries[k].val);
  }
  // An inner section's line for a program is found before the outer one's.
  merged->pResident = base->pResident == nullptr    ? inner->pResident
                      : inner->pResident == nullptr ? base->pResident
                                                    : apr_array_append(pool, inner->pResident, base->pResident);
  return merged;
}

const char* AddResident(cmd_parms* cmd, void* settings, int count, char* const* words) {
  ResidentSetting read{};
  const std::string refused = ReadResidentSetting(words, count, sysconf(_SC_NPROCESSORS_ONLN), &read);
  if (!refused.empty()) return apr_pstrcat(cmd->pool, cmd->cmd->name, ": ", refused.c_str(), nullptr);
  auto* site = static_cast<SiteSettings*>(settings);
  if (site->pResident == nullptr) site->pResident = apr_array_make(cmd->pool, 2, sizeof(ResidentProgram));
  const auto* lines = reinterpret_cast<const ResidentProgram*>(site->pResident->elts);
  for (int k = 0; k < site->pResident->nelts; ++k) {
    if (read.program == lines[k].szProgram) {
      return apr_pstrcat(cmd->pool, cmd->cmd->name, ": ", read.program.c_str(), " is named twice in this section",
                         nullptr);
    }
  }
  *static_cast<ResidentProgram*>(apr_array_push(site->pResident)) =
      ResidentProgram{apr_pstrdup(cmd->pool, read.program.c_str()), read.instances, read.maxRequests, read.idleSeconds};
  return nullptr;
}

const char* SettingTooLong(cmd_parms* cmd, const char* value, size_t limit) {
  const size_t length = std::strlen(value);
  if (length <= limit) return nullptr;
  return apr_psprintf(cmd->pool, "%s: %s is %lu bytes long; the extension takes at most %lu", cmd->cmd->name, value,
                      static_cast<unsigned long>(length), static_cast<unsigned long>(limit));
}

namespace {
// The extension keeps a path it is given in a buffer of MAX_PATH bytes, its end included.
constexpr size_t kPathLimit = MAX_PATH - 1;
// A temporary (or upload) directory leaves room for a separator and the longest name a request
// makes in it, its upload directory "VCU" + 16 hex digits + ".tmp".
constexpr size_t kTempDirectoryLimit = kPathLimit - 1 - (3 + REQUEST_NAME_DIGITS + 4);
// A debug-copy directory leaves room for a separator and the copy's name, "vcdebug.tmp".
constexpr size_t kDebugCopyDirectoryLimit = kPathLimit - 1 - (sizeof "vcdebug.tmp" - 1);

// `mayBeMade`: a directory of requests, which the start makes when only its last part is missing
// (request_directories.h).
const char* DirectoryArgument(cmd_parms* cmd, const char* dir, const char** target, size_t limit = kPathLimit,
                              bool mayBeMade = false) {
  const char* path = ap_server_root_relative(cmd->pool, dir);
  if (path == nullptr) return apr_pstrcat(cmd->pool, cmd->cmd->name, ": not a directory: ", dir, nullptr);
  errno = 0;
  if (!ap_is_directory(cmd->temp_pool, path)) {
    struct stat info{};
    const bool missing = lstat(path, &info) != 0 && errno == ENOENT;
    if (!mayBeMade || !missing) return apr_pstrcat(cmd->pool, cmd->cmd->name, ": not a directory: ", dir, nullptr);
    if (const char* failure = SettingTooLong(cmd, path, limit)) return failure;
    if (const char* failure = NoteMissingRequestDirectory(cmd, path)) return failure;
  }
  // Refused here rather than at every request: the site's setting would not reach the extension.
  if (const char* failure = SettingTooLong(cmd, path, limit)) return failure;
  *target = path;
  return nullptr;
}

}  // namespace

const char* CountArgument(cmd_parms* cmd, const char* value, apr_int64_t highest, int* target) {
  char* end = nullptr;
  const apr_int64_t count = apr_strtoi64(value, &end, 10);
  if (end == value || *end != '\0' || count < 0 || count > highest) {
    return apr_psprintf(cmd->pool, "%s: not a whole number from 0 to %" APR_INT64_T_FMT ": %s", cmd->cmd->name,
                        highest, value);
  }
  *target = static_cast<int>(count);
  return nullptr;
}

const char* TimeArgument(cmd_parms* cmd, const char* value, apr_int64_t highestSeconds, int* targetMs) {
  char spelled[kTimeSpellingRoom];
  apr_interval_time_t interval = 0;
  if (!ApacheTimeSpelling(value, spelled, sizeof spelled) ||
      ap_timeout_parameter_parse(spelled, &interval, "s") != APR_SUCCESS || interval < 0 ||
      interval > apr_time_from_sec(highestSeconds)) {
    return apr_psprintf(cmd->pool,
                        "%s: not a time from 0 to %" APR_INT64_T_FMT "s: %s (a whole number and its unit: 500ms, "
                        "30s, 2m (or 2mi), 1h; a number alone is seconds)",
                        cmd->cmd->name, highestSeconds, value);
  }
  *targetMs = static_cast<int>(apr_time_as_msec(interval));
  return nullptr;
}

const char* SetBackendDir(cmd_parms* cmd, void* settings, const char* dir) {
  auto* site = static_cast<SiteSettings*>(settings);
  if (const char* failure = DirectoryArgument(cmd, dir, &site->szBackendDir)) return failure;
  // A site whose programs run as its own user runs only programs of the directories it names.
  NoteBackendDirectory(cmd->server, site->szBackendDir);
  return nullptr;
}

const char* SetTempDir(cmd_parms* cmd, void* settings, const char* dir) {
  // Wine joins a program's arguments and splits them again at blanks: an exchange file's path with
  // one would reach a Windows back-end cut in two.
  if (PathSplitsUnderWine(dir) && InstalledWineLoader() != nullptr) {
    return apr_pstrcat(cmd->pool, "KarvelTempDir: ", dir,
                       " holds a blank, which Windows back-ends under Wine cannot be given; choose a path without one",
                       nullptr);
  }
  return DirectoryArgument(cmd, dir, &static_cast<SiteSettings*>(settings)->szTempDir, kTempDirectoryLimit, true);
}

const char* SetUploadDir(cmd_parms* cmd, void* settings, const char* dir) {
  return DirectoryArgument(cmd, dir, &static_cast<SiteSettings*>(settings)->szUploadDir, kTempDirectoryLimit, true);
}

const char* SetDebugCopyDir(cmd_parms* cmd, void* settings, const char* dir) {
  return DirectoryArgument(cmd, dir, &static_cast<SiteSettings*>(settings)->szDebugCopyDir, kDebugCopyDirectoryLimit);
}

const char* SetMaxFields(cmd_parms* cmd, void* settings, const char* value) {
  return CountArgument(cmd, value, 999999999, &static_cast<SiteSettings*>(settings)->nMaxFields);
}

const char* SetBackendTimeout(cmd_parms* cmd, void* settings, const char* value) {
  int milliseconds = 0;
  if (const char* failure = TimeArgument(cmd, value, 86400, &milliseconds)) return failure;
  // A time-out of nothing would end every request's wait before its program could answer.
  if (milliseconds == 0) {
    return apr_pstrcat(cmd->pool, "KarvelBackendTimeout: ", value,
                       " would time every request out at once; to wait without a time of the site's own, leave "
                       "KarvelBackendTimeout out (a request then waits until the clock's minute has changed three "
                       "times), or give the longest wait meant (30s, 10m)",
                       nullptr);
  }
  static_cast<SiteSettings*>(settings)->nBackendTimeoutMs = milliseconds;
  return nullptr;
}

const char* SetKillGrace(cmd_parms* cmd, void* settings, const char* value) {
  return TimeArgument(cmd, value, 3600, &static_cast<SiteSettings*>(settings)->nKillGraceMs);
}

const char* SetStderrLogLevel(cmd_parms* cmd, void* settings, const char* value) {
  int level = 0;
  // Apache's own names (emerg ... debug, trace1 ... trace8), as LogLevel takes them.
  if (const char* failure = ap_parse_log_level(value, &level)) {
    return apr_pstrcat(cmd->pool, "KarvelStderrLogLevel: ", failure, nullptr);
  }
  static_cast<SiteSettings*>(settings)->nStderrLogLevel = level;
  return nullptr;
}

const char* SetFormCharset(cmd_parms* cmd, void* settings, const char* value) {
  static const char* const kNames[] = {"UTF-8", "Shift_JIS", "EUC-JP", "ISO-2022-JP", "auto"};
  for (const char* name : kNames) {
    if (strcasecmp(value, name) == 0) {
      static_cast<SiteSettings*>(settings)->szFormCharset = name;
      return nullptr;
    }
  }
  return apr_pstrcat(cmd->pool, "KarvelFormCharset: not one of UTF-8, Shift_JIS, EUC-JP, ISO-2022-JP, auto: ", value,
                     nullptr);
}

const char* AddWindowsPath(cmd_parms* cmd, void* settings, const char* windowsDirectory, const char* directory) {
  auto* site = static_cast<SiteSettings*>(settings);
  if (!IsDrivePath(windowsDirectory) || std::strpbrk(windowsDirectory, "|\n") != nullptr) {
    return apr_pstrcat(cmd->pool, "KarvelWindowsPath: not a Windows directory with a drive (C:\\...): ",
                       windowsDirectory, nullptr);
  }
  if (const char* failure = SettingTooLong(cmd, windowsDirectory, kPathLimit)) return failure;
  const char* path = nullptr;
  if (const char* failure = DirectoryArgument(cmd, directory, &path)) return failure;
  if (std::strchr(path, '\n') != nullptr) return "KarvelWindowsPath: a line break in the directory";
  const char* line = apr_pstrcat(cmd->pool, windowsDirectory, "|", path, nullptr);
  const char* lines =
      site->szWindowsPaths == nullptr ? line : apr_pstrcat(cmd->pool, site->szWindowsPaths, "\n", line, nullptr);
  // The section's lines together are handed to a request as one text.
  if (std::strlen(lines) + 1 > kWindowsPathsRoom) {
    return apr_psprintf(cmd->pool, "KarvelWindowsPath: the section's Windows directories come to more than the %lu bytes "
                        "the extension takes", static_cast<unsigned long>(kWindowsPathsRoom - 1));
  }
  site->szWindowsPaths = lines;
  return nullptr;
}

const char* AddPassEnv(cmd_parms* cmd, void* settings, const char* name) {
  auto* site = static_cast<SiteSettings*>(settings);
  if (site->pPassEnv == nullptr) site->pPassEnv = apr_array_make(cmd->pool, 4, sizeof(const char*));
  *static_cast<const char**>(apr_array_push(site->pPassEnv)) = name;
  return nullptr;
}

const char* AddSetEnv(cmd_parms* cmd, void* settings, const char* name, const char* value) {
  auto* site = static_cast<SiteSettings*>(settings);
  if (std::strchr(name, '=') != nullptr || name[0] == '\0') {
    return apr_pstrcat(cmd->pool, "KarvelSetEnv: not a variable name: ", name, nullptr);
  }
  if (site->pSetEnv == nullptr) site->pSetEnv = apr_table_make(cmd->pool, 4);
  apr_table_set(site->pSetEnv, name, value);
  return nullptr;
}

const char* SetErrorStatus(cmd_parms* cmd, void* settings, const char* value) {
  auto* site = static_cast<SiteSettings*>(settings);
  if (strcasecmp(value, "http") == 0 || strcasecmp(value, "legacy") == 0) {
    site->nHttpErrorStatus = strcasecmp(value, "http") == 0 ? 1 : 0;
    return nullptr;
  }
  return apr_psprintf(cmd->pool, "%s takes legacy or http, not '%s'", cmd->cmd->name, value);
}

const char* SiteSettingVariable(request_rec* r, const char* name) {
  const auto* settings = static_cast<const SiteSettings*>(ap_get_module_config(r->per_dir_config, &karvel_module));
  if (settings == nullptr) return nullptr;
  if (std::strcmp(name, KARVEL_SETTING_BACKEND_DIR) == 0) return settings->szBackendDir;
  if (std::strcmp(name, KARVEL_SETTING_TEMP_DIR) == 0) {
    // A site whose programs run as its own user keeps its files in a directory of its own.
    if (const char* own = SiteTempDirectory(r)) return own;
    return settings->szTempDir;
  }
  if (std::strcmp(name, KARVEL_SETTING_MAX_FIELDS) == 0 && settings->nMaxFields != kUnset) {
    return apr_psprintf(r->pool, "%d", settings->nMaxFields);
  }
  if (std::strcmp(name, KARVEL_SETTING_FORM_CHARSET) == 0) return settings->szFormCharset;
  if (std::strcmp(name, KARVEL_SETTING_DEBUG_COPY_DIR) == 0) return settings->szDebugCopyDir;
  // The server's user's directory would keep a site's own user from its uploads.
  if (std::strcmp(name, KARVEL_SETTING_UPLOAD_DIR) == 0) return RequestSiteUser(r) == nullptr ? settings->szUploadDir : nullptr;
  if (std::strcmp(name, KARVEL_SETTING_ERROR_STATUS) == 0) return settings->nHttpErrorStatus == 1 ? "http" : "legacy";
  if (std::strcmp(name, KARVEL_SETTING_WINDOWS_PATHS) == 0) return settings->szWindowsPaths;
  if (std::strcmp(name, KARVEL_SETTING_WINE_PREFIX) == 0 && settings->nWine != 0 && InstalledWineLoader() != nullptr) {
    // The site's user's prefix where it has its own user; inside it (or the server's), the site's
    // own where it maps Windows directories: its file answers are found through its own drive links.
    const char* prefix = SiteWinePrefix(r->server);
    if (prefix == nullptr || settings->szWindowsPaths == nullptr || std::strcmp(prefix, kNoWinePrefix) == 0) {
      return prefix;
    }
    return apr_pstrdup(r->pool, SitePrefix(prefix, settings->szWindowsPaths).c_str());
  }
  // In milliseconds, marked so (a number alone is seconds to the extension).
  if (std::strcmp(name, KARVEL_SETTING_BACKEND_TIMEOUT) == 0 && settings->nBackendTimeoutMs != kUnset) {
    return apr_psprintf(r->pool, "%dms", settings->nBackendTimeoutMs);
  }
  return nullptr;
}
