// mod_karvel: hosts ISAPI extensions (VC_KARVEL2 above all) in Apache httpd.
//
//   KarvelExtension  /path/VC_KARVEL2.so  [/scripts/VC_KARVEL2.dll]
//   KarvelBackendDir /path/backends
//   KarvelTempDir    /path/tmp
//   KarvelUploadDir  /path/uploads
//   KarvelMaxFields  10000            (and the other site settings: site_settings.h)
//   KarvelMaxBackends 0, KarvelQueueTimeout 10      (the main server: the spawner's)
//   KarvelMaxBackends 2                              (in a <VirtualHost>: that site's share)
//
// SetHandler karvel-status shows the spawner's state, as mod_status shows Apache's.
//
// Each extension file is probed while the configuration is read, loaded once in every child and
// initialised there with GetExtensionVersion; requests to its URL (and below it, as path info)
// run through HttpExtensionProc. The translation between Apache's request and the
// EXTENSION_CONTROL_BLOCK lives in ecb_bridge.cpp.
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/resource.h>
#include <unistd.h>

#include <apr_hash.h>
#include <apr_strings.h>
#include <ap_mpm.h>
#include <http_config.h>
#include <http_core.h>
#include <http_log.h>
#include <http_protocol.h>
#include <http_request.h>
#include <httpd.h>
#include <mod_status.h>
#include <mpm_common.h>

#include "host/module/content_sniff.h"
#include "host/module/ecb_bridge.h"
#include "host/module/loaded_extension.h"
#include "host/module/request_directories.h"
#include "host/module/site_settings.h"
#include "host/module/site_users.h"
#include "host/module/site_wine.h"
#include "host/module/spawner_link.h"
#include "host/module/status_counts.h"
#include "host/module/status_page.h"
#include "host/spawner/spawner.h"
#include "platform/export.h"

extern "C" {
extern KARVEL_EXPORT module AP_MODULE_DECLARE_DATA karvel_module;
}
APLOG_USE_MODULE(karvel);

namespace {
constexpr const char* kDefaultUrl = "/scripts/VC_KARVEL2.dll";
constexpr const char* kHandlerName = "karvel-isapi";
constexpr const char* kStatusHandlerName = "karvel-status";
constexpr const char* kHealthHandlerName = "karvel-health";
constexpr const char* kDefaultWinePrefix = "/var/lib/karvel/wine";

struct ExtensionMapping {
  const char* szUrl;             // without a trailing '/'
  LoadedExtension* pExtension;
  const char* szDefinedAt;       // "FILE:LINE" of its KarvelExtension line
};

struct KarvelServerConfig {
  apr_array_header_t* pMappings;  // of ExtensionMapping
  bool bOwnMappingsOnly;          // KarvelExtension off: a virtual host maps none of the main server's URLs
  SpawnerSettings spawner;        // the main server's; counts kUnset while unset
  int nSiteMaxBackends;           // a virtual host's KarvelMaxBackends, its own only; kUnset while unset
  SiteUserSettings users;         // KarvelUserGroup: who the server's programs run as
  SiteWineSettings wine;          // KarvelWinePrefix: the prefix of the server's user's or the site's
};

// A request that names an extension: which one, and the rest of its URL (the path info).
struct MappedRequest {
  const ExtensionMapping* pMapping;
  const char* szPathInfo;
};

// Every extension file named in the configuration, by path, so a file mapped twice is loaded once.
// Rebuilt with each reading of the configuration (pconf).
apr_hash_t* g_extensions = nullptr;

void* CreateServerConfig(apr_pool_t* pool, server_rec*) {
  auto* config = static_cast<KarvelServerConfig*>(apr_pcalloc(pool, sizeof(KarvelServerConfig)));
  config->pMappings = apr_array_make(pool, 2, sizeof(ExtensionMapping));
  config->spawner = SpawnerSettings{kUnset, kUnset, kUnset, nullptr, nullptr, 0};
  config->nSiteMaxBackends = kUnset;
  InitSiteUserSettings(pool, &config->users);
  InitSiteWineSettings(&config->wine);
  return config;
}

// A virtual host sees its own mappings first, then the main server's (none with KarvelExtension off).
void* MergeServerConfig(apr_pool_t* pool, void* baseConfig, void* hostConfig) {
  auto* base = static_cast<KarvelServerConfig*>(baseConfig);
  auto* host = static_cast<KarvelServerConfig*>(hostConfig);
  auto* merged = static_cast<KarvelServerConfig*>(apr_pcalloc(pool, sizeof(KarvelServerConfig)));
  merged->bOwnMappingsOnly = host->bOwnMappingsOnly;
  merged->pMappings = host->bOwnMappingsOnly ? apr_array_copy(pool, host->pMappings)
                                             : apr_array_append(pool, host->pMappings, base->pMappings);
  merged->spawner = base->spawner;
  // A site's cap is its own: a virtual host without one has only the server's.
  merged->nSiteMaxBackends = host->nSiteMaxBackends;
  MergeSiteUserSettings(pool, base->users, host->users, &merged->users);
  MergeSiteWineSettings(base->wine, host->wine, host->users.szUser != nullptr, &merged->wine);
  return merged;
}

}  // namespace

