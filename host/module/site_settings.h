// The settings an operator gives one site, virtual host or <Location>, merged the Apache way
// (the inner section's setting wins), and handed to the extension per request as server variables
// of names the host defines.
#ifndef KARVEL_HOST_SITE_SETTINGS_H
#define KARVEL_HOST_SITE_SETTINGS_H

#include <httpd.h>
#include <http_config.h>
#include <http_log.h>

// A count or flag no directive has set (the default then applies, or the outer section's).
constexpr int kUnset = -1;

// Flags (KarvelStopAbandoned, KarvelWine, KarvelPassRequestVars) are set by ap_set_flag_slot: 1 on, 0 off.
struct SiteSettings {
  const char* szBackendDir;  // KarvelBackendDir; nullptr while unset
  const char* szTempDir;     // KarvelTempDir; nullptr while unset
  const char* szUploadDir;   // KarvelUploadDir; nullptr while unset (uploads beside the exchange file)
  const char* szDebugCopyDir;  // KarvelDebugCopyDir; nullptr while unset (beside the program)
  int nMaxFields;            // KarvelMaxFields; kUnset while unset
  int nBackendTimeoutMs;     // KarvelBackendTimeout, milliseconds (never 0); kUnset while unset
  int nKillGraceMs;          // KarvelKillGrace, milliseconds; kUnset while unset (5 s)
  int nStopAbandoned;        // KarvelStopAbandoned; kUnset while unset (on)
  int nPassRequestVars;      // KarvelPassRequestVars; kUnset while unset (off)
  apr_array_header_t* pPassEnv;  // KarvelPassEnv names (const char*), the sections' together; may be null
  apr_table_t* pSetEnv;          // KarvelSetEnv pairs, inner sections' first; may be null
  const char* szFormCharset;     // KarvelFormCharset; nullptr while unset
  int nWine;                     // KarvelWine; kUnset while unset (on)
  const char* szWindowsPaths;    // KarvelWindowsPath lines "WINDOWS-DIRECTORY|DIRECTORY", the inner
                                 // sections' first; nullptr while none is set
  int nHttpErrorStatus;          // KarvelErrorStatus: 1 http, 0 legacy; kUnset while unset (legacy)
  int nStderrLogLevel;           // KarvelStderrLogLevel, an APLOG_ level; kUnset while unset (error)
  apr_array_header_t* pResident;  // KarvelResident lines (ResidentProgram), the inner sections' first;
                                  // may be null
};

// One KarvelResident line: the program as a form names it, and its pool's bounds.
struct ResidentProgram {
  const char* szProgram;
  int nInstances;
  int nMaxRequests;  // 0: never retired for its count
  int nIdleSeconds;  // 0: never stopped for idling
};

// The level back-end programs' standard error is logged at where KarvelStderrLogLevel is not set:
// error, as mod_cgid logs a script's.
constexpr int kDefaultStderrLogLevel = APLOG_ERR;

// The room the extension keeps for the KarvelWindowsPath lines of a request (its end included).
constexpr size_t kWindowsPathsRoom = 16384;

// A directive's refusal when `value` is longer than `limit` bytes (naming the directive and the
// limit); nullptr when it fits. A setting the extension cannot take whole is refused at start
// (apache2ctl -t), never left for a request to replace by a default.
const char* SettingTooLong(cmd_parms* cmd, const char* value, size_t limit);

// A directive's whole-number argument from 0 to `highest` into *target; the refusal (naming the
// directive and the range) otherwise.
const char* CountArgument(cmd_parms* cmd, const char* value, apr_int64_t highest, int* target);

// A directive's time argument (see time_spelling.h: 1500ms, 30s, 2m, 1h, a number alone seconds),
// read by httpd's own parser, from 0 to `highestSeconds`, into *targetMs in milliseconds; the
// refusal (naming the directive, the range and the units) otherwise.
const char* TimeArgument(cmd_parms* cmd, const char* value, apr_int64_t highestSeconds, int* targetMs);

