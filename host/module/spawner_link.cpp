#include "host/module/spawner_link.h"

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <ap_listen.h>
#include <apr_strings.h>
#include <http_config.h>
#include <http_core.h>
#include <http_log.h>
#include <mpm_common.h>
#include <unixd.h>
#include <util_script.h>

#include "host/module/client_connection.h"
#include "host/module/lent_channels.h"
#include "host/module/site_settings.h"
#include "host/module/spawner_board.h"
#include "host/module/status_board.h"
#include "host/module/site_users.h"
#include "host/spawner/site_user.h"
#include "platform/windows_paths.h"
#include "host/spawner/spawner.h"
#include "host/spawner/switch_user.h"
#include "host/spawner/resident_channel.h"
#include "host/spawner/resident_pool.h"
#include "host/spawner/spawner_protocol.h"
#include "host/spawner/wine_host.h"
#include "platform/program_path.h"

APLOG_USE_MODULE(karvel);

// The child that sends an order and the spawner that logs for it are forks of the parent that read
// the configuration: a site named alike at the same place is the same.
std::string SiteKey(const server_rec* site) {
  return std::string(site->defn_name != nullptr ? site->defn_name : "") + ":" + std::to_string(site->defn_line_number) +
         " " + (site->server_hostname != nullptr ? site->server_hostname : "");
}

namespace {

constexpr const char* kDefaultPath = "/usr/local/bin:/usr/bin:/bin";
// Children connecting to the spawner at once (Apache's own listen backlog).
constexpr int kListenBacklog = 511;
// How long the status page waits for the spawner's status.
constexpr time_t kStatusWaitSeconds = 5;
constexpr int kDefaultKillGraceMs = 5000;
// How much longer than the queue's time-out a request waits for the spawner's word.
constexpr int kReplyMarginSeconds = 5;
// While a request waits for a slot, or for a spawner to connect to, its client is looked at this
// often: one that left gives up its place.
constexpr int kClientCheckMilliseconds = 1000;
// With no spawner to connect to (it ended, and Apache's parent starts it again), how soon the
// request tries again.
constexpr int kReconnectMilliseconds = 100;
// A request that waits for one of its pool's lent instances looks again at least this often (a
// wake-up meant for another pool that shares its bit is not lost for longer).
constexpr int kLentWaitMilliseconds = 100;
// One that has waited this long joins the spawner's queue instead, where it competes with the
// orders waiting there (the spawner may hold an instance of its pool for them, or need the room).
constexpr int kLentAskAfterMilliseconds = 250;
// AwaitReply's word for a reply that did not come in time.
constexpr uint32_t kNoReplyInTime = 0xFFFFFFFFu;

// Set in the parent, inherited by every child.
const char* g_socketPath = nullptr;
SpawnerSettings g_settings{0, kDefaultQueueTimeoutMs, 1, nullptr, nullptr, 0};
server_rec* g_server = nullptr;
apr_pool_t* g_pool = nullptr;
StatusBoard* g_board = nullptr;  // the server's lasting status; null when it could not be made
SiteUsers* g_users = nullptr;    // who each site's programs run as; null when all run as the server's user

// A spawner Apache's parent watches: this generation's (started again when it dies), or one of an
// earlier generation still finishing its programs (only waited for).
struct WatchedSpawner {
  apr_proc_t proc;
  bool current;
  bool ended;  // reaped: its pid is no longer its own
};

static_assert(kNoAnswerReasonRoom == kResidentReasonLimit + 1, "a run holds a whole reason");
static_assert(kLogLevelError == APLOG_ERR && kLogLevelWarning == APLOG_WARNING && kLogLevelHighest == APLOG_TRACE8,
              "the spawner's level numbers are Apache's");

// The site's place in the server's list (0: the main server).
uint32_t SiteIndex(const server_rec* site) {
  uint32_t index = 0;
  for (const server_rec* s = g_server; s != nullptr; s = s->next, ++index) {
    if (s == site) return index;
  }
  return 0;
}

// The site a spawner's line is for, checked against the list this process knows: nullptr when
// the order came from a child of another reading of the configuration (one still serving across a
// graceful restart) whose site is not at that place here.
server_rec* SiteOfLine(const SpawnerLogLine& line) {
  if (line.site == kNoSite) return g_server;
  uint32_t index = 0;
  for (server_rec* s = g_server; s != nullptr; s = s->next, ++index) {
    if (index == line.site) return SiteKey(s) == line.siteName ? s : nullptr;
  }
  return nullptr;
}

// The spawner's lines, in the spawner: each in its site's error log at its level (the site's
// LogLevel decides whether it is written), with the request's client as Apache's request lines
// show it. A line whose site is not known here goes to the main server's log, naming the site.
void WriteToErrorLog(void*, const SpawnerLogLine& line) {
  const int level = static_cast<int>(line.level);
  const char* clientOpen = line.client[0] != '\0' ? "[client " : "";
  const char* clientClose = line.client[0] != '\0' ? "] " : "";
  if (server_rec* site = SiteOfLine(line)) {
    ap_log_error(APLOG_MARK, level, 0, site, "%s%s%s%s", clientOpen, line.client, clientClose, line.text);
  } else {
    ap_log_error(APLOG_MARK, level, 0, g_server, "%s%s%s%s (for the site %s, not known to this configuration)",
                 clientOpen, line.client, clientClose, line.text, line.siteName);
  }
}

int Listen(const char* path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::strcpy(address.sun_path, path);
  unlink(path);
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, kListenBacklog) != 0) {
    const int failure = errno;
    close(fd);
    errno = failure;
    return -1;
  }
  // The children connect as the server's user.
  if (geteuid() == 0) chown(path, ap_unixd_config.user_id, ap_unixd_config.group_id);
  chmod(path, 0600);
  return fd;
}

void Maintain(int reason, void* data, int);

