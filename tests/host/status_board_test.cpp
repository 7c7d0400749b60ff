// The status board without Apache: results and wait buckets by name and bound, the per-program
// table (its keys, its cut names, its "other" row, counts from many threads and processes at
// once), spawner slots, and the texts the pages make of it; a spawner bound to the board.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "host/module/spawner_board.h"
#include "host/module/status_board.h"
#include "host/module/status_text.h"
#include "host/spawner/spawner_protocol.h"
#include "support/files.h"

namespace {

using test_support::TempDir;

// A board of its own for each test (the mapping is never unmapped: a test process is short).
StatusBoard* FreshBoard() {
  StatusBoard* board = CreateStatusBoard();
  EXPECT_NE(board, nullptr);
  return board;
}

TEST(StatusBoard, NamesEveryResultAndFoldsTheRest) {
  const struct {
    const char* note;
    BoardResult expected;
  } cases[] = {
      {"1", kResult1},
      {"99", kResult99},
      {"timeout", kResultTimeout},
      {"client-gone", kResultClientGone},
      {"503", kResultBusy},
      {"answer-error", kResultAnswerError},
      {"too-many-fields", kResultTooManyFields},
      {nullptr, kResultOther},    // no note at all
      {"", kResultOther},
      {"other", kResultOther},    // the fold's own name is no result
      {"time", kResultOther},     // a prefix of a name
      {"timeouts", kResultOther}, // a name and more
      {"1 ", kResultOther},
      {"TIMEOUT", kResultOther},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BoardResultNamed(c.note), c.expected) << (c.note != nullptr ? c.note : "(none)");
  }
  for (int k = 0; k < kResultOther; ++k) {
    EXPECT_EQ(BoardResultNamed(kBoardResultNames[k]), k) << kBoardResultNames[k];
  }
}

TEST(StatusBoard, PutsWaitsInTheirBuckets) {
  const struct {
    int64_t waitMs;
    WaitBucket expected;
  } cases[] = {
      {0, kWaitUnder10ms},     {9, kWaitUnder10ms},      {10, kWaitUnder100ms}, {99, kWaitUnder100ms},
      {100, kWaitUnder1s},     {999, kWaitUnder1s},      {1000, kWaitUnder10s}, {9999, kWaitUnder10s},
      {10000, kWaitLonger},    {INT64_MAX, kWaitLonger},
  };
  for (const auto& c : cases) EXPECT_EQ(WaitBucketOf(c.waitMs), c.expected) << c.waitMs;
}

TEST(StatusBoard, KeysRowsBySiteAndLabel) {
  StatusBoard* board = FreshBoard();
  const std::string longLabel(kBoardNameBytes + 20, 'x');
  const struct {
    const char* name;
    const char* siteA;
    std::string labelA;
    const char* siteB;
    std::string labelB;
    bool sameRow;
  } cases[] = {
      {"the same key", "/srv/a", "prog", "/srv/a", "prog", true},
      {"another label", "/srv/a", "prog", "/srv/a", "prog2", false},
      {"another site", "/srv/a", "prog", "/srv/b", "prog", false},
      {"the split between site and label", "/srv/ab", "c", "/srv/a", "bc", false},
      {"no label (a refusal)", "/srv/a", "", "/srv/a", "prog", false},
      {"labels alike but past the cut", "/srv/a", longLabel + "1", "/srv/a", longLabel + "2", true},
  };
  for (const auto& c : cases) {
    BoardCounts* a = BoardRowFor(board, c.siteA, c.labelA.c_str());
    BoardCounts* b = BoardRowFor(board, c.siteB, c.labelB.c_str());
    EXPECT_NE(a, &board->other) << c.name;
    EXPECT_EQ(a == b, c.sameRow) << c.name;
  }
  // A cut label keeps kBoardNameBytes - 1 bytes of the name, and its end.
  const StatusShown shown = ReadStatusBoard(*board, BoardNowMs(), nullptr);
  bool cut = false;
  for (const RowShown& row : shown.rows) cut = cut || row.label == std::string(kBoardNameBytes - 1, 'x');
  EXPECT_TRUE(cut);
}

