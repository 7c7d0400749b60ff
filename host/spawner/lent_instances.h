// Resident instances lent to the server's children: a table in memory that the spawner and every
// child share, through which a child that holds an instance's channel (kept from a request the
// spawner handed it) takes the idle instance for its next request itself, and gives it back, with
// no word to the spawner on the way. The spawner stays the instances' keeper: it lends an idle one
// (its entry's state kLentIdle), withdraws it when it needs it back (an order waits, the
// instance is retired, the spawner ends), and takes over a request that ends otherwise than
// answered (kLentDone). Each change of an entry is one compare-and-swap of its word, the
// instance's id and the state together, so that an entry taken by another instance meanwhile is
// never mistaken for the one a child knows. Plain C++ atomics; no Apache.
#ifndef KARVEL_HOST_LENT_INSTANCES_H
#define KARVEL_HOST_LENT_INSTANCES_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t kLentEntries = 128;
constexpr size_t kLentTagBytes = 64;  // a request's log id or client, its end included
constexpr size_t kLentPathBytes = 512;  // a request's exchange file or upload directory, its end included

// kLentFree: no instance; kLentIdle: lent, free to take; kLentClaimed: a child's request holds it;
// kLentHeld: the spawner has it (not lent now).
enum LentState : uint64_t { kLentFree = 0, kLentIdle = 1, kLentClaimed = 2, kLentHeld = 3 };

struct LentEntry {
  std::atomic<uint64_t> word;         // instance id << 8 | state
  std::atomic<uint32_t> served;       // requests the instance took, whoever handed them
  std::atomic<int64_t> handedAtMs;    // kLentClaimed: when the child took it (the monotonic clock's)
  std::atomic<int64_t> lastUsedMs;    // when a child last gave it back
  // Set by the spawner while an order of the instance's pool waits for it: the child whose request
  // holds it hands the request over instead of giving the instance back. Cleared when it is lent.
  std::atomic<uint32_t> wanted;
  // The request that holds it (kLentClaimed), for the lines of its standard error.
  char logId[kLentTagBytes];
  char client[kLentTagBytes];
  // Its files, for the spawner to remove should the child end without handing the request back:
  // they belong to the request the instance counted as `filesOf` (its `served` then).
  std::atomic<uint32_t> filesOf;
  char exchangePath[kLentPathBytes];
  char uploadDirectory[kLentPathBytes];
};

struct LentTable {
  // Set while the spawner ends: a child then hands its request over to the spawner instead of
  // giving the instance back, and takes no lent instance for a new one.
  std::atomic<uint32_t> wanted;
  // A count of instances given back or lent, and the children waiting for one (a futex word:
  // they wait on `freed`, each for the bit of its pool, LentPoolBit).
  std::atomic<uint32_t> freed;
  std::atomic<uint32_t> waiters;
  LentEntry entries[kLentEntries];
};

// The futex bit of a pool (by its key): waiters of pools with other bits are not woken for it.
uint32_t LentPoolBit(const std::string& key);
// An instance of the pool with `bit` was given back or lent: a waiter of the pool is woken.
void WakeLentWaiter(LentTable* table, uint32_t bit);
// Waits until an instance of the pool may have become free since `freedSeen` (table->freed read
// before the last look), at most `milliseconds`.
void WaitForLent(LentTable* table, uint32_t freedSeen, uint32_t bit, int milliseconds);

// The monotonic clock in milliseconds, as the spawner's and the table's times are.
int64_t LentNowMs();

constexpr uint64_t LentWord(uint64_t instance, LentState state) { return instance << 8 | state; }
inline LentState LentStateOf(uint64_t word) { return static_cast<LentState>(word & 0xFF); }
inline uint64_t LentInstanceOf(uint64_t word) { return word >> 8; }

// One change of the entry from `from` to `to` for `instance`: false (nothing changed) when the
// entry is not in `from` for that instance.
bool ChangeLent(LentEntry* entry, uint64_t instance, LentState from, LentState to);

// A child's take: the idle instance is its request's (served counted, the time and the request's
// tag written). False when it is not idle, or not that instance any longer. *served: the count
// with this request.
bool ClaimLent(LentEntry* entry, uint64_t instance, int64_t nowMs, const std::string& logId,
               const std::string& client, uint32_t* served);
// The claiming child notes its request's files (the `served` its claim gave), before the instance
// has the request. A path too long for the entry is noted as none: the spawner removes no file then,
// rather than one a cut name would mean.
void NoteLentFiles(LentEntry* entry, uint32_t served, const char* exchangePath, const char* uploadDirectory);
// The spawner's reading, once it took a claimed entry back: false when the request that holds the
// instance noted no files (the child ended first).
bool LentFilesOf(const LentEntry& entry, std::string* exchangePath, std::string* uploadDirectory);
// A child gives it back after its request: false when the spawner took the entry meanwhile.
bool GiveBackLent(LentEntry* entry, uint64_t instance, int64_t nowMs);

// The spawner's side. An entry for a new instance (its index; -1 when every entry is taken).
int TakeLentEntry(LentTable* table, uint64_t instance);
// The entry's instance is lent (the spawner had it); Withdraw takes an idle one back (false:
// a child's request holds it).
void Lend(LentEntry* entry, uint64_t instance);
bool Withdraw(LentEntry* entry, uint64_t instance);
// The spawner takes the entry whatever its state (the instance ends): the state it was in.
LentState TakeBack(LentEntry* entry, uint64_t instance);
void FreeLentEntry(LentEntry* entry);

#endif  // KARVEL_HOST_LENT_INSTANCES_H