// A spawner's slot is held for it before the fork (so the spawner knows it from its first round)
// under this pid, then given the spawner's own.
constexpr int32_t kSlotBeingForked = -1;

void WatchSpawner(WatchedSpawner* spawner, apr_pool_t* pool) {
  apr_proc_other_child_register(&spawner->proc, Maintain, spawner, nullptr, pool);
}

// Forks the spawner on a fresh listener at g_socketPath.
bool Fork(WatchedSpawner* spawner) {
  apr_proc_t* proc = &spawner->proc;
  const int listener = Listen(g_socketPath);
  if (listener < 0) {
    ap_log_error(APLOG_MARK, APLOG_CRIT, errno, g_server, "karvel: cannot listen at %s for the spawner", g_socketPath);
    return false;
  }
  int generation = 0;
  ap_mpm_query(AP_MPMQ_GENERATION, &generation);
  const int slot = g_board != nullptr ? ClaimSpawnerSlot(g_board, kSlotBeingForked, static_cast<uint64_t>(generation)) : -1;
  if (g_board != nullptr && slot < 0) {
    ap_log_error(APLOG_MARK, APLOG_WARNING, 0, g_server,
                 "karvel: the status board shows %d spawners at most; this one's programs are not shown",
                 static_cast<int>(kBoardSpawners));
  }
  const pid_t pid = fork();
  if (pid < 0) {
    close(listener);
    if (slot >= 0) FreeSpawnerSlot(g_board, kSlotBeingForked);
    ap_log_error(APLOG_MARK, APLOG_CRIT, errno, g_server, "karvel: cannot fork the spawner");
    return false;
  }
  if (pid == 0) {
    // The spawner: the server's user, Apache's signals off, its own loop until told to end.
    signal(SIGUSR1, SIG_IGN);
    signal(SIGWINCH, SIG_IGN);
    signal(SIGINT, SIG_IGN);
    // Apache's listening sockets are the children's business; held here they would keep the
    // server's ports taken while the spawner finishes after the server stopped.
    ap_close_listeners();
    RaiseDescriptorLimit();
    // Where sites have users of their own, the spawner keeps what switching to them needs, and no
    // more of root's (switch_user.h).
    const bool switching = g_users != nullptr && geteuid() == 0;
    if (switching && !KeepCapabilitiesAcrossDrop()) _exit(1);
    if (geteuid() == 0 && ap_run_drop_privileges(g_pool, g_server) != 0) _exit(1);
    if (switching && !KeepOnlyUserSwitching()) {
      ap_log_error(APLOG_MARK, APLOG_CRIT, errno, g_server,
                   "karvel: the spawner cannot keep the capabilities to run programs as the sites' users");
      _exit(1);
    }
    const SpawnerLog log{WriteToErrorLog, nullptr};
    const WineSettings wine{InstalledWineLoader(), g_settings.szWinePrefix};
    SpawnerOnBoard where{g_board, slot >= 0 ? &g_board->spawners[slot] : nullptr};
    if (where.slot != nullptr) where.slot->pid.store(static_cast<int32_t>(getpid()));
    const SpawnerBoard board = SpawnerBoardFor(&where);
    const int status = RunSpawner(listener, log, &wine, where.slot != nullptr ? &board : nullptr, g_users);
    _exit(status);
  }
  close(listener);
  if (slot >= 0) g_board->spawners[slot].pid.store(static_cast<int32_t>(pid));
  proc->pid = pid;
  spawner->ended = false;
  WatchSpawner(spawner, g_pool);
  return true;
}

// Apache's parent watches the spawner as it watches mod_cgid's daemon: one that died is started
// again, unless the server is stopping. A spawner of an earlier generation stays registered until
// it ended, so that the parent, which reaps it, knows it as its own (and logs no lost child).
void Maintain(int reason, void* data, int) {
  auto* spawner = static_cast<WatchedSpawner*>(data);
  switch (reason) {
    case APR_OC_REASON_DEATH:
    case APR_OC_REASON_LOST: {
      spawner->ended = true;
      if (g_board != nullptr) FreeSpawnerSlot(g_board, static_cast<int32_t>(spawner->proc.pid));
      apr_proc_other_child_unregister(data);
      if (!spawner->current) break;
      int state = AP_MPMQ_STOPPING;
      if (ap_mpm_query(AP_MPMQ_MPM_STATE, &state) == APR_SUCCESS && state != AP_MPMQ_STOPPING) {
        ap_log_error(APLOG_MARK, APLOG_ERR, 0, g_server, "karvel: the spawner ended; starting it again");
        Fork(spawner);
      }
      break;
    }
    case APR_OC_REASON_RESTART:
      apr_proc_other_child_unregister(data);
      break;
    case APR_OC_REASON_UNREGISTER:
      // The configuration's pool goes (a restart or the stop): the spawner finishes and ends.
      if (!spawner->ended) kill(spawner->proc.pid, SIGHUP);
      break;
    default:
      break;
  }
}

int64_t Limit(const rlimit* limit, bool hard) {
  if (limit == nullptr) return -1;
  const rlim_t value = hard ? limit->rlim_max : limit->rlim_cur;
  return value == RLIM_INFINITY ? -1 : static_cast<int64_t>(value);
}

// Whether a request variable stays out of a program's environment: credentials (which httpd's
// own helpers leave out already, unless told otherwise) and what karvel sets itself.
bool KeptFromPrograms(const char* name) {
  for (const char* kept : {"HTTP_AUTHORIZATION", "HTTP_PROXY_AUTHORIZATION", "HTTP_PROXY", "PATH"}) {
    if (strcasecmp(name, kept) == 0) return true;
  }
  return false;
}