TEST(StatusBoard, FoldsProgramsBeyondTheTableIntoOneRow) {
  StatusBoard* board = FreshBoard();
  for (size_t k = 0; k < kBoardRows + 10; ++k) {
    CountRequest(board, "/srv", ("p" + std::to_string(k)).c_str(), "1", 5, true);
  }
  const StatusShown shown = ReadStatusBoard(*board, BoardNowMs(), nullptr);
  ASSERT_EQ(shown.rows.size(), kBoardRows + 1);
  EXPECT_TRUE(shown.rows.back().other);
  EXPECT_EQ(shown.rows.back().counts.requests, 10u);
  uint64_t requests = 0;
  for (const RowShown& row : shown.rows) requests += row.counts.requests;
  EXPECT_EQ(requests, kBoardRows + 10);
  EXPECT_EQ(shown.total.requests, kBoardRows + 10);
}

TEST(StatusBoard, CountsEachRequestByResultStartAndWait) {
  const struct {
    const char* result;
    int64_t waitMs;
    bool started;
    uint64_t timeouts, failures, waitsUnder100ms;
  } cases[] = {
      {"1", 50, true, 0, 0, 1},
      {"99", 50, true, 0, 0, 1},
      {"timeout", 50, true, 1, 0, 1},
      {"exited", 50, true, 0, 1, 1},
      {"not-found", -1, false, 0, 1, 0},
      {nullptr, -1, false, 0, 1, 0},
      {"abandoned", -1, true, 0, 1, 0},
  };
  for (const auto& c : cases) {
    StatusBoard* board = FreshBoard();
    CountRequest(board, "/srv", "prog", c.result, c.waitMs, c.started);
    const StatusShown shown = ReadStatusBoard(*board, BoardNowMs(), nullptr);
    const std::string name = c.result != nullptr ? c.result : "(none)";
    ASSERT_EQ(shown.rows.size(), 1u) << name;
    for (const CountsShown& counts : {shown.total, shown.rows[0].counts}) {
      EXPECT_EQ(counts.requests, 1u) << name;
      EXPECT_EQ(counts.results[BoardResultNamed(c.result)], 1u) << name;
      EXPECT_EQ(counts.started, c.started ? 1u : 0u) << name;
      EXPECT_EQ(counts.timeouts, c.timeouts) << name;
      EXPECT_EQ(counts.failures, c.failures) << name;
      EXPECT_EQ(counts.waits[kWaitUnder100ms], c.waitsUnder100ms) << name;
    }
  }
}

// Many writers at once, as threads of a child and as children: no count is lost, and each key
// has one row however the claims raced.
TEST(StatusBoard, LosesNoCountUnderConcurrentWriters) {
  StatusBoard* board = FreshBoard();
  constexpr int kProcesses = 3, kThreads = 4, kEach = 5000, kKeys = 7;
  const auto count = [board](int seed) {
    for (int k = 0; k < kEach; ++k) {
      CountRequest(board, "/srv", ("p" + std::to_string((k + seed) % kKeys)).c_str(), k % 2 ? "1" : "timeout", k % 200,
                   true);
    }
  };
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    if (pid == 0) {
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t) threads.emplace_back(count, p * kThreads + t);
      for (std::thread& thread : threads) thread.join();
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) waitpid(pid, nullptr, 0);
  const StatusShown shown = ReadStatusBoard(*board, BoardNowMs(), nullptr);
  const uint64_t all = static_cast<uint64_t>(kProcesses) * kThreads * kEach;
  EXPECT_EQ(shown.total.requests, all);
  EXPECT_EQ(shown.total.results[kResult1] + shown.total.results[kResultTimeout], all);
  EXPECT_EQ(shown.rows.size(), static_cast<size_t>(kKeys));
  uint64_t rows = 0, waits = 0;
  for (const RowShown& row : shown.rows) rows += row.counts.requests;
  for (uint64_t w : shown.total.waits) waits += w;
  EXPECT_EQ(rows, all);
  EXPECT_EQ(waits, all);
}

TEST(StatusBoard, AFullRestartResetsCountsButKeepsSpawners) {
  StatusBoard* board = FreshBoard();
  CountRequest(board, "/srv", "prog", "1", 5, true);
  board->programsStarted = 3;
  const int slot = ClaimSpawnerSlot(board, getpid(), 4);
  ASSERT_GE(slot, 0);
  board->spawners[slot].running = 2;
  ResetStatusCounts(board, 1234);
  const StatusShown shown = ReadStatusBoard(*board, BoardNowMs(), nullptr);
  EXPECT_EQ(shown.total.requests, 0u);
  EXPECT_EQ(shown.programsStarted, 0u);
  EXPECT_TRUE(shown.rows.empty());
  EXPECT_EQ(shown.startedAtSeconds, 1234);
  EXPECT_EQ(shown.running, 2u);
}