SiteUserSettings* SiteUserSettingsOf(server_rec* server) {
  return &static_cast<KarvelServerConfig*>(ap_get_module_config(server->module_config, &karvel_module))->users;
}

SiteWineSettings* SiteWineSettingsOf(server_rec* server) {
  return &static_cast<KarvelServerConfig*>(ap_get_module_config(server->module_config, &karvel_module))->wine;
}

namespace {

// The spawner serves the whole server: its settings belong to the main server's configuration
// (ap_check_cmd_context refuses them inside <VirtualHost>), but for a site's own share of the
// programs (KarvelMaxBackends there).
KarvelServerConfig* MainServerConfig(cmd_parms* cmd) {
  return static_cast<KarvelServerConfig*>(ap_get_module_config(cmd->server->module_config, &karvel_module));
}

constexpr apr_int64_t kSpawnerCountHighest = 100000;

const char* SpawnerCountArgument(cmd_parms* cmd, const char* value, int* target) {
  if (const char* failure = ap_check_cmd_context(cmd, GLOBAL_ONLY)) return failure;
  return CountArgument(cmd, value, kSpawnerCountHighest, target);
}

// In the main server the cap of the whole server; in a <VirtualHost> that site's share of it.
const char* SetMaxBackends(cmd_parms* cmd, void*, const char* value) {
  if (!cmd->server->is_virtual) return SpawnerCountArgument(cmd, value, &MainServerConfig(cmd)->spawner.nMaxBackends);
  if (const char* failure = ap_check_cmd_context(cmd, NOT_IN_DIR_LOC_FILE | NOT_IN_LIMIT)) return failure;
  auto* config = static_cast<KarvelServerConfig*>(ap_get_module_config(cmd->server->module_config, &karvel_module));
  return CountArgument(cmd, value, kSpawnerCountHighest, &config->nSiteMaxBackends);
}

const char* SetQueueTimeout(cmd_parms* cmd, void*, const char* value) {
  if (const char* failure = ap_check_cmd_context(cmd, GLOBAL_ONLY)) return failure;
  return TimeArgument(cmd, value, kSpawnerCountHighest, &MainServerConfig(cmd)->spawner.nQueueTimeoutMs);
}

const char* SetSpawner(cmd_parms* cmd, void*, int on) {
  if (const char* failure = ap_check_cmd_context(cmd, GLOBAL_ONLY)) return failure;
  MainServerConfig(cmd)->spawner.bOn = on ? 1 : 0;
  return nullptr;
}

// A site's own prefix lies inside the server's or its user's ("/karvel-sites/" and 16 hex
// digits), and is handed to the extension in a buffer of MAX_PATH bytes, its end included.
constexpr size_t kWinePrefixLimit = MAX_PATH - 1 - 30;

// Where the directive being read stands: "FILE:LINE".
const char* DirectivePlace(cmd_parms* cmd) {
  if (cmd->directive == nullptr) return "(unknown place)";
  return apr_psprintf(cmd->pool, "%s:%d", cmd->directive->filename != nullptr ? cmd->directive->filename : "(unknown file)",
                      cmd->directive->line_num);
}

// The main server's line is the server's prefix (the spawner's); a virtual host's is the prefix of
// the site's own user (site_wine.h).
const char* SetWinePrefix(cmd_parms* cmd, void*, const char* dir) {
  if (const char* failure = ap_check_cmd_context(cmd, NOT_IN_DIR_LOC_FILE)) return failure;
  const char* path = ap_server_root_relative(cmd->pool, dir);
  if (path == nullptr) return apr_pstrcat(cmd->pool, "KarvelWinePrefix: invalid path ", dir, nullptr);
  if (const char* failure = SettingTooLong(cmd, path, kWinePrefixLimit)) return failure;
  if (!cmd->server->is_virtual) MainServerConfig(cmd)->spawner.szWinePrefix = path;
  NoteWinePrefix(cmd->server, path, DirectivePlace(cmd));
  return nullptr;
}

// The server's own mapping of `url` (a virtual host's, before the main server's are merged in).
const ExtensionMapping* MappingOfUrl(const KarvelServerConfig* config, const char* url) {
  const auto* mappings = reinterpret_cast<const ExtensionMapping*>(config->pMappings->elts);
  for (int i = 0; i < config->pMappings->nelts; ++i) {
    if (std::strcmp(mappings[i].szUrl, url) == 0) return &mappings[i];
  }
  return nullptr;
}

const char* SetExtension(cmd_parms* cmd, void*, const char* file, const char* url) {
  // KarvelExtension off: the virtual host answers none of the URLs the main server maps (404, as
  // any missing file); its own KarvelExtension lines still map theirs.
  if (url == nullptr && strcasecmp(file, "off") == 0) {
    if (!cmd->server->is_virtual) {
      return "KarvelExtension off belongs in a <VirtualHost>: it keeps the main server's URLs out of that host";
    }
    static_cast<KarvelServerConfig*>(ap_get_module_config(cmd->server->module_config, &karvel_module))
        ->bOwnMappingsOnly = true;
    return nullptr;
  }
  const char* path = ap_server_root_relative(cmd->pool, file);
  if (path == nullptr) return apr_pstrcat(cmd->pool, "KarvelExtension: invalid file path ", file, nullptr);
  if (url == nullptr) url = kDefaultUrl;
  if (url[0] != '/') return apr_pstrcat(cmd->pool, "KarvelExtension: the URL must begin with '/': ", url, nullptr);
  char* trimmed = apr_pstrdup(cmd->pool, url);
  for (size_t n = std::strlen(trimmed); n > 1 && trimmed[n - 1] == '/'; --n) trimmed[n - 1] = '\0';

  auto* extension = static_cast<LoadedExtension*>(apr_hash_get(g_extensions, path, APR_HASH_KEY_STRING));
  if (extension == nullptr) {
    extension = static_cast<LoadedExtension*>(apr_pcalloc(cmd->pool, sizeof(LoadedExtension)));
    extension->szPath = path;
    // Probed now, so that a missing or foreign file fails the start (and apachectl -t) by name.
    const char* failure = LoadExtensionFile(cmd->temp_pool, extension);
    if (failure != nullptr) return apr_pstrcat(cmd->pool, "KarvelExtension: ", failure, nullptr);
    apr_hash_set(g_extensions, path, APR_HASH_KEY_STRING, extension);
  }
  auto* config = static_cast<KarvelServerConfig*>(ap_get_module_config(cmd->server->module_config, &karvel_module));
  const char* definedAt = DirectivePlace(cmd);
  if (const ExtensionMapping* earlier = MappingOfUrl(config, trimmed)) {
    // Only the first would ever answer: the second line is a mistake, whichever file it is in.
    return apr_psprintf(cmd->pool, "KarvelExtension: the URL %s is mapped twice in this server: at %s and at %s",
                        trimmed, earlier->szDefinedAt, definedAt);
  }
  auto* mapping = static_cast<ExtensionMapping*>(apr_array_push(config->pMappings));
  mapping->szUrl = trimmed;
  mapping->pExtension = extension;
  mapping->szDefinedAt = definedAt;
  return nullptr;
}

// command_rec keeps every directive function under one untyped pointer, as C would.
template <typename Function>
cmd_func AsCommand(Function function) {
  return reinterpret_cast<cmd_func>(reinterpret_cast<void (*)()>(function));
}

const command_rec kDirectives[] = {
    AP_INIT_TAKE12("KarvelExtension", AsCommand(SetExtension), nullptr, RSRC_CONF,
                   "an ISAPI extension file and the URL it answers (default /scripts/VC_KARVEL2.dll); in a "
                   "<VirtualHost>, off maps none of the main server's URLs there"),
    AP_INIT_TAKE1("KarvelBackendDir", AsCommand(SetBackendDir), nullptr, RSRC_CONF | ACCESS_CONF,
                  "the directory whose programs forms may start"),
    AP_INIT_TAKE1("KarvelTempDir", AsCommand(SetTempDir), nullptr, RSRC_CONF | ACCESS_CONF,
                  "the directory for exchange files (and uploads, without KarvelUploadDir)"),
    AP_INIT_TAKE1("KarvelUploadDir", AsCommand(SetUploadDir), nullptr, RSRC_CONF | ACCESS_CONF,
                  "the directory for requests' uploads (default: beside their exchange files)"),
    AP_INIT_TAKE1("KarvelDebugCopyDir", AsCommand(SetDebugCopyDir), nullptr, RSRC_CONF | ACCESS_CONF,
                  "where the debug-copy build of the extension leaves its copies of exchange files (default: "
                  "beside the back-end program)"),
    AP_INIT_TAKE1("KarvelMaxFields", AsCommand(SetMaxFields), nullptr, RSRC_CONF | ACCESS_CONF,
                  "fields a request may send before it is refused with 413 (default 10000, 0: no limit)"),
    AP_INIT_TAKE1("KarvelBackendTimeout", AsCommand(SetBackendTimeout), nullptr, RSRC_CONF | ACCESS_CONF,
                  "how long a request waits for its back-end's answer (1500ms, 30s, 2m; not 0; default: until "
                  "the clock's minute has changed three times)"),
    AP_INIT_TAKE1("KarvelKillGrace", AsCommand(SetKillGrace), nullptr, RSRC_CONF | ACCESS_CONF,
                  "the time between SIGTERM and SIGKILL for the program of a request that gave up (default 5s)"),
    AP_INIT_TAKE1("KarvelStderrLogLevel", AsCommand(SetStderrLogLevel), nullptr, RSRC_CONF | ACCESS_CONF,
                  "the level back-end programs' standard error is logged at in the site's error log (default "
                  "error)"),
    AP_INIT_FLAG("KarvelPassRequestVars", AsCommand(ap_set_flag_slot),
                 reinterpret_cast<void*>(APR_OFFSETOF(SiteSettings, nPassRequestVars)), RSRC_CONF | ACCESS_CONF,
                 "on: programs also get the request's CGI variables (HTTP_HOST, HTTPS, HTTP_COOKIE, ...) in their "
                 "environment (default off)"),
    AP_INIT_FLAG("KarvelStopAbandoned", AsCommand(ap_set_flag_slot),
                 reinterpret_cast<void*>(APR_OFFSETOF(SiteSettings, nStopAbandoned)), RSRC_CONF | ACCESS_CONF,
                 "on: stop the program of a request that gave up and remove its files (default on)"),
    AP_INIT_TAKE1("KarvelFormCharset", AsCommand(SetFormCharset), nullptr, RSRC_CONF | ACCESS_CONF,
                  "the encoding the site's forms send: UTF-8, Shift_JIS, EUC-JP, ISO-2022-JP or auto (default: "
                  "auto, detected)"),
    AP_INIT_TAKE1("KarvelErrorStatus", AsCommand(SetErrorStatus), nullptr, RSRC_CONF | ACCESS_CONF,
                  "legacy (error pages with status 200, the default) or http (with the status that says what failed)"),
    AP_INIT_ITERATE("KarvelPassEnv", AsCommand(AddPassEnv), nullptr, RSRC_CONF | ACCESS_CONF,
                    "server environment variables back-end programs get"),
    AP_INIT_TAKE2("KarvelSetEnv", AsCommand(AddSetEnv), nullptr, RSRC_CONF | ACCESS_CONF,
                  "an environment variable and its value for back-end programs"),
    AP_INIT_TAKE_ARGV("KarvelResident", AsCommand(AddResident), nullptr, RSRC_CONF | ACCESS_CONF,
                      "PROGRAM [instances=N] [max-requests=M] [idle=SECONDS]: the program's requests go to instances "
                      "that answer one after another (defaults: twice the processors, 10000, 300)"),
    AP_INIT_TAKE1("KarvelMaxBackends", AsCommand(SetMaxBackends), nullptr, RSRC_CONF,
                  "back-end programs running at once, in the whole server (default 0: no cap); in a "
                  "<VirtualHost>, that site's programs at once within the server's cap (0: none of its own)"),
    AP_INIT_TAKE1("KarvelQueueTimeout", AsCommand(SetQueueTimeout), nullptr, RSRC_CONF,
                  "how long a request waits for a program slot before 503 (500ms, 30s, 2m; default 10s)"),
    AP_INIT_FLAG("KarvelWine", AsCommand(ap_set_flag_slot), reinterpret_cast<void*>(APR_OFFSETOF(SiteSettings, nWine)),
                 RSRC_CONF | ACCESS_CONF,
                 "on: Windows back-end programs run under Wine; off refuses them (default on)"),
    AP_INIT_TAKE2("KarvelWindowsPath", AsCommand(AddWindowsPath), nullptr, RSRC_CONF | ACCESS_CONF,
                  "a Windows directory (C:\\apps) and the directory it stands for, for Windows back-ends"),
    AP_INIT_TAKE1("KarvelWinePrefix", AsCommand(SetWinePrefix), nullptr, RSRC_CONF,
                  "the server user's Wine prefix, made by karvel-wine-setup (default /var/lib/karvel/wine); in a "
                  "<VirtualHost> with KarvelUserGroup, that user's own (karvel-wine-setup --user USER)"),
    AP_INIT_FLAG("KarvelSpawner", AsCommand(SetSpawner), nullptr, RSRC_CONF,
                 "off: the extension starts programs itself, without the spawner's supervision (default on)"),
    AP_INIT_TAKE2("KarvelUserGroup", AsCommand(SetUserGroup), nullptr, RSRC_CONF,
                  "the user and group the site's back-end programs run as (default: the server's)"),
    AP_INIT_TAKE1("KarvelMinUid", AsCommand(SetMinUid), nullptr, RSRC_CONF,
                  "the lowest user id KarvelUserGroup may name (default 1000)"),
    AP_INIT_TAKE1("KarvelMinGid", AsCommand(SetMinGid), nullptr, RSRC_CONF,
                  "the lowest group id KarvelUserGroup may name (default 1000)"),
    {nullptr, {nullptr}, nullptr, 0, RAW_ARGS, nullptr},
};

int PreConfig(apr_pool_t* pconf, apr_pool_t*, apr_pool_t*) {
  g_extensions = apr_hash_make(pconf);
  ForgetMissingRequestDirectories();
  return OK;
}

// Each request through the extension waits for its back-end's answer, up to minutes. Under an MPM
// without threads (prefork) each waiting request holds a whole child process: said at each start.
void WarnOfAnUnthreadedMpm(server_rec* server) {
  if (ap_state_query(AP_SQ_MAIN_STATE) == AP_SQ_MS_CREATE_PRE_CONFIG) return;  // the check's reading
  int threaded = AP_MPMQ_NOT_SUPPORTED;
  if (ap_mpm_query(AP_MPMQ_IS_THREADED, &threaded) != APR_SUCCESS || threaded != AP_MPMQ_NOT_SUPPORTED) return;
  ap_log_error(APLOG_MARK, APLOG_WARNING, 0, server,
               "karvel: the %s MPM runs no threads: each request waiting for its back-end's answer holds a whole "
               "child process (its memory and a MaxRequestWorkers place) until the answer; the event or worker "
               "MPM serves such waits with threads",
               ap_show_mpm());
}

// Each site's own cap by its place in the server's list (the main server first: it has none of its
// own, its KarvelMaxBackends being the server's); *count the sites.
const int* SiteCaps(apr_pool_t* pool, server_rec* server, int* count) {
  *count = 0;
  for (server_rec* s = server; s != nullptr; s = s->next) ++*count;
  int* caps = static_cast<int*>(apr_pcalloc(pool, sizeof(int) * static_cast<size_t>(*count)));
  int index = 0;
  for (server_rec* s = server; s != nullptr; s = s->next, ++index) {
    const auto* config = static_cast<KarvelServerConfig*>(ap_get_module_config(s->module_config, &karvel_module));
    caps[index] = s->is_virtual && config->nSiteMaxBackends != kUnset ? config->nSiteMaxBackends : 0;
  }
  return caps;
}

int PostConfig(apr_pool_t* pconf, apr_pool_t*, apr_pool_t*, server_rec* server) {
  const auto* config = static_cast<KarvelServerConfig*>(ap_get_module_config(server->module_config, &karvel_module));
  WarnOfAnUnthreadedMpm(server);
  int sites = 0;
  const int* siteCaps = SiteCaps(pconf, server, &sites);
  const SpawnerSettings settings{config->spawner.nMaxBackends != kUnset ? config->spawner.nMaxBackends : 0,
                                 config->spawner.nQueueTimeoutMs != kUnset ? config->spawner.nQueueTimeoutMs
                                                                           : kDefaultQueueTimeoutMs,
                                 config->spawner.bOn != 0,
                                 config->spawner.szWinePrefix != nullptr ? config->spawner.szWinePrefix : kDefaultWinePrefix,
                                 siteCaps, sites};
  // The first reading of the configuration only checks it.
  if (ap_state_query(AP_SQ_MAIN_STATE) == AP_SQ_MS_CREATE_PRE_CONFIG) return OK;
  return StartSpawner(pconf, server, settings, KeepStatusBoard(server));
}

// The sites' users, checked with the configuration, so that apachectl -t refuses what the start
// would (whoever runs the check: only the start must be root's).
int CheckConfig(apr_pool_t* pconf, apr_pool_t*, apr_pool_t*, server_rec* server) {
  const auto* config = static_cast<KarvelServerConfig*>(ap_get_module_config(server->module_config, &karvel_module));
  const bool starting = ap_state_query(AP_SQ_RUN_MODE) != AP_SQ_RM_CONFIG_TEST;
  // Before the sites' own directories are made in them.
  if (starting && !MakeMissingRequestDirectories(server)) return HTTP_INTERNAL_SERVER_ERROR;
  if (const char* failure = CheckSiteUsers(pconf, server, config->spawner.bOn != 0, starting)) {
    ap_log_error(APLOG_MARK, APLOG_STARTUP | APLOG_CRIT, 0, server, "%s", failure);
    return HTTP_INTERNAL_SERVER_ERROR;
  }
  const char* serverPrefix = config->spawner.szWinePrefix != nullptr ? config->spawner.szWinePrefix : kDefaultWinePrefix;
  if (const char* failure = CheckSiteWinePrefixes(pconf, server, serverPrefix)) {
    ap_log_error(APLOG_MARK, APLOG_STARTUP | APLOG_CRIT, 0, server, "%s", failure);
    return HTTP_INTERNAL_SERVER_ERROR;
  }
  return OK;
}

void ChildInit(apr_pool_t* pchild, server_rec* server) {
  RaiseDescriptorLimit();
  if (!OpenContentSniffer()) {
    ap_log_error(APLOG_MARK, APLOG_WARNING, 0, server, "libmagic unavailable: raw replies are sent as application/octet-stream");
  }
  for (apr_hash_index_t* i = apr_hash_first(pchild, g_extensions); i != nullptr; i = apr_hash_next(i)) {
    auto* extension = static_cast<LoadedExtension*>(apr_hash_this_val(i));
    const char* failure = LoadExtensionFile(pchild, extension);
    if (failure == nullptr) failure = InitialiseExtension(pchild, extension);
    if (failure != nullptr) {
      // APEXIT_CHILDFATAL makes the parent stop the whole server rather than start children forever.
      ap_log_error(APLOG_MARK, APLOG_EMERG, 0, server, "%s", failure);
      std::_Exit(APEXIT_CHILDFATAL);
    }
  }
}

// The mapping whose URL begins the request's URI (at a '/' or its end), compared exactly or, with
// `anyCase`, without regard to case.
const ExtensionMapping* FindMapping(request_rec* r, bool anyCase, size_t* urlLength) {
  auto* config = static_cast<KarvelServerConfig*>(ap_get_module_config(r->server->module_config, &karvel_module));
  const auto* mappings = reinterpret_cast<const ExtensionMapping*>(config->pMappings->elts);
  for (int i = 0; i < config->pMappings->nelts; ++i) {
    const size_t length = std::strlen(mappings[i].szUrl);
    const bool begins = anyCase ? strncasecmp(r->uri, mappings[i].szUrl, length) == 0
                                : std::strncmp(r->uri, mappings[i].szUrl, length) == 0;
    if (begins && (r->uri[length] == '\0' || r->uri[length] == '/')) {
      *urlLength = length;
      return &mappings[i];
    }
  }
  return nullptr;
}

// Forms written for IIS spell the extension's URL in any case, but Apache's <Location> sections
// (authentication above all) match the URL as configured, case and all. A request that names the
// extension in another spelling is sent to the configured one (308 keeps the method and body), so
// it reaches the extension only through the access control of that URL.
int RedirectToConfiguredSpelling(request_rec* r, const ExtensionMapping* mapping, size_t urlLength) {
  const char* path = ap_escape_uri(r->pool, apr_pstrcat(r->pool, mapping->szUrl, r->uri + urlLength, nullptr));
  const char* location = r->args != nullptr ? apr_pstrcat(r->pool, path, "?", r->args, nullptr) : path;
  apr_table_setn(r->headers_out, "Location", location);
  return HTTP_PERMANENT_REDIRECT;
}

int TranslateName(request_rec* r) {
  if (r->uri == nullptr || r->uri[0] != '/') return DECLINED;
  size_t urlLength = 0;
  const ExtensionMapping* mapping = FindMapping(r, false, &urlLength);
  if (mapping == nullptr) {
    mapping = FindMapping(r, true, &urlLength);
    return mapping != nullptr ? RedirectToConfiguredSpelling(r, mapping, urlLength) : DECLINED;
  }
  auto* mapped = static_cast<MappedRequest*>(apr_palloc(r->pool, sizeof(MappedRequest)));
  mapped->pMapping = mapping;
  mapped->szPathInfo = apr_pstrdup(r->pool, r->uri + urlLength);
  r->handler = kHandlerName;
  ap_set_module_config(r->request_config, &karvel_module, mapped);
  // The URL is still mapped into the site's documents as any URL is (the core, Alias ...), so the
  // site's <Directory> sections apply to it, settings and access control alike, as they apply to
  // a handler such as mod_status.
  return DECLINED;
}

const char* TranslatePathInfo(request_rec* r, const char* pathInfo) {
  if (pathInfo[0] == '\0') return "";
  request_rec* lookup = ap_sub_req_lookup_uri(ap_escape_uri(r->pool, pathInfo), r, nullptr);
  const char* translated = "";
  if (lookup->filename != nullptr) {
    translated = apr_pstrcat(r->pool, lookup->filename, lookup->path_info ? lookup->path_info : "", nullptr);
  }
  ap_destroy_sub_req(lookup);
  return translated;
}

int StatusHandler(request_rec* r) {
  if (r->handler == nullptr) return DECLINED;
  if (std::strcmp(r->handler, kStatusHandlerName) == 0) return ShowSpawnerStatus(r);
  if (std::strcmp(r->handler, kHealthHandlerName) == 0) return ShowHealth(r);
  return DECLINED;
}

// Before any handler: a request the extension will serve (as Handler takes it) is marked for the
// status board's count.
int MarkForCount(request_rec* r) {
  if (ap_get_module_config(r->request_config, &karvel_module) != nullptr) MarkExtensionRequest(r);
  return DECLINED;
}

int Handler(request_rec* r) {
  const auto* mapped = static_cast<const MappedRequest*>(ap_get_module_config(r->request_config, &karvel_module));
  if (mapped == nullptr) return DECLINED;
  LoadedExtension* extension = mapped->pMapping->pExtension;
  if (extension->pfnHttpExtensionProc == nullptr) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "ISAPI extension %s is not loaded in this process", extension->szPath);
    return HTTP_INTERNAL_SERVER_ERROR;
  }
  ScriptPaths paths{mapped->pMapping->szUrl, mapped->szPathInfo, TranslatePathInfo(r, mapped->szPathInfo)};
  // The rest of the URL after the extension's is the request's path info, for Apache's own CGI
  // variables too (SCRIPT_NAME is the extension's URL), not what the walk of the files left.
  r->path_info = apr_pstrdup(r->pool, mapped->szPathInfo);
  return RunExtension(r, extension, &paths);
}