// The program's whole environment: nothing of the server's but what the site passes on; with
// KarvelPassRequestVars on, first the request's CGI variables, built as mod_cgid builds them. A
// resident instance serves many requests: it gets none of one request's variables.
std::vector<std::string> Environment(request_rec* r, const SiteSettings& site, const KARVEL_PROGRAM_START& start,
                                     bool resident) {
  std::vector<std::string> environment;
  auto set = [&environment](const std::string& name, const std::string& value) {
    SetOrderVariable(&environment, name + "=" + value);
  };
  if (site.nPassRequestVars == 1 && !resident) {
    ap_add_common_vars(r);
    ap_add_cgi_vars(r);
    const apr_array_header_t* variables = apr_table_elts(r->subprocess_env);
    const auto* entries = reinterpret_cast<const apr_table_entry_t*>(variables->elts);
    for (int k = 0; k < variables->nelts; ++k) {
      if (entries[k].key != nullptr && entries[k].val != nullptr && !KeptFromPrograms(entries[k].key)) {
        set(entries[k].key, entries[k].val);
      }
    }
  }
  set("PATH", kDefaultPath);
  for (const char* name : {"LANG", "LC_ALL"}) {
    if (const char* value = std::getenv(name)) set(name, value);
  }
  const std::string exchange = start.pszArgument;
  set("TMPDIR", exchange.substr(0, exchange.find_last_of('/') == std::string::npos ? 0 : exchange.find_last_of('/')));
  set(KARVEL_SETTING_BACKEND_DIR, start.pszBackendDirectory);
  if (site.pPassEnv != nullptr) {
    const auto* names = reinterpret_cast<const char* const*>(site.pPassEnv->elts);
    for (int k = 0; k < site.pPassEnv->nelts; ++k) {
      if (const char* value = std::getenv(names[k])) set(names[k], value);
    }
  }
  if (site.pSetEnv != nullptr) {
    const apr_array_header_t* pairs = apr_table_elts(site.pSetEnv);
    const auto* entries = reinterpret_cast<const apr_table_entry_t*>(pairs->elts);
    for (int k = 0; k < pairs->nelts; ++k) set(entries[k].key, entries[k].val);
  }
  // A program has only its exchange file's path: where the site keeps uploads apart, it is told
  // where (as a Windows path under Wine), and told nothing otherwise, whatever the server's own
  // environment held, lest it look for its uploads in the wrong place.
  environment.erase(std::remove_if(environment.begin(), environment.end(),
                                   [](const std::string& variable) {
                                     return variable.rfind(KARVEL_SETTING_UPLOAD_DIR "=", 0) == 0;
                                   }),
                    environment.end());
  if (const char* uploads = SiteSettingVariable(r, KARVEL_SETTING_UPLOAD_DIR)) {
    CHAR windows[MAX_PATH + 2];
    if (!start.bUnderWine) {
      set(KARVEL_SETTING_UPLOAD_DIR, uploads);
    } else if (WindowsPathOf(uploads, windows, sizeof windows)) {
      set(KARVEL_SETTING_UPLOAD_DIR, windows);
    }
  }
  return environment;
}

// The request's log id, as %L in the logs shows it; made now when no log line has needed it yet.
const char* LogId(request_rec* r) {
  if (r->log_id == nullptr) {
    const char* id = nullptr;
    if (ap_run_generate_log_id(r->connection, r, &id) == OK && id != nullptr) r->log_id = id;
  }
  return r->log_id != nullptr ? r->log_id : "-";
}

const char* Label(apr_pool_t* pool, const KARVEL_PROGRAM_START& start) {
  const size_t length = std::strlen(start.pszBackendDirectory);
  if (std::strncmp(start.pszProgram, start.pszBackendDirectory, length) == 0 && start.pszProgram[length] == '/') {
    return apr_pstrdup(pool, start.pszProgram + length + 1);
  }
  return apr_pstrdup(pool, start.pszProgram);
}

int Connect() {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, g_socketPath, sizeof address.sun_path - 1);
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The thread's connection to the spawner, kept from one request to the next while the spawner
// keeps it; closed with the thread.
struct KeptConnection {
  int fd = -1;
  ~KeptConnection() {
    if (fd >= 0) close(fd);
  }
};
thread_local KeptConnection t_kept;

// What a kStarted may carry: a resident instance's channel, the spawner's lent line, the
// instance's standard error.
constexpr size_t kPassedDescriptors = 3;
void CloseDescriptors(int* descriptors) {
  for (size_t k = 0; k < kPassedDescriptors; ++k) {
    if (descriptors[k] >= 0) close(descriptors[k]);
    descriptors[k] = -1;
  }
}

int MillisecondsUntil(apr_time_t deadline) {
  const apr_time_t left = deadline - apr_time_now();
  return left <= 0 ? 0 : static_cast<int>(std::min<apr_time_t>(apr_time_as_msec(left) + 1, INT32_MAX));
}

// The spawner's reply to an order sent on `fd`, waited for until `deadline` while the client stays:
// its type; 0 when the connection ended without one, kNoReplyInTime at the deadline, 0 with
// *clientGone once the client left. A kExited, kAnswered or kUnanswered of the thread's previous
// program, sent before the spawner read that request's kDone, is passed over.
uint32_t AwaitReply(request_rec* r, int fd, apr_time_t deadline, char* buffer, size_t size, const char** payload,
                    size_t* length, bool* clientGone, int* descriptors) {
  for (;;) {
    const int left = MillisecondsUntil(deadline);
    if (left == 0) return kNoReplyInTime;
    pollfd reply{fd, POLLIN, 0};
    const int ready = poll(&reply, 1, std::min(left, kClientCheckMilliseconds));
    if (ready > 0) {
      // A spawner that closed the connection with our order unread (it is ending) said kClosing
      // first: the reset is read past to it, and the order goes again.
      const uint32_t type =
          ReceivePacket(fd, buffer, size, payload, length, MSG_DONTWAIT, true, descriptors, kPassedDescriptors);
      if (type == kExited || type == kAnswered || type == kUnanswered) {
        CloseDescriptors(descriptors);
        continue;
      }
      return type == kNoPacketYet ? kNoPacket : type;
    }
    if (ready < 0 && errno != EINTR) return 0;
    if (!ClientConnected(r->connection)) {
      *clientGone = true;
      return 0;
    }
  }
}

