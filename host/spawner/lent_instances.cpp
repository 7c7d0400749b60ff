#include "host/spawner/lent_instances.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>

namespace {

void CopyTag(char* to, const std::string& from) {
  const size_t length = std::min(from.size(), kLentTagBytes - 1);
  std::memcpy(to, from.data(), length);
  to[length] = '\0';
}

void CopyPath(char* to, const char* from) {
  const size_t length = from != nullptr ? std::strlen(from) : 0;
  if (length >= kLentPathBytes) {
    to[0] = '\0';
    return;
  }
  std::memcpy(to, from, length);
  to[length] = '\0';
}

}  // namespace

uint32_t LentPoolBit(const std::string& key) {
  uint32_t hash = 2166136261u;  // FNV-1a: the same in every process of the server
  for (const char c : key) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  return 1u << (hash & 31);
}

void WakeLentWaiter(LentTable* table, uint32_t bit) {
  table->freed.fetch_add(1, std::memory_order_seq_cst);
  if (table->waiters.load(std::memory_order_seq_cst) == 0) return;
  // A shared mapping: the futex is not the process's private one.
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&table->freed), FUTEX_WAKE_BITSET, 1, nullptr, nullptr, bit);
}

void WaitForLent(LentTable* table, uint32_t freedSeen, uint32_t bit, int milliseconds) {
  timespec until{};
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += milliseconds / 1000;
  until.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&table->freed), FUTEX_WAIT_BITSET, freedSeen, &until, nullptr, bit);
}

int64_t LentNowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool ChangeLent(LentEntry* entry, uint64_t instance, LentState from, LentState to) {
  uint64_t expected = LentWord(instance, from);
  return entry->word.compare_exchange_strong(expected, LentWord(instance, to), std::memory_order_acq_rel);
}

bool ClaimLent(LentEntry* entry, uint64_t instance, int64_t nowMs, const std::string& logId,
               const std::string& client, uint32_t* served) {
  if (entry->word.load(std::memory_order_relaxed) != LentWord(instance, kLentIdle) ||
      !ChangeLent(entry, instance, kLentIdle, kLentClaimed)) {
    return false;
  }
  *served = entry->served.fetch_add(1, std::memory_order_relaxed) + 1;
  entry->handedAtMs.store(nowMs, std::memory_order_relaxed);
  CopyTag(entry->logId, logId);
  CopyTag(entry->client, client);
  return true;
}

void NoteLentFiles(LentEntry* entry, uint32_t served, const char* exchangePath, const char* uploadDirectory) {
  CopyPath(entry->exchangePath, exchangePath);
  CopyPath(entry->uploadDirectory, uploadDirectory);
  entry->filesOf.store(served, std::memory_order_release);
}

bool LentFilesOf(const LentEntry& entry, std::string* exchangePath, std::string* uploadDirectory) {
  if (entry.filesOf.load(std::memory_order_acquire) != entry.served.load(std::memory_order_relaxed)) return false;
  *exchangePath = std::string(entry.exchangePath, strnlen(entry.exchangePath, kLentPathBytes));
  *uploadDirectory = std::string(entry.uploadDirectory, strnlen(entry.uploadDirectory, kLentPathBytes));
  return true;
}

bool GiveBackLent(LentEntry* entry, uint64_t instance, int64_t nowMs) {
  entry->lastUsedMs.store(nowMs, std::memory_order_relaxed);
  return ChangeLent(entry, instance, kLentClaimed, kLentIdle);
}

int TakeLentEntry(LentTable* table, uint64_t instance) {
  for (size_t k = 0; k < kLentEntries; ++k) {
    uint64_t expected = LentWord(0, kLentFree);
    LentEntry& entry = table->entries[k];
    if (entry.word.compare_exchange_strong(expected, LentWord(instance, kLentHeld), std::memory_order_acq_rel)) {
      entry.served.store(0, std::memory_order_relaxed);
      entry.handedAtMs.store(0, std::memory_order_relaxed);
      entry.lastUsedMs.store(0, std::memory_order_relaxed);
      entry.wanted.store(0, std::memory_order_relaxed);
      entry.logId[0] = entry.client[0] = '\0';
      entry.filesOf.store(UINT32_MAX, std::memory_order_relaxed);
      return static_cast<int>(k);
    }
  }
  return -1;
}

void Lend(LentEntry* entry, uint64_t instance) {
  entry->wanted.store(0, std::memory_order_relaxed);
  entry->word.store(LentWord(instance, kLentIdle), std::memory_order_release);
}

bool Withdraw(LentEntry* entry, uint64_t instance) { return ChangeLent(entry, instance, kLentIdle, kLentHeld); }

LentState TakeBack(LentEntry* entry, uint64_t instance) {
  const uint64_t was = entry->word.exchange(LentWord(instance, kLentHeld), std::memory_order_acq_rel);
  return LentInstanceOf(was) == instance ? LentStateOf(was) : kLentFree;
}

void FreeLentEntry(LentEntry* entry) { entry->word.store(LentWord(0, kLentFree), std::memory_order_release); }
