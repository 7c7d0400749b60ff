// The server's lasting status: what every request through the extension came to, by program, and
// the programs every spawner of the server runs, in one anonymous shared mapping. Apache's parent
// makes it once and keeps its address in retained data, so it outlives graceful restarts; its
// children and spawners inherit it. Writers never wait: counts are atomic increments, a row of the
// per-program table is claimed by one compare-and-swap, and each spawner alone writes its own
// slot (a program entry under a sequence number, so a reader skips what is being written).
// Plain C++ and POSIX, no Apache, so its parts are tested on their own.
#ifndef KARVEL_HOST_STATUS_BOARD_H
#define KARVEL_HOST_STATUS_BOARD_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/spawner/lent_instances.h"

// How requests ended, as the access log's karvel-result note says; any other value, and none, is
// counted as kResultOther.
enum BoardResult {
  kResult1, kResult2, kResult4, kResult99, kResultTimeout, kResultClientGone, kResultExited,
  kResultAbandoned, kResultStartFailed, kResultBusy, kResultNotFound, kResultNotAllowed,
  kResultNoBackendField, kResultTooManyFields, kResultTempError, kResultFormError, kResultAnswerError,
  kResultOther, kBoardResultCount
};
extern const char* const kBoardResultNames[kBoardResultCount];

// The result a note names (`text` may be nullptr: no note).
BoardResult BoardResultNamed(const char* text);

// Results that are the program's answer (the form's own outcome codes) and the one of a program
// that did not answer in time; every other result is a failure.
bool IsAnswerResult(BoardResult result);

// How long requests waited for their program's answer (karvel-wait-ms), in these buckets.
enum WaitBucket { kWaitUnder10ms, kWaitUnder100ms, kWaitUnder1s, kWaitUnder10s, kWaitLonger, kWaitBucketCount };
extern const char* const kWaitBucketNames[kWaitBucketCount];
WaitBucket WaitBucketOf(int64_t waitMs);

constexpr size_t kBoardNameBytes = 128;           // a site or label kept, its end included
constexpr size_t kBoardRows = 128;                // programs counted apart; the rest in the "other" row
constexpr size_t kBoardSpawners = 8;              // spawners at once: this generation's and earlier ones'
constexpr size_t kBoardProgramsPerSpawner = 256;  // programs each shows; the rest only counted
constexpr size_t kBoardSitesPerSpawner = 64;      // sites each shows; the rest only counted

// One row's counts (a program's, the "other" row's, the totals).
struct BoardCounts {
  std::atomic<uint64_t> requests;
  std::atomic<uint64_t> started;   // requests whose program ran
  std::atomic<uint64_t> timeouts;
  std::atomic<uint64_t> failures;  // neither answered nor timed out
  std::atomic<uint64_t> results[kBoardResultCount];
  std::atomic<uint64_t> waits[kWaitBucketCount];
};

// A row of the per-program table: free (0), being claimed (1), or holding its key (2).
struct BoardRow {
  std::atomic<uint32_t> state;
  char site[kBoardNameBytes];
  char label[kBoardNameBytes];
  BoardCounts counts;
};

// A program a spawner shows. Its spawner writes it between an odd and the next even `sequence`.
struct BoardProgram {
  std::atomic<uint32_t> sequence;
  std::atomic<int32_t> pid;         // 0: a free entry
  std::atomic<int64_t> startedAtMs; // the monotonic clock's
  std::atomic<char> state;          // 'w' waiting, 'a' answered, 'g' given up, 'e' ended
  char label[kBoardNameBytes];
  char site[kBoardNameBytes];
};

// A site's share of a spawner's programs, written like a program entry (name empty: unused).
struct BoardSite {
  std::atomic<uint32_t> sequence;
  std::atomic<uint32_t> running;  // its programs counted against its cap
  std::atomic<uint32_t> waiting;  // its requests waiting for a slot
  std::atomic<uint32_t> cap;      // 0: none of its own
  char name[kBoardNameBytes];
};

// One spawner's slot: claimed by the parent for the spawner it forks, freed when it ended.
struct BoardSpawner {
  std::atomic<int32_t> pid;  // 0: free
  std::atomic<uint64_t> generation;
  std::atomic<uint32_t> running;   // programs it counts against the cap, its starts included
  std::atomic<uint32_t> waiting;   // requests waiting for a slot
  std::atomic<int64_t> longestWaitSinceMs;  // the oldest waiting request's start; 0: none
  std::atomic<uint32_t> unlisted;  // counted programs it had no entry for
  BoardProgram programs[kBoardProgramsPerSpawner];
  BoardSite sites[kBoardSitesPerSpawner];
  std::atomic<uint32_t> sitesUnlisted;  // sites with programs or waiting requests it had no entry for
  LentTable lent;  // its resident instances lent to the children
};