void* CreateSiteSettings(apr_pool_t* pool, char* directory);
void* MergeSiteSettings(apr_pool_t* pool, void* base, void* inner);

// KarvelBackendDir DIR, KarvelTempDir DIR: directories that must exist when the server starts.
const char* SetBackendDir(cmd_parms* cmd, void* settings, const char* dir);
const char* SetTempDir(cmd_parms* cmd, void* settings, const char* dir);
// KarvelUploadDir DIR: where requests' upload directories go instead of beside their exchange
// files (a directory that must exist at start), as long as KarvelTempDir's.
const char* SetUploadDir(cmd_parms* cmd, void* settings, const char* dir);
// KarvelDebugCopyDir DIR: where the debug-copy build of the extension leaves its copies (a directory
// that must exist at start and that the server's user can write).
const char* SetDebugCopyDir(cmd_parms* cmd, void* settings, const char* dir);
// KarvelMaxFields N: fields a request may send (0: no limit).
const char* SetMaxFields(cmd_parms* cmd, void* settings, const char* value);
// KarvelBackendTimeout TIME: how long a request waits for its back-end's answer; 0 is refused.
const char* SetBackendTimeout(cmd_parms* cmd, void* settings, const char* value);
// KarvelKillGrace TIME, KarvelStopAbandoned on|off: how programs of requests that gave up end.
const char* SetKillGrace(cmd_parms* cmd, void* settings, const char* value);
// KarvelStderrLogLevel LEVEL: the level (Apache's names) back-end programs' standard error is
// logged at in the site's error log.
const char* SetStderrLogLevel(cmd_parms* cmd, void* settings, const char* value);
// KarvelFormCharset UTF-8|Shift_JIS|EUC-JP|ISO-2022-JP|auto: the encoding the site's forms send.
const char* SetFormCharset(cmd_parms* cmd, void* settings, const char* value);
// KarvelWindowsPath WINDOWS-DIRECTORY DIRECTORY: where a Windows directory that forms and Windows
// programs name ("C:\apps") lies here.
const char* AddWindowsPath(cmd_parms* cmd, void* settings, const char* windowsDirectory, const char* directory);
// KarvelErrorStatus legacy|http: error pages with status 200, as always, or with the status that
// says what failed (and Apache's ErrorDocument for it).
const char* SetErrorStatus(cmd_parms* cmd, void* settings, const char* value);
// KarvelPassEnv NAME..., KarvelSetEnv NAME VALUE: what of an environment back-end programs get.
const char* AddPassEnv(cmd_parms* cmd, void* settings, const char* name);
const char* AddSetEnv(cmd_parms* cmd, void* settings, const char* name, const char* value);

// KarvelResident PROGRAM [instances=N] [max-requests=M] [idle=SECONDS]: the program's requests go to
// instances that answer one request after another (resident_setting.h reads the words).
const char* AddResident(cmd_parms* cmd, void* settings, int count, char* const* words);

// The value of setting variable `name` for request `r` ("KARVEL_BACKEND_DIR", "KARVEL_TEMP_DIR",
// "KARVEL_MAX_FIELDS", "KARVEL_BACKEND_TIMEOUT", "KARVEL_FORM_CHARSET", "KARVEL_WINDOWS_PATHS",
// "KARVEL_DEBUG_COPY_DIR", "KARVEL_UPLOAD_DIR" (none for a site whose programs run as its own user:
// its uploads stay in its own temporary directory, which its user may read), "KARVEL_WINE_PREFIX": the prefix, where the site runs Windows programs
// under Wine), in its pool;
// nullptr when `name` is no setting or
// it is not set (the extension then takes its default).
const char* SiteSettingVariable(request_rec* r, const char* name);

#endif  // KARVEL_HOST_SITE_SETTINGS_H