bool NoneAlive(int32_t) { return false; }

TEST(StatusBoard, ShowsTheProgramsOfLiveSpawnersOnly) {
  StatusBoard* board = FreshBoard();
  const int first = ClaimSpawnerSlot(board, 100, 1);
  const int second = ClaimSpawnerSlot(board, 200, 2);
  ASSERT_NE(first, second);
  BoardSpawner* a = &board->spawners[first];
  BoardSpawner* b = &board->spawners[second];
  const int64_t now = BoardNowMs();
  const int kept = ShowProgram(a, 11, now - 3000, 'w', "prog", "/srv");
  const int hidden = ShowProgram(a, 12, now, 'w', "gone", "/srv");
  ShowProgram(b, 21, now, 'a', "other", "/srv");
  HideProgram(a, hidden);
  ChangeProgram(a, kept, 'g');
  a->running = 1;
  b->running = 2;
  EXPECT_EQ(OthersRunning(*board, a), 2u);
  EXPECT_EQ(OthersRunning(*board, b), 1u);
  const StatusShown all = ReadStatusBoard(*board, now, nullptr);
  ASSERT_EQ(all.programs.size(), 2u);
  EXPECT_EQ(all.programs[0].pid, 11);
  EXPECT_EQ(all.programs[0].state, 'g');
  EXPECT_EQ(all.programs[0].ageSeconds, 3);
  EXPECT_EQ(all.programs[0].generation, 1u);
  EXPECT_EQ(all.running, 3u);
  EXPECT_TRUE(ReadStatusBoard(*board, now, NoneAlive).programs.empty());
  FreeSpawnerSlot(board, 200);
  EXPECT_EQ(OthersRunning(*board, a), 0u);
  EXPECT_EQ(ReadStatusBoard(*board, now, nullptr).programs.size(), 1u);
  // A freed slot is claimed again with nothing of its last spawner's.
  EXPECT_EQ(ClaimSpawnerSlot(board, 300, 3), second);
  EXPECT_EQ(ReadStatusBoard(*board, now, nullptr).running, 1u);
}

TEST(StatusBoard, FullSlotsAndEntriesAreRefused) {
  StatusBoard* board = FreshBoard();
  for (size_t k = 0; k < kBoardSpawners; ++k) EXPECT_GE(ClaimSpawnerSlot(board, static_cast<int32_t>(k + 1), 1), 0);
  EXPECT_EQ(ClaimSpawnerSlot(board, 99, 1), -1);
  BoardSpawner* slot = &board->spawners[0];
  for (size_t k = 0; k < kBoardProgramsPerSpawner; ++k) {
    EXPECT_GE(ShowProgram(slot, static_cast<int32_t>(k + 1), 0, 'w', "p", "s"), 0);
  }
  EXPECT_EQ(ShowProgram(slot, 9999, 0, 'w', "p", "s"), -1);
  ChangeProgram(slot, -1, 'a');  // a program without an entry changes nothing
  HideProgram(slot, static_cast<int>(kBoardProgramsPerSpawner));
}

