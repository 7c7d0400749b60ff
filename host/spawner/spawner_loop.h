// The spawner's loop as its handlers share it: the connections of the server's children, the
// programs it started, the resident instances, and the few helpers every handler uses. Internal to
// host/spawner/ (spawner.cpp and resident_spawner.cpp); plain POSIX.
#ifndef KARVEL_HOST_SPAWNER_LOOP_H
#define KARVEL_HOST_SPAWNER_LOOP_H

#include <signal.h>
#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/spawner/process_group.h"
#include "host/spawner/resident_pool.h"
#include "host/spawner/site_user.h"
#include "host/spawner/spawner.h"
#include "host/spawner/spawner_pool.h"
#include "host/spawner/spawner_protocol.h"
#include "host/spawner/wine_host.h"

namespace spawner_loop {

// How requests ended, as the status counts them: a closed set, whatever a peer sends.
enum Result { kResult1, kResult2, kResult4, kResult99, kResultTimeout, kResultClientGone, kResultExited,
              kResultAbandoned, kResultStartFailed, kResultBusy, kResultOther, kResultCount };
constexpr const char* kResultNames[kResultCount] = {"1", "2", "4", "99", "timeout", "client-gone", "exited",
                                                    "abandoned", "start-failed", "503", "other"};

inline int64_t NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// kStarting: its program is being started on a thread of the pool; the connection is not read
// meanwhile (a request that gives up then is seen once its program runs, a moment later).
enum ConnectionState { kAwaitingOrder, kQueued, kStarting, kRunning };

struct Connection {
  int fd;
  ConnectionState state;
  SpawnOrderText order;
  int64_t queuedAt;
  pid_t pid;       // kRunning: its program
  bool closing;    // answered for good: closed at the end of the round
  uint64_t jobId;  // kStarting: its start in the pool
  size_t orderBytes;  // kQueued: the order's size
  uint64_t instance;  // a resident order's instance (kStarting: being started for it; kRunning:
                      // handed to it); 0: none
};

struct Program {
  pid_t pid;
  std::string label, logId, exchangePath, uploadDirectory;
  // Where its lines go: its request's site and client, and the level of its standard error.
  uint32_t site;
  std::string siteName, client;
  uint32_t stderrLevel;
  int stderrFd;
  std::string partialLine;
  int64_t startedAt;
  bool requestWaiting;   // its request waits for the answer still
  bool abandoned;        // its request gave up without an answer
  bool stopAbandoned;
  uint32_t killGraceMs;
  int64_t killAt;        // when SIGKILL follows the SIGTERM sent; 0 before
  bool exited;           // the program itself has ended (and is reaped)
  bool answered;         // its request had its answer
  bool killed;           // its group was sent SIGKILL: members left are sent it again
  // The program's process group. After the program ended, while its request waits or gave up,
  // the members it left still count against the cap until the group is gone (groupGone).
  ProcessGroup group;
  bool groupGone;
  bool filesRemoved;     // a request that gave up: its files are gone
  int boardEntry;        // its entry on the status board; -1: none
  char boardState;       // the state the entry shows
  uint32_t siteMaxBackends;  // its site's cap, as its order carried it
};

// A wineserver the spawner started, and who it runs as (null: the spawner's user).
struct WineServerClaim {
  int claim;
  const SiteUser* user;
};

struct Spawner {
  int epoll;  // every descriptor the loop waits on, tagged with what it is
  const SpawnerLog* log;
  const WineSettings* wine;  // null: no program runs under Wine
  int wineServer;            // the claim on the prefix's wineserver; -1 before the first Wine program
  int listener;
  int signals;
  bool draining;
  std::vector<Connection> connections;
  std::vector<Program> programs;
  uint64_t results[kResultCount];  // requests by how they ended
  uint64_t started, startFailed, busy;
  sigset_t signalsToReset;  // the spawner's own handled and ignored signals, fixed once it runs
  SpawnPool* pool;
  uint64_t lastJobId;
  bool reapPending;  // a SIGCHLD came while a start was under way: the reaping waits for it
  // The claims on the wineservers of the other prefixes (sites' users' own, and sites' own, see
  // SitePrefix), by prefix, with the user each runs as.
  std::map<std::string, WineServerClaim> siteWineServers;
  const SpawnerBoard* board;  // null: the spawner shows itself nowhere
  const SiteUsers* users;     // who each site's programs run as; null: all as the spawner's user
  uid_t peersUid;             // the server's children's user: the only peers served
  std::vector<ResidentInstance> instances;  // every pool's, by start (resident_spawner.h)
  uint64_t lastInstanceId = 0;
  // Where children hand lent instances' requests back (kLentDone): the spawner reads [0]; [1] goes
  // to them with every kStarted of an instance that may be lent. -1: no instance is lent.
  int lentLine[2] = {-1, -1};
};


// What an event of the loop is about; the tag also carries the descriptor.
enum WatchKind : uint32_t { kSignals, kListener, kStartsDone, kConnection, kStderr, kChannel, kLentLine };
// The tag's layout: the kind in the upper half, the descriptor in the lower.
constexpr int kWatchKindShift = 32;
constexpr uint64_t kWatchFdMask = 0xFFFFFFFFu;

// The result a request's kDone names.
Result ResultNamed(const char* text, size_t length);

// A line about no request: the main server's log.
void Log(Spawner* s, uint32_t level, const std::string& text);
// A line about a request's program: its site's log, with its client.
void LogForSite(Spawner* s, uint32_t level, uint32_t site, const std::string& siteName, const std::string& client,
                const std::string& text);
// `hangupOnly`: only the peer's end (or a failure) wakes the loop, not what it sends (a resident
// instance's channel while the request reads it); Rewatch changes that of a descriptor watched.
void Watch(Spawner* s, WatchKind kind, int fd, bool hangupOnly = false);
void Rewatch(Spawner* s, WatchKind kind, int fd, bool hangupOnly);
// Before a descriptor closes (see spawner.cpp).
void Unwatch(Spawner* s, int fd);

// A program's standard error, and what its lines are tagged with: the program's label and its
// (latest) request's log id, site, client and level.
struct StderrTag {
  const std::string& label;
  const std::string& logId;
  uint32_t site;
  const std::string& siteName;
  const std::string& client;
  uint32_t level;
};
// Logs the whole lines read from *fd (a block of them a round); at its end, or with `atEnd`, the rest,
// and *fd is closed (-1).
void DrainLines(Spawner* s, int* fd, std::string* partialLine, const StderrTag& tag, bool atEnd);

// The refusal of the connection's order: logged for its site, kStartFailed, the connection closed.
void RefuseStart(Spawner* s, Connection* c, int failure, const std::string& why);
// Why the order's program may not start as the order says ("" when it may).
std::string StartRefused(const Spawner& s, const Connection& c, bool windowsFile);
// Why a start the pool did failed, as its refusal's line says it.
std::string StartFailure(const SpawnJob& job);
// The starts the spawner made or refused, counted on the board too.
void CountOnBoard(Spawner* s, int started, int startFailed, int busy);

}  // namespace spawner_loop

#endif  // KARVEL_HOST_SPAWNER_LOOP_H