// Sends the order and waits for the reply: on the thread's kept connection, or on a new one when
// there is none or the spawner closed the kept one before reading it (kClosing, or the send
// failed). A spawner that is not there, or ended before it replied, is waited for until
// `deadline` (the queue's time-out), as a slot is. The reply's type, 0 when none came (the client
// left: *clientGone); *fd the connection it came on, descriptors[0..kPassedDescriptors) those passed
// with it (-1: none).
uint32_t SendOrder(request_rec* r, const std::string& order, apr_time_t deadline, int* fd, char* reply,
                   size_t size, const char** payload, size_t* length, bool* clientGone, int* descriptors) {
  *fd = t_kept.fd;
  t_kept.fd = -1;
  bool missed = false;  // the spawner was not there: logged once a request
  for (;;) {
    if (*fd < 0) *fd = Connect();
    if (*fd >= 0) {
      const apr_time_t replyBy =
          apr_time_now() + apr_time_from_msec(g_settings.nQueueTimeoutMs) + apr_time_from_sec(kReplyMarginSeconds);
      const bool sent = SendPacket(*fd, kSpawn, order);
      const uint32_t type =
          sent ? AwaitReply(r, *fd, replyBy, reply, size, payload, length, clientGone, descriptors) : 0;
      if (type != 0 && type != kClosing) return type == kNoReplyInTime ? 0 : type;
      CloseDescriptors(descriptors);
      close(*fd);
      *fd = -1;
      if (*clientGone) return 0;
      // The order goes again only where the spawner provably did not read it: it said kClosing,
      // or the send itself failed (a connection it had closed). A spawner that ended after the
      // order was sent may have started the program: it is not started a second time.
      if (sent && type != kClosing) return 0;
      if (apr_time_now() < deadline) continue;
    }
    if (!missed) {
      missed = true;
      ap_log_rerror(APLOG_MARK, APLOG_WARNING, errno, r, "karvel: no spawner at %s; the request waits for it",
                    g_socketPath);
    }
    if (apr_time_now() >= deadline) return 0;
    poll(nullptr, 0, std::min(kReconnectMilliseconds, MillisecondsUntil(deadline)));
    if (!ClientConnected(r->connection)) {
      *clientGone = true;
      return 0;
    }
  }
}

// The spawners of earlier generations that still finish their programs (their slots on the
// board say which), registered again with this generation's pool.
void WatchEarlierSpawners(apr_pool_t* pconf) {
  if (g_board == nullptr) return;
  for (BoardSpawner& slot : g_board->spawners) {
    const int32_t pid = slot.pid.load();
    if (pid <= 0) continue;
    if (kill(pid, 0) != 0 && errno == ESRCH) {
      FreeSpawnerSlot(g_board, pid);
      continue;
    }
    auto* spawner = static_cast<WatchedSpawner*>(apr_pcalloc(pconf, sizeof(WatchedSpawner)));
    spawner->proc.pid = pid;
    WatchSpawner(spawner, pconf);
  }
}

}  // namespace

int StartSpawner(apr_pool_t* pconf, server_rec* server, const SpawnerSettings& settings, StatusBoard* board) {
  // The first reading of the configuration only checks it.
  if (ap_state_query(AP_SQ_MAIN_STATE) == AP_SQ_MS_CREATE_PRE_CONFIG) return OK;
  g_settings = settings;
  g_socketPath = nullptr;
  g_board = board;
  WatchEarlierSpawners(pconf);
  if (!settings.bOn) return OK;
  g_server = server;
  g_pool = pconf;
  // The table lives as long as this reading of the configuration; the spawner forked from it keeps
  // its copy.
  g_users = nullptr;
  if (AnySiteUser(server)) {
    g_users = new SiteUsers;
    CollectSiteUsers(server, g_users);
    apr_pool_cleanup_register(
        pconf, g_users,
        [](void* users) -> apr_status_t {
          delete static_cast<SiteUsers*>(users);
          if (g_users == users) g_users = nullptr;
          return APR_SUCCESS;
        },
        apr_pool_cleanup_null);
  }
  g_socketPath = ap_runtime_dir_relative(pconf, apr_psprintf(pconf, "karvel-spawner.%ld.sock", static_cast<long>(getpid())));
  auto* spawner = static_cast<WatchedSpawner*>(apr_pcalloc(pconf, sizeof(WatchedSpawner)));
  spawner->current = true;
  // Programs start only through the spawner: a server that cannot start it does not start.
  return Fork(spawner) ? OK : HTTP_INTERNAL_SERVER_ERROR;
}