struct StatusBoard {
  std::atomic<int64_t> startedAtSeconds;    // the full start (time()), counts since then
  std::atomic<int64_t> restartedAtSeconds;  // the last restart of either kind
  std::atomic<uint64_t> generation;
  std::atomic<uint64_t> programsStarted, startsFailed, busy;  // as the spawners count them
  // Requests that lent resident instances answered without a word to the spawner (the children
  // count them).
  std::atomic<uint64_t> lentAnswered;
  BoardCounts total;
  BoardCounts other;  // programs beyond the table's rows
  BoardRow rows[kBoardRows];
  BoardSpawner spawners[kBoardSpawners];
};

// A new board, zeroed, in an anonymous shared mapping that every process forked afterwards
// shares; nullptr when it cannot be mapped. It lives as long as the process that made it.
StatusBoard* CreateStatusBoard();

// A full start: counts and rows from zero, the start time now. Spawner slots stay (a spawner
// that still finishes its programs keeps them shown and counted against the cap).
void ResetStatusCounts(StatusBoard* board, int64_t nowSeconds);

// The counts of the row for (site, label), claimed where there is none yet; board->other once
// the table is full. Names longer than kBoardNameBytes - 1 are cut.
BoardCounts* BoardRowFor(StatusBoard* board, const char* site, const char* label);

// One request through the extension: its site and program (empty: it named none), its result
// note (nullptr: none), its wait (-1: no program answered it) and whether its program ran.
void CountRequest(StatusBoard* board, const char* site, const char* label, const char* result, int64_t waitMs,
                  bool started);

// Spawner slots, claimed and freed by Apache's parent: the slot's index, -1 when all are taken.
int ClaimSpawnerSlot(StatusBoard* board, int32_t pid, uint64_t generation);
void FreeSpawnerSlot(StatusBoard* board, int32_t pid);

// A spawner's own slot (written by it alone). ShowProgram: the entry it took, -1 when none was
// free (the program is counted in `unlisted` by the round's numbers instead).
int ShowProgram(BoardSpawner* slot, int32_t pid, int64_t startedAtMs, char state, const std::string& label,
                const std::string& site);
void ChangeProgram(BoardSpawner* slot, int entry, char state);
void HideProgram(BoardSpawner* slot, int entry);

// A site's numbers as the spawner gives them to its slot.
struct SiteOnBoard {
  std::string name;
  uint32_t running, waiting, cap;
};
// The spawner's sites after a round: the first kBoardSitesPerSpawner shown, the rest counted;
// entries of sites no longer given are cleared. A name longer than kBoardNameBytes - 1 keeps its
// end (the host name), "..." before it; an empty one is shown as "-".
void ShowSites(BoardSpawner* slot, const SiteOnBoard* sites, size_t count);

// Programs the other live spawners count against the cap (`self`: the asking spawner's slot).
uint32_t OthersRunning(const StatusBoard& board, const BoardSpawner* self);
// Those of the site named so (as ShowSites was given the name).
uint32_t OthersRunningForSite(const StatusBoard& board, const BoardSpawner* self, const std::string& site);

// Plain copies, for the pages.
struct ProgramShown {
  int32_t pid;
  int64_t ageSeconds;
  char state;
  std::string label, site;
  uint64_t generation;  // its spawner's
};
struct CountsShown {
  uint64_t requests, started, timeouts, failures;
  uint64_t results[kBoardResultCount];
  uint64_t waits[kWaitBucketCount];
};
struct RowShown {
  std::string site, label;
  CountsShown counts;
  bool other;  // the row of the programs beyond the table's (site and label empty)
};
// A site's share of the programs, summed over the live spawners (the cap: the newest
// generation's that shows the site).
struct SiteShown {
  std::string name;
  uint64_t running, waiting;
  uint32_t cap;
};
struct StatusShown {
  int64_t startedAtSeconds, restartedAtSeconds;
  uint64_t generation;
  uint64_t running, waiting, unlisted;
  int64_t longestWaitMs;
  uint64_t programsStarted, startsFailed, busy, lentAnswered;
  CountsShown total;
  std::vector<RowShown> rows;  // the table's, then "other" where it counted anything
  std::vector<ProgramShown> programs;
  std::vector<SiteShown> sites;  // in the order the spawners list them
  uint64_t sitesUnlisted;
};

// What the board holds now (`nowMs` the monotonic clock's). Slots of spawners that are gone
// (`alive` false for their pid) are left out.
StatusShown ReadStatusBoard(const StatusBoard& board, int64_t nowMs, bool (*alive)(int32_t pid));

// The monotonic clock in milliseconds, as the board's program times and waits use it.
int64_t BoardNowMs();

#endif  // KARVEL_HOST_STATUS_BOARD_H
