// The spawner: one process per Apache server, forked by the parent before any child, that starts
// every back-end program the server's children ask for. Being one, it holds the cap on programs
// running at once (the server's, and each site's share within it) and the queue of requests
// waiting for a slot; being apart from the children's
// threads, a fork never holds up a request thread. It gives programs a clean environment and
// Apache's resource limits, logs their standard error line by line, and stops the programs of
// requests that gave up. Plain POSIX; Apache only through the log callback.
//
// The host's rooms and what each may include:
//   host/spawner/  the daemon (this header, spawner_protocol, spawner_pool, spawn_program, as_site_user,
//                  process_group, wine_host, spawner_loop, resident_spawner, resident_pool,
//                  resident_channel): its own headers, platform/ and the C++ and POSIX
//                  libraries; never an Apache or APR header, nor host/module/.
//   host/module/   mod_karvel (Apache glue and the reply writer): Apache, APR, isapi/, platform/,
//                  its own headers, and of the spawner's only what a child and the parent need to
//                  speak to it: spawner_protocol.h (the codec), this header (RunSpawner, forked
//                  by the parent), wine_host.h (the server's Wine loader and site prefixes),
//                  site_user.h (the sites' users it hands the spawner) and switch_user.h.
//   host/tools/    scripts; nothing of the code.
#ifndef KARVEL_HOST_SPAWNER_H
#define KARVEL_HOST_SPAWNER_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/spawner/lent_instances.h"

// A line's site when it is about no request: the main server's log.
constexpr uint32_t kNoSite = 0xFFFFFFFFu;

// One line the spawner logs. A line about a request's program (its standard error, its start
// refused) goes to that request's site's log, with its client, also after the request ended; a
// line about no request to the main server's.
struct SpawnerLogLine {
  uint32_t level;        // one of Apache's level numbers (kLogLevelError ...)
  uint32_t site;         // the order's site (SpawnOrder::site), or kNoSite
  const char* siteName;  // the order's kSiteName; "" with kNoSite
  const char* client;    // the order's kClient; "" when there is none
  const char* text;
};

// Where the spawner's lines go (Apache's error logs).
struct SpawnerLog {
  void (*write)(void* context, const SpawnerLogLine& line);
  void* context;
};

struct WineSettings;
struct SiteUsers;

// A site's share of the programs as the spawner counts it: the site by its kSiteName, its programs
// counted (running, being started, or ended with their group alive), its orders waiting for a slot,
// and the cap its orders carry (0: none of its own).
struct SpawnerSiteCount {
  std::string name;
  uint32_t running, waiting, cap;
};

// What the spawner shows of itself on the server's lasting status board (mod_karvel's), and what
// it learns there: the programs it counts against the cap as they start, change and go, its
// numbers after each round, the starts it made or refused, and how many programs the server's
// other spawners (the previous generation's, finishing theirs) still count against the same cap.
struct SpawnerBoard {
  void* context;
  // The entry the program got on the board; -1 when it got none.
  int (*showProgram)(void* context, int pid, int64_t startedAtMs, char state, const std::string& label,
                     const std::string& site);
  void (*changeProgram)(void* context, int entry, char state);  // 'w' 'a' 'g' 'e' (see StatusLabel)
  void (*hideProgram)(void* context, int entry);
  void (*roundDone)(void* context, size_t running, size_t waiting, int64_t longestWaitSinceMs, size_t unlisted);
  void (*counted)(void* context, int started, int startFailed, int busy);
  size_t (*othersRunning)(void* context);
  // After each round too: every site that has programs counted or orders waiting.
  void (*sitesDone)(void* context, const SpawnerSiteCount* sites, size_t count);
  // How many programs of the site named so (kSiteName) the other spawners still count.
  size_t (*othersRunningForSite)(void* context, const std::string& site);
  // Where it lends its resident instances to the children (null: it lends none), and its slot's
  // place on the board, which a child finds the table by.
  LentTable* lent;
  int32_t slotIndex;
};


// Serves the listening SOCK_SEQPACKET socket `listener` (see spawner_protocol.h) until SIGTERM or
// SIGHUP: then it takes no new connection and returns once its connections have ended and the
// programs of requests that gave up are stopped. Windows programs run under `wine` (null: none
// do); the wineserver the spawner started stops with it. What it runs is shown on `board` (null:
// nowhere). A site with a user in `users` has its programs run as that user (the spawner must hold
// what switching needs, see switch_user.h); null: every program runs as the spawner's user. Only
// peers of the spawner's own user are served. Returns 0, or 1 when it cannot run at all.
int RunSpawner(int listener, const SpawnerLog& log, const WineSettings* wine = nullptr,
               const SpawnerBoard* board = nullptr, const SiteUsers* users = nullptr);

// Raises this process's soft limit of open descriptors towards its hard limit, up to
// kDescriptorsWanted: the spawner holds two a running program (its connection, its standard
// error), a child of the server a few a waiting request; the usual soft limit of 1024 is too few.
constexpr unsigned long kDescriptorsWanted = 65536;
void RaiseDescriptorLimit();

#endif  // KARVEL_HOST_SPAWNER_H
