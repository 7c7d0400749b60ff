// Resident instances as the spawner keeps them: programs that answer one request after another
// over their channel (spawner_protocol.h), in pools by site, program and settings. Which instance
// takes an order, when one more is started, when one is retired: the choices, kept apart from the
// loop that acts on them. Plain POSIX; no Apache.
#ifndef KARVEL_HOST_RESIDENT_POOL_H
#define KARVEL_HOST_RESIDENT_POOL_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/spawner/process_group.h"
#include "host/spawner/spawner_protocol.h"

// kStarting: on a thread of the start pool; kIdle: waits for a request on its channel; kBusy: has
// one; kLent: lent to the server's children (idle, or serving a child's request: the table of
// lent instances says which); kEnding: its channel closed or its group stopped, reaped soon (it
// takes no more).
enum InstanceState { kInstanceStarting, kInstanceIdle, kInstanceBusy, kInstanceLent, kInstanceEnding };

struct ResidentInstance {
  uint64_t id;
  // Its pool: the order's site (place and name), program and settings (PoolKeyOf).
  std::string key;
  uint32_t site;
  std::string siteName, label;
  uint32_t instances, maxRequests, idleSeconds, killGraceMs, stderrLevel;
  InstanceState state;
  uint64_t jobId;  // kInstanceStarting: its start
  pid_t pid;
  ProcessGroup group;
  int channel;   // the spawner's end; -1 once closed. Watched for its end only, while idle too (a
                 // word said then is found at the next hand-over); for words as well once its
                 // request ended before the word (wordWatched)
  bool wordWatched;
  int stderrFd;  // -1 once read to its end
  std::string partialLine;
  uint64_t served;   // requests it took
  int64_t idleSince;  // kInstanceIdle: since when
  // The request it serves (kInstanceBusy), and the one its standard error is told of: the last.
  int connection;  // the request's connection, while the request holds the channel (until its kDone
                   // or its end, or until it was told the instance ended)
  std::string logId, client, exchangePath, uploadDirectory;
  uint32_t answerWaitMs;
  int64_t handedAt;
  int64_t stopAt;  // kInstanceBusy, its request gone: when it is stopped unless it answered; 0: not set
  int64_t killAt;  // after the SIGTERM of its stop: when SIGKILL follows; 0: none due
  bool requestLeft;  // kInstanceBusy: its request left without the answer (discarded when it comes)
  bool stopped;      // its group was sent SIGTERM (then SIGKILL): it ends without its word
  bool filesLeft;    // the request it was stopped over left its files to the spawner
  bool reaped;       // the process has ended and was waited for
  int lentEntry;  // its entry in the table of lent instances; -1: none (it is never lent)
  // The caps its pool's orders carry (the server's, the site's): it is lent only within them.
  uint32_t maxBackends, siteMaxBackends;
  // Its channel ended mid-request: when. Its end usually follows at once (then the log says how
  // it ended); one still there a moment later is taken as having cut its channel, and stopped.
  int64_t channelLostAt;
};

// The pool an order belongs to: its site, its program, and what an instance is started with
// (limits, standard error's level, environment), so that an instance serves only requests that
// would have started it alike.
std::string PoolKeyOf(const SpawnOrderText& order);

// What becomes of an order of a pool: handed to an idle instance (*chosen), a new instance
// started for it, or it waits (all of the pool's instances are busy, or no slot is free).
enum ResidentChoice { kHandToIdle, kStartInstance, kWaitForInstance };

// `slotFree`: the server's and the site's caps let one more program run. An idle instance is
// chosen by its latest request (the one idle the shortest while: its memory warm, and the
// others' idle time runs on towards their stop).
ResidentChoice ChooseInstance(const std::vector<ResidentInstance>& instances, const std::string& key,
                              uint32_t capOfPool, bool slotFree, size_t* chosen);

// The instances of the pool that count against its cap: all but those ending.
size_t PoolLive(const std::vector<ResidentInstance>& instances, const std::string& key);

// After a request: retired for its count (served `maxRequests`; 0: never).
bool DueToRetire(const ResidentInstance& instance);
// Idle past its pool's idleSeconds at `nowMs` (0: never); *dueAtMs when it will be, where it waits.
bool IdleTooLong(const ResidentInstance& instance, int64_t nowMs, int64_t* dueAtMs = nullptr);

// An instance counts against the server's and its site's caps while it serves a request, while it
// is lent (a child may give it a request at any moment), and after its stop until it is reaped.
bool InstanceCounted(const ResidentInstance& instance);

#endif  // KARVEL_HOST_RESIDENT_POOL_H