void RegisterHooks(apr_pool_t*) {
  ap_hook_pre_config(PreConfig, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_post_config(PostConfig, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_check_config(CheckConfig, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_child_init(ChildInit, nullptr, nullptr, APR_HOOK_MIDDLE);
  // First, so that the extension's URL is known as such whoever maps it to a file afterwards.
  ap_hook_translate_name(TranslateName, nullptr, nullptr, APR_HOOK_FIRST);
  ap_hook_handler(Handler, nullptr, nullptr, APR_HOOK_FIRST);
  ap_hook_handler(StatusHandler, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_handler(MarkForCount, nullptr, nullptr, APR_HOOK_REALLY_FIRST);
  // Where mod_log_config logs the request: each is counted once, as the access log has it.
  ap_hook_log_transaction(CountRequestOnBoard, nullptr, nullptr, APR_HOOK_MIDDLE);
  // The board's section in mod_status's /server-status, where mod_status is loaded.
  APR_OPTIONAL_HOOK(ap, status_hook, ShowInServerStatus, nullptr, nullptr, APR_HOOK_MIDDLE);
}
}  // namespace

extern "C" {
module AP_MODULE_DECLARE_DATA karvel_module = {
    STANDARD20_MODULE_STUFF,
    CreateSiteSettings,  // per-directory config
    MergeSiteSettings,   // merge per-directory config
    CreateServerConfig,  // per-server config
    MergeServerConfig,   // merge per-server config
    kDirectives,
    RegisterHooks,
    // Every virtual host gets its own merged configuration, also one without a directive of ours:
    // Apache would otherwise hand it the main server's record itself, and what the main server
    // says of its own section (its Wine prefix) would read as the host's.
    AP_MODULE_FLAG_ALWAYS_MERGE,
};
}