// Each spawner shows its sites; the page sums a site's numbers over the live spawners (the newer
// generation's cap holds), forgets a site its spawner no longer gives, and counts those beyond
// a slot's entries.
TEST(StatusBoard, ShowsEachSitesShareSummedOverLiveSpawners) {
  StatusBoard* board = FreshBoard();
  BoardSpawner* earlier = &board->spawners[ClaimSpawnerSlot(board, 100, 1)];
  BoardSpawner* current = &board->spawners[ClaimSpawnerSlot(board, 200, 2)];
  std::vector<SiteOnBoard> many;
  for (size_t k = 0; k < kBoardSitesPerSpawner + 3; ++k) many.push_back(SiteOnBoard{"s" + std::to_string(k), 1, 0, 0});
  const struct {
    const char* what;
    std::vector<SiteOnBoard> earlier, current;
    std::vector<SiteShown> expected;
    uint64_t unlisted;
  } cases[] = {
      {"one site of one spawner", {}, {{"a:1 a", 1, 2, 1}}, {{"a:1 a", 1, 2, 1}}, 0},
      {"a site of both generations", {{"a:1 a", 2, 0, 5}}, {{"a:1 a", 1, 1, 1}}, {{"a:1 a", 3, 1, 1}}, 0},
      {"sites apart", {{"b:1 b", 1, 0, 0}}, {{"a:1 a", 1, 0, 1}}, {{"b:1 b", 1, 0, 0}, {"a:1 a", 1, 0, 1}}, 0},
      {"a site no longer given is gone", {}, {}, {}, 0},
      {"more sites than a slot shows", {}, many, {}, 3},
      {"a long name keeps its host name", {}, {{std::string(200, 'p') + ":1 long.example", 1, 0, 0}},
       {{"..." + std::string(kBoardNameBytes - 4 - 15, 'p') + ":1 long.example", 1, 0, 0}}, 0},
      {"a name that just fits", {}, {{std::string(kBoardNameBytes - 1, 'q'), 1, 0, 0}},
       {{std::string(kBoardNameBytes - 1, 'q'), 1, 0, 0}}, 0},
      {"no name", {}, {{"", 1, 0, 0}}, {{"-", 1, 0, 0}}, 0},
  };
  for (const auto& c : cases) {
    ShowSites(earlier, c.earlier.data(), c.earlier.size());
    ShowSites(current, c.current.data(), c.current.size());
    const StatusShown shown = ReadStatusBoard(*board, BoardNowMs(), nullptr);
    EXPECT_EQ(shown.sitesUnlisted, c.unlisted) << c.what;
    if (c.unlisted != 0) {
      EXPECT_EQ(shown.sites.size(), kBoardSitesPerSpawner) << c.what;
      continue;
    }
    ASSERT_EQ(shown.sites.size(), c.expected.size()) << c.what;
    for (size_t k = 0; k < c.expected.size(); ++k) {
      EXPECT_EQ(shown.sites[k].name, c.expected[k].name) << c.what;
      EXPECT_EQ(shown.sites[k].running, c.expected[k].running) << c.what;
      EXPECT_EQ(shown.sites[k].waiting, c.expected[k].waiting) << c.what;
      EXPECT_EQ(shown.sites[k].cap, c.expected[k].cap) << c.what;
    }
  }
  // A slot claimed again shows nothing of its last spawner's sites.
  const SiteOnBoard one{"a:1 a", 1, 0, 1};
  ShowSites(current, &one, 1);
  FreeSpawnerSlot(board, 200);
  ClaimSpawnerSlot(board, 300, 3);
  EXPECT_TRUE(ReadStatusBoard(*board, BoardNowMs(), nullptr).sites.empty());
}

// ---- the texts ----

StatusShown OneProgram(const std::string& label, const std::string& site) {
  StatusShown shown{};
  shown.running = 1;
  shown.programsStarted = 1;
  shown.total.requests = 1;
  shown.total.results[kResultTimeout] = 1;
  shown.programs.push_back(ProgramShown{42, 7, 'w', label, site, 3});
  RowShown row{site, label, {}, false};
  row.counts.requests = 1;
  shown.rows.push_back(row);
  return shown;
}