namespace {

// How long a request waits for its answer where KarvelBackendTimeout is not set (the extension's
// third change of the minute: three minutes at most).
constexpr int kDefaultAnswerWaitMs = 180000;

// The site's KarvelResident line that names the request's program (resolved in the back-end
// directory as the extension resolved it: the same file); nullptr when none does.
const ResidentProgram* ResidentLineFor(const SiteSettings& site, const KARVEL_PROGRAM_START& start) {
  if (site.pResident == nullptr) return nullptr;
  const auto* lines = reinterpret_cast<const ResidentProgram*>(site.pResident->elts);
  // The usual case first, without a look at the disk: the extension's resolved path is the back-end
  // directory and the line's name as they stand (no link, no "..", nothing relative on the way).
  const size_t dirLength = std::strlen(start.pszBackendDirectory);
  const size_t cut = dirLength > 0 && start.pszBackendDirectory[dirLength - 1] == '/' ? dirLength - 1 : dirLength;
  if (std::strncmp(start.pszProgram, start.pszBackendDirectory, cut) == 0 && start.pszProgram[cut] == '/') {
    for (int k = 0; k < site.pResident->nelts; ++k) {
      if (std::strcmp(start.pszProgram + cut + 1, lines[k].szProgram) == 0) return &lines[k];
    }
  }
  for (int k = 0; k < site.pResident->nelts; ++k) {
    char resolved[MAX_PATH];
    if (ResolveProgramInDirectory(start.pszBackendDirectory, lines[k].szProgram, resolved, sizeof resolved) &&
        std::strcmp(resolved, start.pszProgram) == 0) {
      return &lines[k];
    }
  }
  return nullptr;
}

// The order for the request's program: the spawner's settings, the site's, the core's resource
// limits, the program's strings and whole environment (encoded only where it goes to the spawner).
void BuildOrder(request_rec* r, const KARVEL_PROGRAM_START& start, const char* label, SpawnOrderText* built) {
  const auto* site = static_cast<const SiteSettings*>(ap_get_module_config(r->per_dir_config, &karvel_module));
  const auto* core = static_cast<const core_dir_config*>(ap_get_core_module_config(r->per_dir_config));
  SpawnOrderText& order = *built;
  order.fixed.maxBackends = static_cast<uint32_t>(g_settings.nMaxBackends);
  order.fixed.queueTimeoutMs = static_cast<uint32_t>(g_settings.nQueueTimeoutMs);
  order.fixed.killGraceMs = static_cast<uint32_t>(site->nKillGraceMs != kUnset ? site->nKillGraceMs : kDefaultKillGraceMs);
  order.fixed.stopAbandoned = site->nStopAbandoned != 0 ? 1 : 0;  // on unless set off
  order.fixed.wine = site->nWine != 0 ? 1 : 0;  // on unless set off
  order.fixed.underWine = start.bUnderWine ? 1 : 0;
  const rlimit* limits[kLimitCount] = {core->limit_cpu, core->limit_mem, core->limit_nproc};
  for (int k = 0; k < kLimitCount; ++k) {
    order.fixed.limits[k][0] = Limit(limits[k], false);
    order.fixed.limits[k][1] = Limit(limits[k], true);
  }
  order.strings[kProgram] = start.pszProgram;
  order.strings[kArgument] = start.pszArgument;
  order.strings[kLabel] = label;
  order.strings[kLogId] = LogId(r);
  order.strings[kUploadDirectory] = start.pszUploadDirectory != nullptr ? start.pszUploadDirectory : "";
  order.strings[kWindowsPaths] = site->szWindowsPaths != nullptr ? site->szWindowsPaths : "";
  // The program's lines go to the request's site's log, with its client.
  order.fixed.site = SiteIndex(r->server);
  order.strings[kSiteName] = SiteKey(r->server);
  // The site's share of the programs, counted by the spawner against the same place and name.
  const int siteCap = order.fixed.site < static_cast<uint32_t>(g_settings.nSites) && g_settings.pSiteMaxBackends != nullptr
                          ? g_settings.pSiteMaxBackends[order.fixed.site]
                          : 0;
  order.fixed.siteMaxBackends = static_cast<uint32_t>(siteCap > 0 ? siteCap : 0);
  order.fixed.stderrLevel =
      static_cast<uint32_t>(site->nStderrLogLevel != kUnset ? site->nStderrLogLevel : kDefaultStderrLogLevel);
  if (r->useragent_ip != nullptr) {
    order.strings[kClient] = std::string(r->useragent_ip) + ":" +
                             std::to_string(r->useragent_addr != nullptr ? r->useragent_addr->port : 0);
  }
  const ResidentProgram* resident = start.bUnderWine ? nullptr : ResidentLineFor(*site, start);
  if (resident != nullptr) {
    order.fixed.residentInstances = static_cast<uint32_t>(resident->nInstances);
    order.fixed.residentMaxRequests = static_cast<uint32_t>(resident->nMaxRequests);
    order.fixed.residentIdleSeconds = static_cast<uint32_t>(resident->nIdleSeconds);
  }
  order.fixed.answerWaitMs =
      static_cast<uint32_t>(site->nBackendTimeoutMs != kUnset ? site->nBackendTimeoutMs : kDefaultAnswerWaitMs);
  order.environment = Environment(r, *site, start, resident != nullptr);
}

// No start reply: the client left while the request waited for a slot or a spawner (its program
// never runs), or no spawner came within the queue's time-out (refused as for a full queue).
void NoStartReply(request_rec* r, KARVEL_PROGRAM_START* start, const char* label, bool clientGone, ProgramRun* run) {
  if (!clientGone) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "karvel: no spawner at %s in time; %s did not run", g_socketPath, label);
    run->bFailureLogged = true;
  }
  start->dwOutcome = clientGone ? KARVEL_CLIENT_GONE : KARVEL_SERVER_BUSY;
  apr_table_setn(r->notes, "karvel-result", clientGone ? "client-gone" : "503");
}

void RunStarted(KARVEL_PROGRAM_START* start, ProgramRun* run, int channel) {
  start->dwOutcome = KARVEL_PROGRAM_STARTED;
  run->nChannel = channel;
  run->tStartedAt = apr_time_now();
  run->bExited = false;
  run->bNoAnswer = false;
  run->cWord = 0;
  run->szNoAnswerReason[0] = '\0';
}

