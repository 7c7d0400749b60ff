#include "host/module/lent_channels.h"

#include <fcntl.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "host/module/status_board.h"

namespace {

struct KeptChannel {
  std::string key;
  LentTable* table;
  uint64_t instance;
  uint32_t entry;
  int channel;
  int line;
  int stderrFd;
  int users;  // requests using the copies now
};

std::mutex g_keptLock;
std::vector<KeptChannel> g_kept;

// The table of the spawner whose instance this is: its id holds the spawner's pid above 34 bits.
LentTable* TableOf(StatusBoard* board, uint64_t instance) {
  for (BoardSpawner& slot : board->spawners) {
    if (slot.pid.load() > 0 && static_cast<uint64_t>(slot.pid.load()) == instance >> 34) return &slot.lent;
  }
  return nullptr;
}

bool StillThere(const KeptChannel& kept) {
  return LentInstanceOf(kept.table->entries[kept.entry].word.load(std::memory_order_relaxed)) == kept.instance;
}

void Close(const KeptChannel& kept) {
  close(kept.channel);
  close(kept.line);
  if (kept.stderrFd >= 0) close(kept.stderrFd);
}

}  // namespace

void KeepLentChannel(StatusBoard* board, const std::string& key, const SpawnInstanceStarted& started, int channel,
                     int line, int stderrFd) {
  if (board == nullptr || started.entry < 0 || static_cast<size_t>(started.entry) >= kLentEntries || channel < 0 ||
      line < 0) {
    return;
  }
  LentTable* table = TableOf(board, started.instance);
  if (table == nullptr) return;
  std::lock_guard<std::mutex> hold(g_keptLock);
  for (const KeptChannel& kept : g_kept) {
    if (kept.instance == started.instance) return;
  }
  const int channelCopy = fcntl(channel, F_DUPFD_CLOEXEC, 0);
  if (channelCopy < 0) return;
  // The line is the child's own from here (the request needs none).
  const int stderrCopy = stderrFd >= 0 ? fcntl(stderrFd, F_DUPFD_CLOEXEC, 0) : -1;
  g_kept.push_back(KeptChannel{key, table, started.instance, static_cast<uint32_t>(started.entry), channelCopy,
                               fcntl(line, F_DUPFD_CLOEXEC, 0), stderrCopy, 0});
  if (g_kept.back().line < 0) {
    Close(g_kept.back());
    g_kept.pop_back();
  }
}

LentOutcome TakeLentInstance(const std::string& key, uint32_t cap, const std::string& logId, const std::string& client,
                             LentTake* take, LentTable** waitOn) {
  std::lock_guard<std::mutex> hold(g_keptLock);
  bool taken = false;
  uint32_t known = 0;  // the pool's instances this child knows, whatever they do now
  for (size_t k = g_kept.size(); k-- > 0;) {
    KeptChannel& kept = g_kept[k];
    if (kept.users == 0 && !StillThere(kept)) {
      Close(kept);
      g_kept.erase(g_kept.begin() + static_cast<std::ptrdiff_t>(k));
      continue;
    }
    if (taken || kept.key != key) continue;
    if (kept.table->wanted.load(std::memory_order_relaxed) != 0) return kLentAskSpawner;
    LentEntry* entry = &kept.table->entries[kept.entry];
    known++;
    *waitOn = kept.table;
    uint32_t served = 0;
    if (!ClaimLent(entry, kept.instance, LentNowMs(), logId, client, &served)) continue;
    kept.users++;
    *take = LentTake{kept.table, entry, kept.instance, kept.entry, kept.channel, kept.line, kept.stderrFd, served};
    taken = true;
  }
  return taken ? kLentTaken : cap != 0 && known >= cap ? kLentAllBusy : kLentAskSpawner;
}

void PutBackLentChannel(LentTake* take) {
  std::lock_guard<std::mutex> hold(g_keptLock);
  for (KeptChannel& kept : g_kept) {
    if (kept.instance == take->instance && kept.users > 0) kept.users--;
  }
  take->channel = take->line = take->stderrFd = -1;
}