TEST(StatusText, MakesEveryNameSafeForItsFormat) {
  const struct {
    const char* name;
    std::string label;
    const char* inJson;  // the label as the JSON text holds it
    const char* inHtml;
    const char* inAuto;
  } cases[] = {
      {"plain", "prog.exe", "\"prog.exe\"", "prog.exe", "prog.exe"},
      {"a quote and a backslash", "a\"b\\c", "\"a\\\"b\\\\c\"", "a&quot;b\\c", "a\"b\\c"},
      {"a line break", "a\nProgram: 1 0s waiting fake", "\"a\\u000aProgram: 1 0s waiting fake\"",
       "a?Program: 1 0s waiting fake", "a?Program: 1 0s waiting fake"},
      {"markup", "<script>&", "\"<script>&\"", "&lt;script&gt;&amp;", "<script>&"},
      {"bytes past ASCII", "\x83\x5c\x7f", "\"\\u0083\\\\\\u007f\"", "\x83\\?", "\x83\\?"},
      {"a tab", "a\tb", "\"a\\u0009b\"", "a?b", "a?b"},
  };
  for (const auto& c : cases) {
    const StatusShown shown = OneProgram(c.label, "/srv");
    EXPECT_NE(StatusJson(shown).find(std::string("\"label\":") + c.inJson), std::string::npos)
        << c.name << ": " << StatusJson(shown);
    EXPECT_NE(StatusHtmlTables(shown).find(c.inHtml), std::string::npos) << c.name;
    EXPECT_EQ(StatusHtmlTables(shown).find(c.label.find('<') != std::string::npos ? "<script>" : "\x01"),
              std::string::npos)
        << c.name;
    const std::string text = StatusAutoText(shown);
    EXPECT_NE(text.find(std::string("Program: 42 7s waiting ") + c.inAuto + "\n"), std::string::npos) << c.name;
    size_t programLines = 0;
    for (size_t at = text.find("Program: "); at != std::string::npos; at = text.find("\nProgram: ", at + 1)) {
      ++programLines;
    }
    EXPECT_EQ(programLines, 1u) << c.name << ":\n" << text;
  }
}