// The spawner's start reply on `fd`: a started program's run follows it on the connection (a
// resident instance's with its channel, passed[0], and where it may be lent, the spawner's lent
// line and the instance's standard error, passed[1] and [2], copies of all kept for later
// requests of its pool); any other reply ends the connection.
void ReadStartReply(request_rec* r, uint32_t type, int fd, int* passed, const char* payload, size_t length,
                    const std::string& poolKey, KARVEL_PROGRAM_START* start, ProgramRun* run) {
  if (type == kStarted) {
    SpawnInstanceStarted started{};
    if (passed[0] >= 0 && !poolKey.empty() && DecodeInstanceStarted(payload, length, &started)) {
      KeepLentChannel(g_board, poolKey, started, passed[0], passed[1], passed[2]);
    }
    const int channel = passed[0];
    passed[0] = -1;
    CloseDescriptors(passed);
    run->nSocket = fd;
    RunStarted(start, run, channel);
    return;
  }
  CloseDescriptors(passed);
  close(fd);
  start->dwOutcome = type == kStartFailed ? KARVEL_PROGRAM_NOT_STARTED : KARVEL_SERVER_BUSY;
  // The spawner logged why it could not start the program.
  run->bFailureLogged = type == kStartFailed;
  apr_table_setn(r->notes, "karvel-result", type == kStartFailed ? "start-failed" : "503");
}

}  // namespace

// A request's lent instance (ProgramRun::pLent): the instance taken, and what the spawner needs
// should the request be handed over to it.
struct LentRun {
  LentTake take;
  uint32_t bit;  // its pool's (LentPoolBit)
  SpawnLent fixed;
  const char* logId;
  const char* client;
  const char* exchangePath;
  const char* uploadDirectory;
  uint32_t maxRequests;
  bool givenBack;  // the instance went back at its word; the request reads its answer on
};

namespace {

// The instance goes back to the table, free for the next request of its pool, one of whose
// waiters is woken: false when the spawner took the entry meanwhile.
bool GiveBack(LentRun* lent) {
  if (!GiveBackLent(lent->take.entry, lent->take.instance, LentNowMs())) return false;
  WakeLentWaiter(lent->take.table, lent->bit);
  return true;
}

// The lent instance's request goes to the spawner (kLentDone on its lent line), which takes the
// instance back with it. A spawner that cannot be told (its line is full, or it ended) finds the
// instance given back where it answered or said it would not, and otherwise takes it back itself
// once the request's wait is long over; a "no answer" is logged here then.
void HandLentBack(request_rec* r, ProgramRun* run, bool answered, const char* result) {
  LentRun* lent = run->pLent;
  LentRequest request;
  request.fixed = lent->fixed;
  request.logId = lent->logId;
  request.client = lent->client;
  request.exchangePath = lent->exchangePath;
  request.uploadDirectory = lent->uploadDirectory;
  request.answered = answered;
  request.result = result;
  request.word = run->cWord;
  request.reason = run->szNoAnswerReason;
  std::string payload;
  if (EncodeLentDone(request, &payload) &&
      SendPacket(lent->take.line, kLentDone, payload.data(), payload.size(), MSG_DONTWAIT)) {
    return;
  }
  if (run->cWord == kResidentNoAnswer) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "karvel: resident instance gave no answer: %s", run->szNoAnswerReason);
  }
  if (run->cWord == kResidentAnswered || run->cWord == kResidentNoAnswer || run->cWord == kResidentSpokeUnasked) {
    GiveBack(lent);
  }
}

// Whether the instance left lines on its standard error that the spawner has not read: they are
// logged under this request's tag only if the spawner takes the request back.
bool StderrPending(const LentTake& take) {
  int pending = 0;
  return take.stderrFd >= 0 && ioctl(take.stderrFd, FIONREAD, &pending) == 0 && pending > 0;
}

// Whether the instance that said its answer is done goes straight back: not when it is due to
// retire, the spawner wants it, or it left lines for the spawner to log under this request.
bool GoesBackQuietly(const LentRun& lent) {
  const bool due = lent.maxRequests != 0 && lent.take.served >= lent.maxRequests;
  return !due && lent.take.table->wanted.load(std::memory_order_relaxed) == 0 &&
         lent.take.entry->wanted.load(std::memory_order_relaxed) == 0 && !StderrPending(lent.take);
}

// The instance said 'D': it is given back at once where it may be (the next request need not wait
// while this one reads its answer and replies).
void GiveBackAtWord(ProgramRun* run) {
  LentRun* lent = run->pLent;
  if (run->cWord != kResidentAnswered || !GoesBackQuietly(*lent) || !GiveBack(lent)) return;
  lent->givenBack = true;
  PutBackLentChannel(&lent->take);
  run->nChannel = -1;
}

// The request is over: the instance given back (at its word already, or now), or the request
// handed to the spawner where it did not end with an answer, or the instance is due to retire, has
// lines to log, or is wanted back.
void EndLentRun(request_rec* r, ProgramRun* run, bool answered, const char* result) {
  LentRun* lent = run->pLent;
  if (lent->givenBack) {
    g_board->lentAnswered.fetch_add(1, std::memory_order_relaxed);
  } else {
    const bool quiet = answered && run->cWord == kResidentAnswered && GoesBackQuietly(*lent);
    if (quiet && GiveBack(lent)) {
      g_board->lentAnswered.fetch_add(1, std::memory_order_relaxed);
    } else if (!quiet) {
      HandLentBack(r, run, answered, result);
    }
    PutBackLentChannel(&lent->take);
  }
  run->pLent = nullptr;
  run->nChannel = -1;
}

