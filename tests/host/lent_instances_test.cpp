// The table of lent instances: each change holds only for the instance and state it names (an
// entry taken by another instance meanwhile is never mistaken for the one a child knows), and
// across processes one request at a time holds an instance, which the spawner cannot withdraw
// from under it.
#include "host/spawner/lent_instances.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

namespace {

enum Operation { kClaim, kGiveBack, kWithdraw, kTakeBack };

TEST(LentInstances, EachChangeHoldsOnlyForItsInstanceAndState) {
  constexpr uint64_t kMine = 7, kOther = 8;
  const struct {
    const char* what;
    uint64_t before;
    Operation operation;
    bool changes;
    uint64_t after;
  } cases[] = {
      {"an idle one is taken", LentWord(kMine, kLentIdle), kClaim, true, LentWord(kMine, kLentClaimed)},
      {"a taken one is not taken twice", LentWord(kMine, kLentClaimed), kClaim, false, LentWord(kMine, kLentClaimed)},
      {"one the spawner has is not taken", LentWord(kMine, kLentHeld), kClaim, false, LentWord(kMine, kLentHeld)},
      {"another instance in the entry is not taken", LentWord(kOther, kLentIdle), kClaim, false,
       LentWord(kOther, kLentIdle)},
      {"a free entry is not taken", LentWord(0, kLentFree), kClaim, false, LentWord(0, kLentFree)},
      {"a taken one goes back", LentWord(kMine, kLentClaimed), kGiveBack, true, LentWord(kMine, kLentIdle)},
      {"one the spawner took back stays its", LentWord(kMine, kLentHeld), kGiveBack, false, LentWord(kMine, kLentHeld)},
      {"another instance's is not given back", LentWord(kOther, kLentClaimed), kGiveBack, false,
       LentWord(kOther, kLentClaimed)},
      {"an idle one is withdrawn", LentWord(kMine, kLentIdle), kWithdraw, true, LentWord(kMine, kLentHeld)},
      {"a taken one is not withdrawn", LentWord(kMine, kLentClaimed), kWithdraw, false,
       LentWord(kMine, kLentClaimed)},
      {"a taken one is taken back", LentWord(kMine, kLentClaimed), kTakeBack, true, LentWord(kMine, kLentHeld)},
  };
  for (const auto& c : cases) {
    LentEntry entry{};
    entry.word = c.before;
    entry.served = 4;
    uint32_t served = 0;
    bool changed = false;
    switch (c.operation) {
      case kClaim:
        changed = ClaimLent(&entry, kMine, 1234, "LOGID", "10.0.0.1:5", &served);
        break;
      case kGiveBack:
        changed = GiveBackLent(&entry, kMine, 99);
        break;
      case kWithdraw:
        changed = Withdraw(&entry, kMine);
        break;
      case kTakeBack:
        changed = TakeBack(&entry, kMine) == kLentClaimed;
        break;
    }
    EXPECT_EQ(changed, c.changes) << c.what;
    EXPECT_EQ(entry.word.load(), c.after) << c.what;
    if (c.operation == kClaim) {
      // A take counts the request and writes its tag; a refused one changes nothing.
      EXPECT_EQ(entry.served.load(), changed ? 5u : 4u) << c.what;
      EXPECT_EQ(served, changed ? 5u : 0u) << c.what;
      EXPECT_EQ(std::string(entry.logId), changed ? "LOGID" : "") << c.what;
    }
  }
}

TEST(LentInstances, EntriesAreTakenFreeOnlyAndTagsAreCutToTheirRoom) {
  LentTable table{};
  for (size_t k = 0; k < kLentEntries; ++k) ASSERT_EQ(TakeLentEntry(&table, k + 1), static_cast<int>(k));
  EXPECT_EQ(TakeLentEntry(&table, 999), -1) << "every entry is taken";
  FreeLentEntry(&table.entries[5]);
  EXPECT_EQ(TakeLentEntry(&table, 1000), 5);
  EXPECT_EQ(table.entries[5].word.load(), LentWord(1000, kLentHeld)) << "a new entry is the spawner's until lent";
  Lend(&table.entries[5], 1000);
  uint32_t served = 0;
  const std::string longId(3 * kLentTagBytes, 'x');
  ASSERT_TRUE(ClaimLent(&table.entries[5], 1000, 1, longId, longId, &served));
  EXPECT_EQ(std::strlen(table.entries[5].logId), kLentTagBytes - 1);
  EXPECT_EQ(std::strlen(table.entries[5].client), kLentTagBytes - 1);
  EXPECT_NE(LentPoolBit("a"), 0u);
  EXPECT_EQ(LentPoolBit("pool") & (LentPoolBit("pool") - 1), 0u) << "one bit";
}

// The files a claiming child notes are the spawner's to remove only for the request that holds the
// instance now, and only whole.
TEST(LentInstances, NotedFilesAreTheHoldingRequestsAndWhole) {
  LentTable table{};
  LentEntry* entry = &table.entries[TakeLentEntry(&table, 7)];
  const std::string longest(kLentPathBytes - 1, 'p'), tooLong(kLentPathBytes, 'p');
  const struct {
    const char* what;
    bool noted;  // the child noted its files before the spawner took the instance back
    std::string exchange, uploads;
    bool known;
    std::string expectExchange, expectUploads;
  } cases[] = {
      {"noted", true, "/t/VCF1.tmp", "/t/VCU1.tmp", true, "/t/VCF1.tmp", "/t/VCU1.tmp"},
      {"no uploads", true, "/t/VCF2.tmp", "", true, "/t/VCF2.tmp", ""},
      {"the longest that fits", true, longest, longest, true, longest, longest},
      {"too long is none, never cut", true, tooLong, "/t/VCU3.tmp", true, "", "/t/VCU3.tmp"},
      {"ended before noting: the last request's are not this one's", false, "", "", false, "", ""},
  };
  for (const auto& c : cases) {
    Lend(entry, 7);
    uint32_t served = 0;
    ASSERT_TRUE(ClaimLent(entry, 7, 1, "id", "client", &served)) << c.what;
    if (c.noted) NoteLentFiles(entry, served, c.exchange.c_str(), c.uploads.c_str());
    ASSERT_TRUE(ChangeLent(entry, 7, kLentClaimed, kLentHeld)) << c.what;
    std::string exchange = "unset", uploads = "unset";
    EXPECT_EQ(LentFilesOf(*entry, &exchange, &uploads), c.known) << c.what;
    if (c.known) {
      EXPECT_EQ(std::make_pair(exchange, uploads), std::make_pair(c.expectExchange, c.expectUploads)) << c.what;
    }
  }
}

// Children of the server in several processes take and give back one instance while the spawner
// withdraws and lends it again: never two holders, never withdrawn while held, every take counted.
TEST(LentInstances, OneHolderAtATimeAcrossProcesses) {
  struct Shared {
    LentTable table;
    std::atomic<int> holders;
    std::atomic<int> faults;
    std::atomic<uint32_t> takes;
    std::atomic<int> ready;
  };
  void* memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(memory, MAP_FAILED);
  auto* shared = new (memory) Shared{};
  constexpr uint64_t kInstance = 42;
  ASSERT_EQ(TakeLentEntry(&shared->table, kInstance), 0);
  LentEntry* entry = &shared->table.entries[0];
  Lend(entry, kInstance);
  constexpr int kChildren = 3, kRounds = 200000;
  // All start together, so that they do contend.
  auto run = [shared](const std::function<void()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
      shared->ready++;
      while (shared->ready.load() < kChildren + 1) {
      }
      body();
      _exit(0);
    }
    return pid;
  };
  pid_t pids[kChildren + 1];
  for (int k = 0; k < kChildren; ++k) {
    pids[k] = run([&] {
      for (int round = 0; round < kRounds; ++round) {
        uint32_t served = 0;
        if (!ClaimLent(entry, kInstance, round, "id", "client", &served)) continue;
        if (shared->holders.fetch_add(1) != 0) shared->faults++;
        shared->takes++;
        shared->holders.fetch_sub(1);
        if (!GiveBackLent(entry, kInstance, round)) shared->faults++;
      }
    });
  }
  pids[kChildren] = run([&] {
    for (int round = 0; round < kRounds; ++round) {
      if (!Withdraw(entry, kInstance)) continue;
      if (shared->holders.load() != 0) shared->faults++;
      Lend(entry, kInstance);
    }
  });
  for (const pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(shared->faults.load(), 0);
  EXPECT_GT(shared->takes.load(), 0u);
  EXPECT_EQ(entry->served.load(), shared->takes.load()) << "every take counted once";
  EXPECT_EQ(entry->word.load(), LentWord(kInstance, kLentIdle));
  munmap(memory, sizeof(Shared));
}

}  // namespace
