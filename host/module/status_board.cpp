#include "host/module/status_board.h"

#include <sys/mman.h>
#include <time.h>

#include <cstring>
#include <new>

const char* const kBoardResultNames[kBoardResultCount] = {
    "1",           "2",          "4",           "99",         "timeout",          "client-gone",
    "exited",      "abandoned",  "start-failed", "503",       "not-found",        "not-allowed",
    "no-backend-field", "too-many-fields", "temp-error", "form-error", "answer-error", "other"};

const char* const kWaitBucketNames[kWaitBucketCount] = {"under-10ms", "under-100ms", "under-1s", "under-10s",
                                                        "longer"};

namespace {
// A claimed row whose claimant has not written its key yet is looked at this many times before it
// is passed over (its claimant may have died between the two steps).
constexpr int kClaimLooks = 1000;
constexpr uint32_t kRowFree = 0, kRowClaiming = 1, kRowReady = 2;

// FNV-1a over the site, a separator and the label.
uint64_t RowHash(const char* site, size_t siteLength, const char* label, size_t labelLength) {
  uint64_t hash = 1469598103934665603ull;
  auto mix = [&hash](const char* text, size_t length) {
    for (size_t k = 0; k < length; ++k) hash = (hash ^ static_cast<unsigned char>(text[k])) * 1099511628211ull;
  };
  mix(site, siteLength);
  mix("\n", 1);
  mix(label, labelLength);
  return hash;
}

size_t CutLength(const char* text) {
  const size_t length = std::strlen(text);
  return length < kBoardNameBytes ? length : kBoardNameBytes - 1;
}

bool RowHolds(const BoardRow& row, const char* site, size_t siteLength, const char* label, size_t labelLength) {
  return std::strncmp(row.site, site, siteLength) == 0 && row.site[siteLength] == '\0' &&
         std::strncmp(row.label, label, labelLength) == 0 && row.label[labelLength] == '\0';
}

void CopyName(char* target, const std::string& name) {
  const size_t length = name.size() < kBoardNameBytes ? name.size() : kBoardNameBytes - 1;
  std::memcpy(target, name.data(), length);
  target[length] = '\0';
}

// A site's name ends in its host name, what tells sites apart on the page: a name too long keeps
// its end, "..." before it.
void CopySiteName(char* target, const std::string& name) {
  if (name.size() < kBoardNameBytes) {
    CopyName(target, name);
    return;
  }
  CopyName(target, "..." + name.substr(name.size() - (kBoardNameBytes - 4)));
}

void Add(std::atomic<uint64_t>* counter) { counter->fetch_add(1, std::memory_order_relaxed); }

void CountInto(BoardCounts* counts, BoardResult result, int64_t waitMs, bool started) {
  Add(&counts->requests);
  Add(&counts->results[result]);
  if (started) Add(&counts->started);
  if (result == kResultTimeout) {
    Add(&counts->timeouts);
  } else if (!IsAnswerResult(result)) {
    Add(&counts->failures);
  }
  if (waitMs >= 0) Add(&counts->waits[WaitBucketOf(waitMs)]);
}

void ZeroCounts(BoardCounts* counts) {
  counts->requests = counts->started = counts->timeouts = counts->failures = 0;
  for (auto& count : counts->results) count = 0;
  for (auto& count : counts->waits) count = 0;
}

CountsShown CopyCounts(const BoardCounts& counts) {
  CountsShown shown{};
  shown.requests = counts.requests.load(std::memory_order_relaxed);
  shown.started = counts.started.load(std::memory_order_relaxed);
  shown.timeouts = counts.timeouts.load(std::memory_order_relaxed);
  shown.failures = counts.failures.load(std::memory_order_relaxed);
  for (int k = 0; k < kBoardResultCount; ++k) shown.results[k] = counts.results[k].load(std::memory_order_relaxed);
  for (int k = 0; k < kWaitBucketCount; ++k) shown.waits[k] = counts.waits[k].load(std::memory_order_relaxed);
  return shown;
}

// A copy of the entry, unless its spawner was writing it (or it is free): then false.
bool CopyProgram(const BoardProgram& entry, int64_t nowMs, uint64_t generation, ProgramShown* shown) {
  const uint32_t before = entry.sequence.load(std::memory_order_acquire);
  if ((before & 1u) != 0) return false;
  shown->pid = entry.pid.load(std::memory_order_relaxed);
  const int64_t startedAt = entry.startedAtMs.load(std::memory_order_relaxed);
  shown->state = entry.state.load(std::memory_order_relaxed);
  char label[kBoardNameBytes], site[kBoardNameBytes];
  std::memcpy(label, entry.label, sizeof label);
  std::memcpy(site, entry.site, sizeof site);
  std::atomic_thread_fence(std::memory_order_acquire);
  if (entry.sequence.load(std::memory_order_relaxed) != before || shown->pid == 0) return false;
  label[kBoardNameBytes - 1] = site[kBoardNameBytes - 1] = '\0';
  shown->label = label;
  shown->site = site;
  shown->ageSeconds = nowMs > startedAt ? (nowMs - startedAt) / 1000 : 0;
  shown->generation = generation;
  return true;
}

// The entry's spawner begins and ends a write.
template <typename Entry>
void BeginWrite(Entry* entry) {
  entry->sequence.fetch_add(1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
}
template <typename Entry>
void EndWrite(Entry* entry) {
  entry->sequence.fetch_add(1, std::memory_order_release);
}

// A copy of the site entry, unless its spawner was writing it (or it is unused): then false.
bool CopySite(const BoardSite& entry, SiteShown* shown) {
  const uint32_t before = entry.sequence.load(std::memory_order_acquire);
  if ((before & 1u) != 0) return false;
  shown->running = entry.running.load(std::memory_order_relaxed);
  shown->waiting = entry.waiting.load(std::memory_order_relaxed);
  shown->cap = entry.cap.load(std::memory_order_relaxed);
  char name[kBoardNameBytes];
  std::memcpy(name, entry.name, sizeof name);
  std::atomic_thread_fence(std::memory_order_acquire);
  if (entry.sequence.load(std::memory_order_relaxed) != before) return false;
  name[kBoardNameBytes - 1] = '\0';
  shown->name = name;
  return !shown->name.empty();
}

// A site of one spawner added to what the page shows: the same name of another spawner (an
// earlier generation's, finishing its programs) adds its numbers; the newer generation's cap holds.
void AddSite(const SiteShown& site, uint64_t generation, std::vector<SiteShown>* sites,
             std::vector<uint64_t>* generations) {
  for (size_t k = 0; k < sites->size(); ++k) {
    SiteShown& shown = (*sites)[k];
    if (shown.name != site.name) continue;
    shown.running += site.running;
    shown.waiting += site.waiting;
    if (generation > (*generations)[k]) {
      shown.cap = site.cap;
      (*generations)[k] = generation;
    }
    return;
  }
  sites->push_back(site);
  generations->push_back(generation);
}
}  // namespace

BoardResult BoardResultNamed(const char* text) {
  if (text == nullptr) return kResultOther;
  for (int k = 0; k < kResultOther; ++k) {
    if (std::strcmp(kBoardResultNames[k], text) == 0) return static_cast<BoardResult>(k);
  }
  return kResultOther;
}

bool IsAnswerResult(BoardResult result) {
  return result == kResult1 || result == kResult2 || result == kResult4 || result == kResult99;
}

WaitBucket WaitBucketOf(int64_t waitMs) {
  if (waitMs < 10) return kWaitUnder10ms;
  if (waitMs < 100) return kWaitUnder100ms;
  if (waitMs < 1000) return kWaitUnder1s;
  if (waitMs < 10000) return kWaitUnder10s;
  return kWaitLonger;
}

StatusBoard* CreateStatusBoard() {
  void* memory = mmap(nullptr, sizeof(StatusBoard), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  // The mapping comes zeroed: every counter and slot starts at 0 (free, as the atomics' zero is).
  return new (memory) StatusBoard;
}

void ResetStatusCounts(StatusBoard* board, int64_t nowSeconds) {
  board->startedAtSeconds = nowSeconds;
  board->restartedAtSeconds = nowSeconds;
  board->programsStarted = board->startsFailed = board->busy = board->lentAnswered = 0;
  ZeroCounts(&board->total);
  ZeroCounts(&board->other);
  for (BoardRow& row : board->rows) {
    row.state = kRowFree;
    row.site[0] = row.label[0] = '\0';
    ZeroCounts(&row.counts);
  }
}

BoardCounts* BoardRowFor(StatusBoard* board, const char* site, const char* label) {
  const size_t siteLength = CutLength(site), labelLength = CutLength(label);
  const size_t first = RowHash(site, siteLength, label, labelLength) % kBoardRows;
  for (size_t probe = 0; probe < kBoardRows; ++probe) {
    BoardRow& row = board->rows[(first + probe) % kBoardRows];
    uint32_t state = row.state.load(std::memory_order_acquire);
    if (state == kRowFree) {
      if (row.state.compare_exchange_strong(state, kRowClaiming, std::memory_order_acquire)) {
        std::memcpy(row.site, site, siteLength);
        row.site[siteLength] = '\0';
        std::memcpy(row.label, label, labelLength);
        row.label[labelLength] = '\0';
        row.state.store(kRowReady, std::memory_order_release);
        return &row.counts;
      }
      // Another request claimed it first: it may be claiming it for this very key.
    }
    for (int look = 0; state == kRowClaiming && look < kClaimLooks; ++look) {
      state = row.state.load(std::memory_order_acquire);
    }
    if (state == kRowReady && RowHolds(row, site, siteLength, label, labelLength)) return &row.counts;
  }
  return &board->other;
}

void CountRequest(StatusBoard* board, const char* site, const char* label, const char* result, int64_t waitMs,
                  bool started) {
  const BoardResult named = BoardResultNamed(result);
  CountInto(&board->total, named, waitMs, started);
  CountInto(BoardRowFor(board, site, label), named, waitMs, started);
}

int ClaimSpawnerSlot(StatusBoard* board, int32_t pid, uint64_t generation) {
  for (size_t k = 0; k < kBoardSpawners; ++k) {
    BoardSpawner& slot = board->spawners[k];
    int32_t free = 0;
    if (slot.pid.compare_exchange_strong(free, pid)) {
      slot.generation = generation;
      slot.running = slot.waiting = slot.unlisted = 0;
      slot.longestWaitSinceMs = 0;
      for (BoardProgram& entry : slot.programs) entry.pid = 0;
      for (BoardSite& entry : slot.sites) entry.name[0] = '\0';
      slot.sitesUnlisted = 0;
      slot.lent.wanted = 0;
      for (LentEntry& entry : slot.lent.entries) FreeLentEntry(&entry);
      return static_cast<int>(k);
    }
  }
  return -1;
}

void FreeSpawnerSlot(StatusBoard* board, int32_t pid) {
  for (BoardSpawner& slot : board->spawners) {
    int32_t expected = pid;
    if (pid != 0 && slot.pid.compare_exchange_strong(expected, 0)) {
      slot.running = slot.waiting = slot.unlisted = 0;
    }
  }
}

int ShowProgram(BoardSpawner* slot, int32_t pid, int64_t startedAtMs, char state, const std::string& label,
                const std::string& site) {
  for (size_t k = 0; k < kBoardProgramsPerSpawner; ++k) {
    BoardProgram& entry = slot->programs[k];
    if (entry.pid.load(std::memory_order_relaxed) != 0) continue;
    BeginWrite(&entry);
    entry.startedAtMs.store(startedAtMs, std::memory_order_relaxed);
    entry.state.store(state, std::memory_order_relaxed);
    CopyName(entry.label, label);
    CopyName(entry.site, site);
    entry.pid.store(pid, std::memory_order_relaxed);
    EndWrite(&entry);
    return static_cast<int>(k);
  }
  return -1;
}

void ChangeProgram(BoardSpawner* slot, int entry, char state) {
  if (entry < 0 || static_cast<size_t>(entry) >= kBoardProgramsPerSpawner) return;
  slot->programs[entry].state.store(state, std::memory_order_relaxed);
}

void HideProgram(BoardSpawner* slot, int entry) {
  if (entry < 0 || static_cast<size_t>(entry) >= kBoardProgramsPerSpawner) return;
  BeginWrite(&slot->programs[entry]);
  slot->programs[entry].pid.store(0, std::memory_order_relaxed);
  EndWrite(&slot->programs[entry]);
}

void ShowSites(BoardSpawner* slot, const SiteOnBoard* sites, size_t count) {
  for (size_t k = 0; k < kBoardSitesPerSpawner; ++k) {
    BoardSite& entry = slot->sites[k];
    if (k >= count && entry.name[0] == '\0') continue;
    BeginWrite(&entry);
    if (k < count) {
      entry.running.store(sites[k].running, std::memory_order_relaxed);
      entry.waiting.store(sites[k].waiting, std::memory_order_relaxed);
      entry.cap.store(sites[k].cap, std::memory_order_relaxed);
      CopySiteName(entry.name, sites[k].name.empty() ? std::string("-") : sites[k].name);
    } else {
      entry.name[0] = '\0';
    }
    EndWrite(&entry);
  }
  slot->sitesUnlisted.store(count > kBoardSitesPerSpawner ? static_cast<uint32_t>(count - kBoardSitesPerSpawner) : 0,
                            std::memory_order_relaxed);
}

uint32_t OthersRunning(const StatusBoard& board, const BoardSpawner* self) {
  uint32_t running = 0;
  for (const BoardSpawner& slot : board.spawners) {
    if (&slot != self && slot.pid.load(std::memory_order_relaxed) != 0) {
      running += slot.running.load(std::memory_order_relaxed);
    }
  }
  return running;
}

uint32_t OthersRunningForSite(const StatusBoard& board, const BoardSpawner* self, const std::string& site) {
  char name[kBoardNameBytes];
  CopySiteName(name, site.empty() ? std::string("-") : site);
  uint32_t running = 0;
  for (const BoardSpawner& slot : board.spawners) {
    if (&slot == self || slot.pid.load(std::memory_order_relaxed) == 0) continue;
    for (const BoardSite& entry : slot.sites) {
      SiteShown shown{};
      if (CopySite(entry, &shown) && shown.name == name) running += static_cast<uint32_t>(shown.running);
    }
  }
  return running;
}

StatusShown ReadStatusBoard(const StatusBoard& board, int64_t nowMs, bool (*alive)(int32_t pid)) {
  StatusShown shown{};
  shown.startedAtSeconds = board.startedAtSeconds.load(std::memory_order_relaxed);
  shown.restartedAtSeconds = board.restartedAtSeconds.load(std::memory_order_relaxed);
  shown.generation = board.generation.load(std::memory_order_relaxed);
  shown.programsStarted = board.programsStarted.load(std::memory_order_relaxed);
  shown.startsFailed = board.startsFailed.load(std::memory_order_relaxed);
  shown.busy = board.busy.load(std::memory_order_relaxed);
  shown.lentAnswered = board.lentAnswered.load(std::memory_order_relaxed);
  shown.total = CopyCounts(board.total);
  for (const BoardRow& row : board.rows) {
    if (row.state.load(std::memory_order_acquire) != kRowReady) continue;
    RowShown copy{std::string(row.site, strnlen(row.site, kBoardNameBytes)),
                  std::string(row.label, strnlen(row.label, kBoardNameBytes)), CopyCounts(row.counts), false};
    shown.rows.push_back(copy);
  }
  const CountsShown other = CopyCounts(board.other);
  if (other.requests != 0) shown.rows.push_back(RowShown{"", "", other, true});
  std::vector<uint64_t> siteGenerations;  // the generation each shown site's cap is from
  for (const BoardSpawner& slot : board.spawners) {
    const int32_t pid = slot.pid.load(std::memory_order_relaxed);
    if (pid == 0 || (alive != nullptr && !alive(pid))) continue;
    const uint64_t generation = slot.generation.load(std::memory_order_relaxed);
    shown.running += slot.running.load(std::memory_order_relaxed);
    shown.waiting += slot.waiting.load(std::memory_order_relaxed);
    shown.unlisted += slot.unlisted.load(std::memory_order_relaxed);
    const int64_t since = slot.longestWaitSinceMs.load(std::memory_order_relaxed);
    if (since != 0 && nowMs - since > shown.longestWaitMs) shown.longestWaitMs = nowMs - since;
    for (const BoardProgram& entry : slot.programs) {
      ProgramShown program{};
      if (CopyProgram(entry, nowMs, generation, &program)) shown.programs.push_back(program);
    }
    for (const BoardSite& entry : slot.sites) {
      SiteShown site{};
      if (CopySite(entry, &site)) AddSite(site, generation, &shown.sites, &siteGenerations);
    }
    shown.sitesUnlisted += slot.sitesUnlisted.load(std::memory_order_relaxed);
  }
  return shown;
}

int64_t BoardNowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