// The instance taken for the request is given the request: false (the instance handed back to
// the spawner, which stops it) when it said something unasked or its channel does not take it.
bool HandLentRequest(request_rec* r, const SpawnOrderText& order, const char* label, KARVEL_PROGRAM_START* start,
                     ProgramRun* run) {
  LentRun* lent = run->pLent;
  lent->fixed = SpawnLent{lent->take.instance, lent->take.entryIndex, order.fixed.answerWaitMs};
  lent->logId = apr_pstrdup(r->pool, order.strings[kLogId].c_str());
  lent->client = apr_pstrdup(r->pool, order.strings[kClient].c_str());
  lent->exchangePath = apr_pstrdup(r->pool, order.strings[kArgument].c_str());
  lent->uploadDirectory = apr_pstrdup(r->pool, order.strings[kUploadDirectory].c_str());
  lent->maxRequests = order.fixed.residentMaxRequests;
  run->nChannel = lent->take.channel;
  run->cWord = 0;
  run->szNoAnswerReason[0] = '\0';
  NoteLentFiles(lent->take.entry, lent->take.served, lent->exchangePath, lent->uploadDirectory);
  std::string stray;
  const InstanceWord early = ReadInstanceWord(lent->take.channel, &stray);
  if (early != kWordNothingYet || !HandOverRequest(lent->take.channel, order.strings[kArgument])) {
    run->cWord = early == kWordAnswered || early == kWordNoAnswer ? kResidentSpokeUnasked : kResidentChannelEnded;
    EndLentRun(r, run, false, "exited");
    run->cWord = 0;
    return false;
  }
  RunStarted(start, run, lent->take.channel);
  apr_table_setn(r->notes, "karvel-backend", label);
  return true;
}

// The request's program from an idle lent instance of its pool, without the spawner: TRUE when the
// instance has the request, or when the client left while every instance of the pool this child
// knows was busy. FALSE: the request goes to the spawner as an order (after kLentAskAfterMilliseconds
// of such a wait too).
bool StartLent(request_rec* r, const SpawnOrderText& order, const std::string& poolKey, const char* label,
               KARVEL_PROGRAM_START* start, ProgramRun* run) {
  if (g_board == nullptr) return false;
  auto* lent = static_cast<LentRun*>(apr_pcalloc(r->pool, sizeof(LentRun)));
  lent->bit = LentPoolBit(poolKey);
  const uint32_t cap = order.fixed.residentInstances;
  LentTable* table = nullptr;
  const std::string& logId = order.strings[kLogId];
  const std::string& client = order.strings[kClient];
  LentOutcome found = TakeLentInstance(poolKey, cap, logId, client, &lent->take, &table);
  const apr_time_t askBy = apr_time_now() + apr_time_from_msec(kLentAskAfterMilliseconds);
  apr_time_t clientLookedAt = apr_time_now();
  while (found == kLentAllBusy) {
    const int left = MillisecondsUntil(askBy);
    if (left == 0) return false;
    if (apr_time_now() - clientLookedAt >= apr_time_from_msec(kClientCheckMilliseconds)) {
      clientLookedAt = apr_time_now();
      if (!ClientConnected(r->connection)) {
        start->dwOutcome = KARVEL_CLIENT_GONE;
        apr_table_setn(r->notes, "karvel-result", "client-gone");
        apr_table_setn(r->notes, "karvel-backend", label);
        return true;
      }
    }
    // Counted as a waiter before the look, so that an instance given back after it wakes this one.
    const uint32_t seen = table->freed.load();
    table->waiters.fetch_add(1);
    found = TakeLentInstance(poolKey, cap, logId, client, &lent->take, &table);
    if (found == kLentAllBusy) WaitForLent(table, seen, lent->bit, std::min(left, kLentWaitMilliseconds));
    table->waiters.fetch_sub(1);
  }
  if (found != kLentTaken) return false;
  run->pLent = lent;
  if (HandLentRequest(r, order, label, start, run)) return true;
  // The instance is no good: the request goes to the spawner.
  return false;
}

}  // namespace

BOOL StartProgramForRequest(request_rec* r, KARVEL_PROGRAM_START* start, ProgramRun* run) {
  // KarvelSpawner off: the extension starts its programs itself.
  if (g_socketPath == nullptr || start == nullptr) return FALSE;
  if (start->pszProgram == nullptr || start->pszArgument == nullptr || start->pszBackendDirectory == nullptr) {
    start->dwOutcome = KARVEL_PROGRAM_NOT_STARTED;
    return TRUE;
  }
  const char* label = Label(r->pool, *start);
  SpawnOrderText built;
  BuildOrder(r, *start, label, &built);
  // A lent instance of the pool takes the request without an order. (Its pool's orders, the same
  // environment without the request's variables, were encoded when it was started.)
  const std::string poolKey = built.fixed.residentInstances != 0 ? PoolKeyOf(built) : std::string();
  if (!poolKey.empty() && StartLent(r, built, poolKey, label, start, run)) return TRUE;
  std::string order;
  if (!EncodeOrder(built, &order)) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "karvel: the environment for %s is too large", label);
    start->dwOutcome = KARVEL_PROGRAM_NOT_STARTED;
    return TRUE;
  }
  char reply[sizeof(SpawnHeader) + sizeof(SpawnInstanceStarted)];
  const char* payload = nullptr;
  size_t length = 0;
  int fd = -1;
  int passed[kPassedDescriptors] = {-1, -1, -1};
  bool clientGone = false;
  const apr_time_t deadline = apr_time_now() + apr_time_from_msec(g_settings.nQueueTimeoutMs);
  const uint32_t type = SendOrder(r, order, deadline, &fd, reply, sizeof reply, &payload, &length, &clientGone, passed);
  apr_table_setn(r->notes, "karvel-backend", label);
  if (fd < 0) {
    CloseDescriptors(passed);
    NoStartReply(r, start, label, clientGone, run);
  } else {
    ReadStartReply(r, type, fd, passed, payload, length, poolKey, start, run);
  }
  return TRUE;
}

