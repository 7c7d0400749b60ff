#include "host/module/spawner_board.h"

namespace {
SpawnerOnBoard* Where(void* context) { return static_cast<SpawnerOnBoard*>(context); }

int Show(void* context, int pid, int64_t startedAtMs, char state, const std::string& label, const std::string& site) {
  return ShowProgram(Where(context)->slot, pid, startedAtMs, state, label, site);
}
void Change(void* context, int entry, char state) { ChangeProgram(Where(context)->slot, entry, state); }
void Hide(void* context, int entry) { HideProgram(Where(context)->slot, entry); }

void RoundDone(void* context, size_t running, size_t waiting, int64_t longestWaitSinceMs, size_t unlisted) {
  BoardSpawner* slot = Where(context)->slot;
  slot->running.store(static_cast<uint32_t>(running), std::memory_order_relaxed);
  slot->waiting.store(static_cast<uint32_t>(waiting), std::memory_order_relaxed);
  slot->longestWaitSinceMs.store(longestWaitSinceMs, std::memory_order_relaxed);
  slot->unlisted.store(static_cast<uint32_t>(unlisted), std::memory_order_relaxed);
}

void Counted(void* context, int started, int startFailed, int busy) {
  StatusBoard* board = Where(context)->board;
  board->programsStarted.fetch_add(static_cast<uint64_t>(started), std::memory_order_relaxed);
  board->startsFailed.fetch_add(static_cast<uint64_t>(startFailed), std::memory_order_relaxed);
  board->busy.fetch_add(static_cast<uint64_t>(busy), std::memory_order_relaxed);
}

size_t Others(void* context) { return OthersRunning(*Where(context)->board, Where(context)->slot); }

void SitesDone(void* context, const SpawnerSiteCount* sites, size_t count) {
  std::vector<SiteOnBoard> shown;
  for (size_t k = 0; k < count; ++k) shown.push_back(SiteOnBoard{sites[k].name, sites[k].running, sites[k].waiting, sites[k].cap});
  ShowSites(Where(context)->slot, shown.data(), shown.size());
}

size_t OthersForSite(void* context, const std::string& site) {
  return OthersRunningForSite(*Where(context)->board, Where(context)->slot, site);
}
}  // namespace

SpawnerBoard SpawnerBoardFor(SpawnerOnBoard* where) {
  const int32_t slotIndex = where->slot != nullptr ? static_cast<int32_t>(where->slot - where->board->spawners) : -1;
  return SpawnerBoard{where,     Show,          Change, Hide, RoundDone, Counted, Others, SitesDone, OthersForSite,
                      where->slot != nullptr ? &where->slot->lent : nullptr, slotIndex};
}