TEST(StatusText, KeepsTheLinesToolsRead) {
  const StatusShown shown = OneProgram("prog", "/srv");
  const std::string text = StatusAutoText(shown);
  // The lines as they always were, first and in this order.
  EXPECT_EQ(text.find("Running: 1\nWaitingForSlot: 0\nLongestWaitMs: 0\nStarted: 1\nStartFailed: 0\nBusy: 0\n"
                      "Result-timeout: 1\nProgram: 42 7s waiting prog\n"),
            0u)
      << text;
  EXPECT_EQ(text.find("Result-1:"), std::string::npos) << "results not counted are not listed";
  for (const char* line : {"Requests: 1\n", "Timeouts: 0\n", "Wait-under-10ms: 0\n", "Generation: 0\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  const std::string lines = StatusServerStatusLines(shown);
  EXPECT_EQ(lines.find("KarvelRunning: 1\n"), 0u) << lines;
  EXPECT_EQ(lines.find("Program: "), std::string::npos) << lines;
  for (size_t at = 0; at < lines.size(); at = lines.find('\n', at) + 1) {
    EXPECT_EQ(lines.compare(at, 6, "Karvel"), 0) << lines.substr(at, 40);
  }
}

TEST(StatusText, ListsAHundredProgramsAndCountsTheRest) {
  const struct {
    size_t shown, unlisted;
    const char* more;  // the last line about programs; nullptr: none
  } cases[] = {
      {1, 0, nullptr},
      {kStatusProgramsListed, 0, nullptr},
      {kStatusProgramsListed + 5, 0, "Program: ... (5 more)\n"},
      {3, 4, "Program: ... (4 more)\n"},
  };
  for (const auto& c : cases) {
    StatusShown shown{};
    for (size_t k = 0; k < c.shown; ++k) shown.programs.push_back(ProgramShown{1, 0, 'a', "p", "s", 0});
    shown.unlisted = c.unlisted;
    const std::string text = StatusAutoText(shown);
    size_t lines = 0;
    for (size_t at = text.find("Program: 1 "); at != std::string::npos; at = text.find("Program: 1 ", at + 1)) ++lines;
    EXPECT_EQ(lines, std::min(c.shown, kStatusProgramsListed)) << c.shown;
    EXPECT_EQ(text.find("more)") != std::string::npos, c.more != nullptr) << c.shown;
    if (c.more != nullptr) {
      EXPECT_NE(text.find(c.more), std::string::npos) << text;
    }
  }
}

// ---- a spawner bound to the board ----

// A spawner in a child process, showing itself in `slot` of `board`.
struct BoardSpawnerProcess {
  std::string path;
  pid_t pid;
  BoardSpawnerProcess(const TempDir& dir, StatusBoard* board, int slot) : path(dir.File("board.sock")) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener, 16), 0);
    pid = fork();
    if (pid == 0) {
      SpawnerOnBoard where{board, &board->spawners[slot]};
      const SpawnerBoard hooks = SpawnerBoardFor(&where);
      const SpawnerLog log{[](void*, const SpawnerLogLine& line) { std::fprintf(stderr, "%s\n", line.text); }, nullptr};
      _exit(RunSpawner(listener, log, nullptr, &hooks));
    }
    close(listener);
  }
  ~BoardSpawnerProcess() {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  // The spawner's first reply to an order for `program`; the connection in *fd.
  uint32_t Order(const std::string& program, const std::string& label, uint32_t cap, int* fd,
                 const std::string& site = "", uint32_t siteCap = 0) const {
    SpawnOrderText order;
    order.fixed.maxBackends = cap;
    order.fixed.site = 1;
    order.strings[kSiteName] = site;
    order.fixed.siteMaxBackends = siteCap;
    order.fixed.queueTimeoutMs = 300;
    order.fixed.killGraceMs = 300;
    order.fixed.stopAbandoned = 1;
    for (auto& limit : order.fixed.limits) limit[0] = limit[1] = -1;
    order.strings[kProgram] = program;
    order.strings[kArgument] = program + ".tmp";
    order.strings[kLabel] = label;
    order.strings[kLogId] = "id";
    order.environment = {"PATH=/usr/bin:/bin"};
    std::string payload;
    EXPECT_TRUE(EncodeOrder(order, &payload));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    *fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(*fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_TRUE(SendPacket(*fd, kSpawn, payload));
    std::string buffer(kSpawnPacketLimit, '\0');
    const char* reply = nullptr;
    size_t length = 0;
    return ReceivePacket(*fd, buffer.data(), buffer.size(), &reply, &length);
  }
};

bool Eventually(const std::function<bool()>& condition) {
  for (int k = 0; k < 300 && !condition(); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return condition();
}

// The cap counts the programs other spawners of the server still run (an earlier generation's).
TEST(SpawnerOnBoard, CountsOtherSpawnersProgramsAgainstTheCap) {
  const struct {
    uint32_t othersRunning, cap;
    uint32_t expected;
  } cases[] = {
      {0, 1, kStarted},
      {1, 1, kBusy},
      {1, 2, kStarted},
      {3, 0, kStarted},  // no cap
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string program = dir.File("sleeper");
    test_support::WriteAll(program, "#!/bin/sh\nsleep 5\n");
    chmod(program.c_str(), 0755);
    StatusBoard* board = FreshBoard();
    const int earlier = ClaimSpawnerSlot(board, getpid(), 1);  // this process stands for the earlier spawner
    board->spawners[earlier].running = c.othersRunning;
    const int own = ClaimSpawnerSlot(board, getpid(), 2);
    const BoardSpawnerProcess spawner(dir, board, own);
    int fd = -1;
    EXPECT_EQ(spawner.Order(program, "sleeper", c.cap, &fd), c.expected) << c.othersRunning << " of " << c.cap;
    if (c.expected == kStarted) {
      EXPECT_TRUE(Eventually([&] { return board->spawners[own].running.load() == 1; }));
      const StatusShown shown = ReadStatusBoard(*board, BoardNowMs(), nullptr);
      ASSERT_EQ(shown.programs.size(), 1u);
      EXPECT_EQ(shown.programs[0].label, "sleeper");
      EXPECT_EQ(shown.programs[0].site, dir.path());
      EXPECT_EQ(shown.programs[0].state, 'w');
      EXPECT_EQ(shown.programs[0].generation, 2u);
      EXPECT_EQ(shown.programsStarted, 1u);
      // Its request gives up: the program is stopped, and goes from the board.
      close(fd);
      EXPECT_TRUE(Eventually([&] { return ReadStatusBoard(*board, BoardNowMs(), nullptr).programs.empty(); }));
      EXPECT_EQ(board->spawners[own].running.load(), 0u);
    } else {
      EXPECT_EQ(board->busy.load(), 1u);
      close(fd);
    }
  }
}

// A site's cap counts the programs of that site other spawners of the server still run, and
// only that site's; the spawner shows its own sites on its slot.
TEST(SpawnerOnBoard, CountsOtherSpawnersProgramsOfTheSiteAgainstItsCap) {
  const struct {
    const char* what;
    std::string othersSite;
    uint32_t othersRunning, siteCap;
    uint32_t expected;
  } cases[] = {
      {"the site's cap taken by the earlier spawner", "a.conf:1 a.example", 1, 1, kBusy},
      {"room left beside the earlier spawner's", "a.conf:1 a.example", 1, 2, kStarted},
      {"the earlier spawner's programs of another site", "b.conf:1 b.example", 3, 1, kStarted},
      {"no cap of its own", "a.conf:1 a.example", 3, 0, kStarted},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string program = dir.File("sleeper");
    test_support::WriteAll(program, "#!/bin/sh\nsleep 5\n");
    chmod(program.c_str(), 0755);
    StatusBoard* board = FreshBoard();
    const int earlier = ClaimSpawnerSlot(board, getpid(), 1);
    const SiteOnBoard shownByEarlier{c.othersSite, c.othersRunning, 0, 1};
    ShowSites(&board->spawners[earlier], &shownByEarlier, 1);
    const int own = ClaimSpawnerSlot(board, getpid(), 2);
    const BoardSpawnerProcess spawner(dir, board, own);
    int fd = -1;
    EXPECT_EQ(spawner.Order(program, "sleeper", 0, &fd, "a.conf:1 a.example", c.siteCap), c.expected) << c.what;
    if (c.expected == kStarted) {
      EXPECT_TRUE(Eventually([&] {
        const StatusShown shown = ReadStatusBoard(*board, BoardNowMs(), nullptr);
        for (const SiteShown& site : shown.sites) {
          if (site.name == "a.conf:1 a.example") return site.running == 1 + (c.othersSite == site.name ? c.othersRunning : 0);
        }
        return false;
      })) << c.what;
    }
    close(fd);
    EXPECT_TRUE(Eventually([&] { return board->spawners[own].running.load() == 0; })) << c.what;
  }
}

}  // namespace

namespace {

// Each site's share in every format: its numbers, its name made safe, a bounded list and a count
// of the rest; mod_status's short report keeps to its lines.
TEST(StatusText, ShowsEachSitesShareInEveryFormat) {
  const struct {
    const char* what;
    size_t sites, unlisted;
    std::string name;
    const char* inAuto;  // the first site's line
    const char* inJson;
    const char* more;    // the last site line; nullptr: none
  } cases[] = {
      {"one site", 1, 0, "a.conf:1 a.example", "Site: a.conf:1 a.example running=2 waiting=1 cap=3\n",
       "{\"site\":\"a.conf:1 a.example\",\"running\":2,\"waiting\":1,\"cap\":3}", nullptr},
      {"a line break in its name", 1, 0, "a\nRunning: 9", "Site: a?Running: 9 running=2 waiting=1 cap=3\n",
       "{\"site\":\"a\\u000aRunning: 9\"", nullptr},
      {"more than the list holds", kStatusSitesListed + 2, 0, "s", "Site: s running=2 waiting=1 cap=3\n", "\"site\":\"s\"",
       "Site: ... (2 more)\n"},
      {"some not on the board", 1, 4, "s", "Site: s running=2 waiting=1 cap=3\n", "\"sites_unlisted\":4",
       "Site: ... (4 more)\n"},
  };
  for (const auto& c : cases) {
    StatusShown shown = OneProgram("prog", "/srv");
    for (size_t k = 0; k < c.sites; ++k) shown.sites.push_back(SiteShown{c.name, 2, 1, 3});
    shown.sitesUnlisted = c.unlisted;
    const std::string text = StatusAutoText(shown);
    EXPECT_NE(text.find(c.inAuto), std::string::npos) << c.what << ":\n" << text;
    EXPECT_EQ(text.find("\nRunning: 9"), std::string::npos) << c.what;
    size_t lines = 0;
    for (size_t at = text.find("\nSite: "); at != std::string::npos; at = text.find("\nSite: ", at + 1)) ++lines;
    EXPECT_EQ(lines, std::min(c.sites, kStatusSitesListed) + (c.more != nullptr ? 1 : 0)) << c.what;
    if (c.more != nullptr) {
      EXPECT_NE(text.find(c.more), std::string::npos) << c.what;
    }
    EXPECT_NE(StatusJson(shown).find(c.inJson), std::string::npos) << c.what << ": " << StatusJson(shown);
    EXPECT_NE(StatusHtmlTables(shown).find("<tr><th>Site</th><td> "), std::string::npos) << c.what;
    EXPECT_EQ(StatusServerStatusLines(shown).find("Site"), std::string::npos) << c.what;
  }
}

}  // namespace
