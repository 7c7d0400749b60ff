// The lent instances' channels a child of the server keeps: from each kStarted that named an entry
// of its spawner's table of lent instances (lent_instances.h), copies of the instance's channel
// and standard error and of the spawner's line for handing requests back, by the instance's pool,
// so that a later request of that pool takes the instance itself while the table shows it lent
// and idle. The copies of an instance that is gone
// are closed at the next take. One table for the process, for all its threads.
#ifndef KARVEL_HOST_LENT_CHANNELS_H
#define KARVEL_HOST_LENT_CHANNELS_H

#include <cstdint>
#include <string>

#include "host/spawner/lent_instances.h"
#include "host/spawner/spawner_protocol.h"

struct StatusBoard;

// A lent instance a request took: its entry and the copies it uses (while it holds them, they
// stay open).
struct LentTake {
  LentTable* table;
  LentEntry* entry;
  uint64_t instance;
  uint32_t entryIndex;
  int channel;
  int line;      // the spawner's lent line (kLentDone)
  int stderrFd;  // -1: none kept
  uint32_t served;  // the instance's requests, this one counted
};

// Keeps copies of `channel`, `line` and `stderrFd` (-1: none) for the instance `started` names, in
// the pool `key`, found on `board` by its spawner (the pid its id holds). Nothing is kept without
// an entry.
void KeepLentChannel(StatusBoard* board, const std::string& key, const SpawnInstanceStarted& started, int channel,
                     int line, int stderrFd);

// What a look for a lent instance of a pool found: one taken for the request (its tag on the
// entry); `cap` of the pool's instances known and none idle (they serve requests, or the spawner
// has them for a while: *waitOn is the table to wait on, see WaitForLent); or fewer known, none
// idle (the spawner may start one, or know one this child does not), or the spawner ends: the
// spawner is asked.
enum LentOutcome { kLentTaken, kLentAllBusy, kLentAskSpawner };
LentOutcome TakeLentInstance(const std::string& key, uint32_t cap, const std::string& logId, const std::string& client,
                             LentTake* take, LentTable** waitOn);

// The request is done with the copies it took.
void PutBackLentChannel(LentTake* take);

#endif  // KARVEL_HOST_LENT_CHANNELS_H