namespace {

// The lent channel goes back: the spawner is told (in kDone) what was read on it.
void CloseChannel(ProgramRun* run) {
  if (run->nChannel >= 0) close(run->nChannel);
  run->nChannel = -1;
}

// A resident instance's word on the lent channel, read without waiting.
void ReadChannelWord(ProgramRun* run) {
  std::string reason;
  switch (ReadInstanceWord(run->nChannel, &reason)) {
    case kWordNothingYet:
      return;
    case kWordAnswered:
      run->cWord = kResidentAnswered;
      break;
    case kWordNoAnswer:
      run->cWord = kResidentNoAnswer;
      apr_cpystrn(run->szNoAnswerReason, reason.c_str(), sizeof run->szNoAnswerReason);
      break;
    case kWordEnded:
      run->cWord = kResidentChannelEnded;
      break;
  }
  run->bExited = true;
  run->bNoAnswer = run->cWord != kResidentAnswered;
}

void NoteDone(request_rec* r, const char* result, const ProgramRun* run) {
  apr_table_setn(r->notes, "karvel-result", apr_pstrdup(r->pool, result));
  apr_table_setn(r->notes, "karvel-wait-ms",
                 apr_psprintf(r->pool, "%" APR_INT64_T_FMT, apr_time_as_msec(apr_time_now() - run->tStartedAt)));
}

}  // namespace

BOOL ReportProgramDone(request_rec* r, const KARVEL_PROGRAM_DONE* done, ProgramRun* run) {
  if (done == nullptr || !ProgramRunning(*run)) return FALSE;
  const char* result = done->pszResult != nullptr ? done->pszResult : "";
  if (run->pLent != nullptr) {
    EndLentRun(r, run, done->bAnswered != FALSE, result);
    NoteDone(r, result, run);
    return TRUE;
  }
  CloseChannel(run);
  // The connection serves the thread's next request; one the spawner did not take is closed.
  const std::string told = EncodeDone(done->bAnswered != FALSE, result, run->cWord, run->szNoAnswerReason);
  if (SendPacket(run->nSocket, kDone, told) && t_kept.fd < 0) {
    t_kept.fd = run->nSocket;
  } else {
    close(run->nSocket);
  }
  run->nSocket = -1;
  NoteDone(r, result, run);
  return TRUE;
}

BOOL ProgramState(ProgramRun* run, DWORD* state, const DWORD* waitMilliseconds) {
  if (state == nullptr || !ProgramRunning(*run)) return FALSE;
  const bool lent = run->pLent != nullptr;
  if (!run->bExited && waitMilliseconds != nullptr && *waitMilliseconds > 0) {
    // A signal that cuts the wait short only makes it shorter: the caller then looks at the file,
    // and watches it while it is not answered.
    pollfd watched[2] = {{run->nSocket, POLLIN, 0}, {run->nChannel, POLLIN, 0}};
    if (lent) {
      poll(&watched[1], 1, static_cast<int>(std::min<DWORD>(*waitMilliseconds, INT32_MAX)));
    } else {
      poll(watched, run->nChannel >= 0 ? 2 : 1, static_cast<int>(std::min<DWORD>(*waitMilliseconds, INT32_MAX)));
    }
  }
  // A resident instance's word, on its channel, comes before anything the spawner says of it.
  if (!run->bExited && run->nChannel >= 0) {
    ReadChannelWord(run);
    if (lent && run->bExited) GiveBackAtWord(run);
  }
  // The spawner's kExited (a resident instance's kUnanswered: it ended) comes unasked; it is the
  // only packet before kDone.
  char packet[sizeof(SpawnHeader) + sizeof(SpawnReply)];
  const char* payload = nullptr;
  size_t length = 0;
  if (!run->bExited && !lent) {
    const uint32_t type = ReceivePacket(run->nSocket, packet, sizeof packet, &payload, &length, MSG_DONTWAIT);
    // An instance that ended may have said its word just before: the channel is read once more.
    if (type == kUnanswered && run->nChannel >= 0) ReadChannelWord(run);
    if (!run->bExited) {
      run->bExited = type == kExited || type == kAnswered || type == kUnanswered;
      run->bNoAnswer = type == kUnanswered;
    }
  }
  *state = run->bNoAnswer ? KARVEL_PROGRAM_UNANSWERED : run->bExited ? KARVEL_PROGRAM_EXITED : KARVEL_PROGRAM_RUNNING;
  return TRUE;
}

void EndProgramRun(request_rec* r, ProgramRun* run) {
  if (run->pLent != nullptr) {
    EndLentRun(r, run, run->cWord == kResidentAnswered, "abandoned");
    apr_table_setn(r->notes, "karvel-result", "abandoned");
    return;
  }
  CloseChannel(run);
  if (run->nSocket < 0) return;
  // Closing without a word: the spawner takes the request as given up. A resident instance's word
  // read on its channel is told first, or the spawner would wait for it.
  if (run->cWord != 0) {
    SendPacket(run->nSocket, kDone, EncodeDone(run->cWord == kResidentAnswered, "abandoned", run->cWord,
                                              run->szNoAnswerReason));
  }
  close(run->nSocket);
  run->nSocket = -1;
  apr_table_setn(r->notes, "karvel-result", "abandoned");
}

const char* RequestLogId(request_rec* r) { return LogId(r); }

bool SpawnerConfigured() { return g_socketPath != nullptr; }

const char* WinePrefixInUse() { return g_socketPath != nullptr ? g_settings.szWinePrefix : nullptr; }

const char* SpawnerStatus(apr_pool_t* pool) {
  if (g_socketPath == nullptr) return nullptr;
  const int fd = Connect();
  if (fd < 0) return nullptr;
  timeval wait{kStatusWaitSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  char* buffer = static_cast<char*>(apr_palloc(pool, kSpawnPacketLimit));
  const char* text = nullptr;
  size_t length = 0;
  const bool answered = SendPacket(fd, kStatus, nullptr, 0) &&
                        ReceivePacket(fd, buffer, kSpawnPacketLimit, &text, &length) == kStatusText;
  close(fd);
  return answered ? apr_pstrmemdup(pool, text, length) : nullptr;
}
