// The spawner without Apache: programs started as the spawner starts them (errors, environment,
// descriptors, limits), and the spawner's protocol in a process of its own (the cap, the queue and
// its 503, the stop of a program whose request gave up, the status).
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/spawner/spawn_program.h"
#include "host/spawner/spawner.h"
#include "host/spawner/spawner_protocol.h"
#include "support/files.h"

namespace {

using test_support::ReadAll;
using test_support::TempDir;
using test_support::WriteAll;

constexpr int64_t kNoLimits[kLimitCount][2] = {{-1, -1}, {-1, -1}, {-1, -1}};

std::string Script(const TempDir& dir, const std::string& name, const std::string& body) {
  const std::string path = dir.File(name);
  WriteAll(path, "#!/bin/sh\n" + body + "\n");
  chmod(path.c_str(), 0700);
  return path;
}

// Runs the program to its end; what it wrote to standard error, and its exit status.
std::string RunToEnd(const ProgramStart& start, int* status) {
  pid_t pid = 0;
  int errors = -1;
  EXPECT_EQ(StartProgram(start, &pid, &errors), 0) << start.program;
  waitpid(pid, status, 0);
  std::string text;
  char block[4096];
  ssize_t got;
  while ((got = read(errors, block, sizeof block)) > 0) text.append(block, static_cast<size_t>(got));
  close(errors);
  return text;
}

TEST(SpawnProgram, StartsCleanlyOrSaysWhyNot) {
  TempDir dir;
  WriteAll(dir.File("plain"), "#!/bin/sh\n");
  WriteAll(dir.File("noformat"), "\x7f" "ELF garbage");
  chmod(dir.File("noformat").c_str(), 0700);
  char* none[] = {nullptr};
  const struct {
    std::string program;
    int error;
  } refusals[] = {{dir.File("missing"), ENOENT}, {dir.File("plain"), EACCES}, {dir.File("noformat"), ENOEXEC},
                  {dir.path(), EACCES}};
  for (const auto& c : refusals) {
    pid_t pid = 0;
    int errors = -1;
    const ProgramStart start{c.program.c_str(), "x", none, kNoLimits};
    EXPECT_EQ(StartProgram(start, &pid, &errors), c.error) << c.program;
  }
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }

  // Exactly the environment given, its one argument, no descriptor of ours but 0-2, its own
  // session, the limits set.
  const int leaked = open("/dev/null", O_RDONLY);  // not close-on-exec: must not reach the program
  const std::string program = Script(dir, "probe",
                                     "echo \"arg=$1 env=$(env | sort | tr '\\n' ,)\" >&2\n"
                                     "ls /proc/$$/fd | sort -n | tr '\\n' , >&2; echo >&2\n"
                                     "echo \"sid=$(ps -o sid= -p $$ | tr -d ' ') pid=$$ cpu=$(ulimit -t)\" >&2\n"
                                     "read nothing; echo \"stdin=[$nothing]\" >&2");
  std::string a = "A=1", path = "PATH=/usr/bin:/bin";
  char* environment[] = {a.data(), path.data(), nullptr};
  const int64_t limits[kLimitCount][2] = {{7, 9}, {-1, -1}, {-1, -1}};
  int status = 0;
  const std::string text = RunToEnd(ProgramStart{program.c_str(), "the argument", environment, limits}, &status);
  close(leaked);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
  EXPECT_NE(text.find("arg=the argument env=A=1,PATH=/usr/bin:/bin,PWD="), std::string::npos) << text;
  EXPECT_NE(text.find("\n0,1,2,"), std::string::npos) << "descriptors: " << text;  // and the shell's own
  const size_t sid = text.find("sid=");
  ASSERT_NE(sid, std::string::npos) << text;
  const std::string ids = text.substr(sid);
  const std::string sidValue = ids.substr(4, ids.find(' ') - 4);
  EXPECT_NE(ids.find("pid=" + sidValue + " "), std::string::npos) << "a session of its own: " << ids;
  EXPECT_NE(text.find("cpu=7"), std::string::npos) << text;
  EXPECT_NE(text.find("stdin=[]"), std::string::npos) << text;
}

// Whatever the starter ignores, handles or blocks, the program starts with every signal at its
// default and none blocked (a program that ignored SIGTERM could not be stopped); the starter's
// own mask is as it was.
TEST(SpawnProgram, SignalsReachTheProgramAtTheirDefaults) {
  TempDir dir;
  // The program itself reads its status (a shell waiting for a child blocks SIGCHLD now and then).
  const std::string program = Script(dir, "signals", "exec grep -E '^Sig(Ign|Blk)' /proc/self/status >&2");
  struct sigaction ignore {}, handle {}, oldInt {}, oldUsr1 {}, oldTerm {};
  ignore.sa_handler = SIG_IGN;
  handle.sa_handler = [](int) {};
  sigaction(SIGUSR1, &ignore, &oldUsr1);
  sigaction(SIGINT, &ignore, &oldInt);
  sigaction(SIGTERM, &handle, &oldTerm);
  sigset_t blocked, before, after;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &blocked, &before);
  sigset_t notAtDefault;
  SignalsNotAtDefault(&notAtDefault);
  EXPECT_TRUE(sigismember(&notAtDefault, SIGUSR1) && sigismember(&notAtDefault, SIGTERM) &&
              !sigismember(&notAtDefault, SIGHUP));
  char* none[] = {nullptr};
  for (const sigset_t* toReset : {static_cast<const sigset_t*>(&notAtDefault), static_cast<const sigset_t*>(nullptr)}) {
    int status = 0;
    const std::string text = RunToEnd(ProgramStart{program.c_str(), "x", none, kNoLimits, nullptr, toReset}, &status);
    EXPECT_EQ(text, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n") << (toReset ? "listed" : "all");
  }
  pthread_sigmask(SIG_SETMASK, &before, &after);
  EXPECT_TRUE(sigismember(&after, SIGUSR2) && !sigismember(&after, SIGHUP)) << "the starter's mask is kept";
  sigaction(SIGUSR1, &oldUsr1, nullptr);
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);
}

// The file a spawner in a child process logs its lines to, one a line: "LEVEL|SITE|SITE NAME|CLIENT|TEXT";
// nullptr: standard error.
const char* g_spawnerLogPath = nullptr;

void WriteSpawnerLine(void*, const SpawnerLogLine& line) {
  FILE* out = g_spawnerLogPath != nullptr ? std::fopen(g_spawnerLogPath, "a") : stderr;
  if (out == nullptr) return;
  std::fprintf(out, "%u|%u|%s|%s|%s\n", line.level, line.site, line.siteName, line.client, line.text);
  if (out != stderr) std::fclose(out);
}

// A spawner in a child process, listening on a socket in `dir`; logging to `logPath` where given.
class SpawnerProcess {
 public:
  explicit SpawnerProcess(const TempDir& dir, const std::string& logPath = "") : path_(dir.File("spawner.sock")) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    const int listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener, 64), 0);
    pid_ = fork();
    if (pid_ == 0) {
      if (!logPath.empty()) g_spawnerLogPath = logPath.c_str();
      const SpawnerLog log{WriteSpawnerLine, nullptr};
      _exit(RunSpawner(listener, log));
    }
    close(listener);
  }
  ~SpawnerProcess() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  pid_t pid() const { return pid_; }
  // Sends an order for `program`; the connection.
  int Order(const std::string& program, const std::string& exchange, uint32_t cap, uint32_t queueMs) const {
    return Send(kSpawn, OrderPayload(program, exchange, cap, queueMs));
  }
  static std::string OrderPayload(const std::string& program, const std::string& exchange, uint32_t cap,
                                  uint32_t queueMs, const std::string& label = "label",
                                  const std::string& environment = "PATH=/usr/bin:/bin") {
    std::string payload;
    EXPECT_TRUE(EncodeOrder(OrderText(program, exchange, cap, queueMs, label, environment), &payload))
        << "an order of " << program;
    return payload;
  }
  static SpawnOrderText OrderText(const std::string& program, const std::string& exchange, uint32_t cap,
                                  uint32_t queueMs, const std::string& label = "label",
                                  const std::string& environment = "PATH=/usr/bin:/bin") {
    SpawnOrderText order;
    order.fixed.maxBackends = cap;
    order.fixed.queueTimeoutMs = queueMs;
    order.fixed.killGraceMs = 300;
    order.fixed.stopAbandoned = 1;
    std::memcpy(order.fixed.limits, kNoLimits, sizeof kNoLimits);
    order.strings[kProgram] = program;
    order.strings[kArgument] = exchange;
    order.strings[kLabel] = label;
    order.strings[kLogId] = "logid";
    order.strings[kUploadDirectory] = exchange + ".d";
    order.environment = {environment};
    return order;
  }
  int Connect() const {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
  }
  int Send(uint32_t type, const std::string& payload) const {
    const int fd = Connect();
    SendOn(fd, type, payload);
    return fd;
  }
  static bool SendOn(int fd, uint32_t type, const std::string& payload) { return SendPacket(fd, type, payload); }
  // The reply's type and payload.
  static std::pair<uint32_t, std::string> Reply(int fd) {
    std::string buffer(kSpawnPacketLimit, '\0');
    const char* payload = nullptr;
    size_t length = 0;
    const uint32_t type = ReceivePacket(fd, buffer.data(), buffer.size(), &payload, &length);
    if (type == kNoPacket) return {0, ""};
    return {type, std::string(payload, length)};
  }
  std::string Status() const {
    const int fd = Send(kStatus, "");
    const std::string text = Reply(fd).second;
    close(fd);
    return text;
  }

 private:
  std::string path_;
  pid_t pid_;
};

bool Alive(pid_t pid) { return kill(pid, 0) == 0; }

bool SendDone(int fd, bool answered, const std::string& result) {
  return SendPacket(fd, kDone, EncodeDone(answered, result.c_str()));
}

bool WaitUntil(bool (*condition)(pid_t), pid_t pid, int milliseconds) {
  for (int k = 0; k < milliseconds / 10 && !condition(pid); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return condition(pid);
}

// The lines about a request's program go where its order says: its site (by place and name), its
// client, the level of its standard error; a line written after its request ended too. Its start
// refused is one warning of its site's.
TEST(Spawner, ProgramLinesCarryTheirOrdersSiteClientAndLevel) {
  TempDir dir;
  const std::string log = dir.File("spawner.log");
  const SpawnerProcess spawner(dir, log);
  const std::string talker = Script(dir, "talker", "echo early >&2\nsleep 0.3\necho late >&2");
  SpawnOrderText talking = SpawnerProcess::OrderText(talker, dir.File("VC1.tmp"), 0, 1000, "talker");
  talking.fixed.site = 2;
  talking.fixed.stderrLevel = 6;
  talking.strings[kSiteName] = "b.conf:1 b.example";
  talking.strings[kClient] = "192.0.2.9:4711";
  SpawnOrderText missing = SpawnerProcess::OrderText(dir.File("missing"), dir.File("VC2.tmp"), 0, 1000, "missing");
  missing.fixed.site = 1;
  missing.fixed.stderrLevel = 7;
  missing.strings[kSiteName] = "a.conf:1 a.example";
  missing.strings[kClient] = "[2001:db8::5]:80";
  std::string payload;
  ASSERT_TRUE(EncodeOrder(talking, &payload));
  const int fd = spawner.Send(kSpawn, payload);
  ASSERT_EQ(SpawnerProcess::Reply(fd).first, kStarted);
  // The request has its answer before the program's last line.
  ASSERT_TRUE(SendDone(fd, true, "1"));
  ASSERT_TRUE(EncodeOrder(missing, &payload));
  const int refused = spawner.Send(kSpawn, payload);
  EXPECT_EQ(SpawnerProcess::Reply(refused).first, kStartFailed);
  close(refused);
  for (int k = 0; k < 500 && ReadAll(log).find("late") == std::string::npos; ++k) usleep(10 * 1000);
  close(fd);
  const std::string lines = ReadAll(log);
  const char* const expected[] = {
      "6|2|b.conf:1 b.example|192.0.2.9:4711|karvel: talker [logid]: early\n",
      "6|2|b.conf:1 b.example|192.0.2.9:4711|karvel: talker [logid]: late\n",
      "4|1|a.conf:1 a.example|[2001:db8::5]:80|karvel: cannot start missing [logid]: ",
  };
  for (const char* line : expected) EXPECT_NE(lines.find(line), std::string::npos) << line << " in\n" << lines;
}

TEST(Spawner, CapsQueuesAndStopsPrograms) {
  TempDir dir;
  const SpawnerProcess spawner(dir);
  const std::string sleeper = Script(dir, "sleeper", "trap '' TERM\nsleep 30");
  const std::string exchange = dir.File("VC1.tmp");
  WriteAll(exchange, "request");
  mkdir((exchange + ".d").c_str(), 0700);
  WriteAll(exchange + ".d/upload", "u");

  // The first of a cap of one starts; the second waits for the slot and gets kBusy.
  const int first = spawner.Order(sleeper, exchange, 1, 400);
  const auto [type, payload] = SpawnerProcess::Reply(first);
  ASSERT_EQ(type, kStarted);
  SpawnReply started{};
  std::memcpy(&started, payload.data(), sizeof started);
  const pid_t pid = started.value;
  EXPECT_TRUE(Alive(pid));
  const auto before = std::chrono::steady_clock::now();
  const int second = spawner.Order(sleeper, dir.File("VC2.tmp"), 1, 400);
  EXPECT_EQ(SpawnerProcess::Reply(second).first, kBusy);
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(350));
  close(second);
  // A program that cannot start is said so.
  const int missing = spawner.Order(dir.File("missing"), dir.File("VC3.tmp"), 0, 400);
  const auto [failed, error] = SpawnerProcess::Reply(missing);
  EXPECT_EQ(failed, kStartFailed);
  close(missing);

  const std::string status = spawner.Status();
  EXPECT_NE(status.find("Running: 1\n"), std::string::npos) << status;
  EXPECT_NE(status.find("Result-503: 1\n"), std::string::npos) << status;
  EXPECT_NE(status.find("Result-start-failed: 1\n"), std::string::npos) << status;
  EXPECT_NE(status.find(" waiting label\n"), std::string::npos) << status;

  // The request gives up: SIGTERM (ignored here), SIGKILL after the grace, the files removed.
  ASSERT_TRUE(SendDone(first, false, "timeout"));
  close(first);
  EXPECT_TRUE(WaitUntil([](pid_t p) { return !Alive(p); }, pid, 2000)) << "stopped within the grace";
  // The file goes first, its upload directory a moment later: both are waited for.
  for (int k = 0; k < 200 && (test_support::Exists(exchange) || test_support::Exists(exchange + ".d")); ++k) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(test_support::Exists(exchange));
  EXPECT_FALSE(test_support::Exists(exchange + ".d"));
  EXPECT_NE(spawner.Status().find("Result-timeout: 1\n"), std::string::npos);
}

}  // namespace

namespace {

// A program that ends at once: its kExited reaches a request that reads it, or one that never asks.
// Either way the answered request's kDone counts, and its files are its own to remove.
TEST(Spawner, AnsweredRequestsKeepTheirFilesWhetherOrNotTheyReadTheExitNotice) {
  TempDir dir;
  const SpawnerProcess spawner(dir);
  const std::string quick = Script(dir, "quick", "exit 0");
  for (const bool readsExitNotice : {false, true}) {
    for (int k = 0; k < 5; ++k) {
      const std::string exchange = dir.File("VC" + std::to_string(readsExitNotice) + std::to_string(k) + ".tmp");
      WriteAll(exchange, "91 answer");
      const int fd = spawner.Order(quick, exchange, 0, 400);
      ASSERT_EQ(SpawnerProcess::Reply(fd).first, kStarted);
      if (readsExitNotice) {
        EXPECT_EQ(SpawnerProcess::Reply(fd).first, kExited);
      } else {
        // The notice is sent and left unread, as a request that found its answer first leaves it.
        pollfd ready{fd, POLLIN, 0};
        EXPECT_EQ(poll(&ready, 1, 5000), 1);
      }
      ASSERT_TRUE(SendDone(fd, true, "1"));
      close(fd);
      const std::string status = spawner.Status();  // after the kDone: one connection at a time
      EXPECT_EQ(status.find("Result-abandoned"), std::string::npos) << status;
      EXPECT_TRUE(test_support::Exists(exchange)) << exchange << (readsExitNotice ? " (notice read)" : "");
    }
  }
  EXPECT_NE(spawner.Status().find("Result-1: 10\n"), std::string::npos) << spawner.Status();
}

// Orders that arrive together are started side by side, yet never more than the cap: programs
// still being started count against it.
TEST(Spawner, OrdersArrivingTogetherKeepToTheCap) {
  TempDir dir;
  const SpawnerProcess spawner(dir);
  const std::string sleeper = Script(dir, "sleeper", "sleep 2");
  for (const uint32_t cap : {1u, 2u, 3u}) {
    std::vector<int> orders;
    for (int k = 0; k < 6; ++k) {
      orders.push_back(spawner.Order(sleeper, dir.File("VC" + std::to_string(cap) + std::to_string(k) + ".tmp"), cap, 300));
    }
    std::vector<pid_t> started;
    int busy = 0;
    for (const int fd : orders) {
      const auto [type, payload] = SpawnerProcess::Reply(fd);
      if (type == kStarted) {
        SpawnReply reply{};
        std::memcpy(&reply, payload.data(), sizeof reply);
        started.push_back(reply.value);
      }
      busy += type == kBusy;
    }
    EXPECT_EQ(started.size(), cap) << "cap " << cap;
    EXPECT_EQ(busy, 6 - static_cast<int>(cap)) << "cap " << cap;
    for (const pid_t pid : started) kill(-pid, SIGKILL);
    for (const int fd : orders) close(fd);
    // The killed programs are reaped before the next cap's orders come.
    for (int k = 0; k < 200 && spawner.Status().find("Running: 0\n") == std::string::npos; ++k) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

// A connection serves order after order: a kExited sent before the spawner read the last kDone
// comes ahead of the next reply. Connections waiting for an order are told kClosing and closed
// when the spawner keeps too many (the oldest) or is ending; an order sent on one after that fails.
TEST(Spawner, ConnectionsAreKeptFromOneOrderToTheNext) {
  TempDir dir;
  const SpawnerProcess spawner(dir);
  const std::string quick = Script(dir, "quick", "exit 0");
  const int kept = spawner.Connect();
  for (int k = 0; k < 4; ++k) {
    const std::string exchange = dir.File("VC" + std::to_string(k) + ".tmp");
    WriteAll(exchange, "91 answer");
    ASSERT_TRUE(SpawnerProcess::SendOn(kept, kSpawn, SpawnerProcess::OrderPayload(quick, exchange, 0, 400)));
    uint32_t type = SpawnerProcess::Reply(kept).first;
    if (k > 0) {
      EXPECT_EQ(type, kExited) << "order " << k << ": the last program's notice, unread, comes first";
      type = SpawnerProcess::Reply(kept).first;
    }
    ASSERT_EQ(type, kStarted) << "order " << k;
    // The notice is left unread, as a request that found its answer first leaves it.
    pollfd ready{kept, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 5000), 1);
    ASSERT_TRUE(SendDone(kept, true, "1"));
  }
  const std::string status = spawner.Status();
  EXPECT_NE(status.find("Result-1: 4\n"), std::string::npos) << status;
  EXPECT_EQ(status.find("Result-abandoned"), std::string::npos) << status;

  // Too many waiting: the oldest go first. A connection that was told kClosing is closed.
  std::vector<int> idle;
  for (int k = 0; k < 300; ++k) idle.push_back(spawner.Connect());
  EXPECT_EQ(SpawnerProcess::Reply(kept).first, kExited);
  EXPECT_EQ(SpawnerProcess::Reply(kept).first, kClosing) << "the oldest waiting connection";
  EXPECT_EQ(SpawnerProcess::Reply(kept).first, 0u) << "then closed";
  for (size_t k = 0; k < idle.size(); ++k) {
    pollfd ready{idle[k], POLLIN, 0};
    const bool told = poll(&ready, 1, k < 44 ? 5000 : 0) == 1;
    EXPECT_EQ(told, k < 44) << "connection " << k << " of 300, 256 kept";
    if (told) {
      EXPECT_EQ(SpawnerProcess::Reply(idle[k]).first, kClosing) << "connection " << k;
    }
  }
  // An ending spawner closes every connection that waits for an order.
  kill(spawner.pid(), SIGHUP);
  for (size_t k = 44; k < idle.size(); ++k) {
    EXPECT_EQ(SpawnerProcess::Reply(idle[k]).first, kClosing) << "connection " << k;
    EXPECT_EQ(SpawnerProcess::Reply(idle[k]).first, 0u) << "connection " << k;
  }
  for (const int fd : idle) close(fd);
  close(kept);
}

}  // namespace

namespace {

// The status's "Name: value" lines (Program lines gathered under "Program").
std::vector<std::pair<std::string, std::string>> StatusLines(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const size_t colon = line.find(": ");
    lines.emplace_back(line.substr(0, colon), colon == std::string::npos ? "" : line.substr(colon + 2));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

std::string StatusValue(const std::string& text, const std::string& name) {
  for (const auto& [key, value] : StatusLines(text)) {
    if (key == name) return value;
  }
  return "";
}

pid_t StartedPid(const std::pair<uint32_t, std::string>& reply) {
  SpawnReply started{};
  if (reply.first != kStarted || reply.second.size() < sizeof started) return 0;
  std::memcpy(&started, reply.second.data(), sizeof started);
  return started.value;
}

// A peer may report any result text; each is counted as one of a closed set, however many and
// however long they are, and the status stays whole.
TEST(Spawner, ResultsAreCountedAsAClosedSet) {
  TempDir dir;
  const SpawnerProcess spawner(dir);
  const struct {
    std::string sent;
    const char* counted;
  } results[] = {
      {"1", "Result-1"}, {"2", "Result-2"}, {"4", "Result-4"}, {"99", "Result-99"}, {"timeout", "Result-timeout"},
      {"client-gone", "Result-client-gone"}, {"exited", "Result-exited"}, {"", "Result-other"},
      {"abandonedx", "Result-other"}, {"1\nRunning: 99", "Result-other"}, {std::string(60000, 'r'), "Result-other"},
      {"503", "Result-503"},
  };
  // Orders name programs as requests resolved them: no link on the way (/bin is one on Debian).
  char resolved[PATH_MAX];
  ASSERT_NE(realpath("/bin/true", resolved), nullptr);
  const std::string program = resolved;
  const int kept = spawner.Connect();
  auto report = [&](const std::string& result) {
    const std::string exchange = dir.File("VC.tmp");
    SpawnerProcess::SendOn(kept, kSpawn, SpawnerProcess::OrderPayload(program, exchange, 0, 400));
    auto reply = SpawnerProcess::Reply(kept);
    while (reply.first == kExited) reply = SpawnerProcess::Reply(kept);
    ASSERT_EQ(reply.first, kStarted);
    ASSERT_TRUE(SendDone(kept, true, result));
  };
  for (const auto& c : results) {
    const std::string before = StatusValue(spawner.Status(), c.counted);
    report(c.sent);
    const std::string after = StatusValue(spawner.Status(), c.counted);
    EXPECT_EQ(std::to_string((before.empty() ? 0 : std::stoi(before)) + 1), after) << c.counted << " for " << c.sent.substr(0, 20);
  }
  // A flood of distinct texts: one count more, the status whole and within one packet.
  const std::string before = StatusValue(spawner.Status(), "Result-other");
  for (int k = 0; k < 400; ++k) report("flood-" + std::to_string(k) + std::string(300, 'x'));
  // (The last programs are reaped a moment after they ended.)
  std::string status = spawner.Status();
  for (int k = 0; k < 300 && StatusValue(status, "Running") != "0"; ++k) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    status = spawner.Status();
  }
  EXPECT_EQ(std::to_string(std::stoi(before) + 400), StatusValue(status, "Result-other")) << status.substr(0, 400);
  EXPECT_LE(status.size(), kSpawnMessageLimit);
  EXPECT_EQ("0", StatusValue(status, "Running")) << status.substr(0, 400);
  EXPECT_EQ(std::string::npos, status.find("flood")) << status.substr(0, 400);
  EXPECT_EQ(std::string::npos, status.find("Running: 99")) << status.substr(0, 400);
  close(kept);
}

// However many programs run and however long their names, the status is one packet: its totals
// whole, a bounded list of programs and a count of those not listed; a name cannot make a line.
TEST(Spawner, StatusFitsOnePacketWhateverRuns) {
  TempDir dir;
  const SpawnerProcess spawner(dir);
  const std::string sleeper = Script(dir, "sleeper", "exec sleep 30");
  const std::string longLabel = std::string(1000, 'n') + "\nRunning: 99";
  std::vector<int> orders;
  for (int k = 0; k < 130; ++k) {
    const std::string exchange = dir.File("VC" + std::to_string(k) + ".tmp");
    orders.push_back(spawner.Send(kSpawn, SpawnerProcess::OrderPayload(sleeper, exchange, 0, 400, longLabel)));
  }
  std::vector<pid_t> pids;
  for (const int fd : orders) pids.push_back(StartedPid(SpawnerProcess::Reply(fd)));
  EXPECT_EQ(std::count(pids.begin(), pids.end(), 0), 0);
  const std::string status = spawner.Status();
  EXPECT_EQ("130", StatusValue(status, "Running")) << status.substr(0, 400);
  size_t listed = 0;
  std::string unlisted;
  for (const auto& [key, value] : StatusLines(status)) {
    EXPECT_NE(key, "Running: 99");
    if (key != "Program") continue;
    if (value.rfind("...", 0) == 0) {
      unlisted = value;
    } else {
      ++listed;
      EXPECT_LE(value.size(), 320u) << "a program's line";
    }
  }
  EXPECT_EQ(listed, 100u);
  EXPECT_EQ(unlisted, "... (30 more)");
  EXPECT_EQ(std::count(status.begin(), status.end(), '\n'), static_cast<long>(StatusLines(status).size()));
  for (const pid_t pid : pids) {
    if (pid > 0) kill(-pid, SIGKILL);
  }
  for (const int fd : orders) close(fd);
}

// A request that gave up has its program's whole group stopped, whether or not the program itself
// still runs, and the group counts against the cap until it is empty: the next order of a cap of
// one starts only then, and the files go only then. A program that answered is left alone with
// what it started, which no longer counts once it has ended.
TEST(Spawner, GroupsOfRequestsThatGaveUpAreStoppedAndCountedUntilEmpty) {
  TempDir dir;
  const SpawnerProcess spawner(dir);
  const std::string quick = Script(dir, "quick", "exit 0");
  const struct {
    const char* name;
    std::string body;  // writes its lingering child's pid to $1.pid
    bool endsFirst;    // the program ends before its request gives up
    bool answered;
  } cases[] = {
      {"forks and ends", "( trap '' TERM; exec sleep 30 ) &\necho $! > \"$1.pid\"\nexit 0", true, false},
      {"forks and runs on", "trap '' TERM\n( trap '' TERM; exec sleep 30 ) &\necho $! > \"$1.pid\"\nsleep 30", false, false},
      {"a grandchild of a child that ended",
       "( ( trap '' TERM; exec sleep 30 ) & echo $! > \"$1.pid\" )\nexit 0", true, false},
      {"answered, a child left at work", "( exec sleep 30 ) &\necho $! > \"$1.pid\"\nexit 0", true, true},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string program = Script(dir, "case" + std::to_string(n), c.body);
    const std::string exchange = dir.File("VC" + std::to_string(n++) + ".tmp");
    WriteAll(exchange, "request");
    const int first = spawner.Order(program, exchange, 1, 400);
    ASSERT_NE(StartedPid(SpawnerProcess::Reply(first)), 0);
    for (int k = 0; k < 500 && ReadAll(exchange + ".pid").find('\n') == std::string::npos; ++k) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const pid_t child = static_cast<pid_t>(std::atol(ReadAll(exchange + ".pid").c_str()));
    ASSERT_GT(child, 0);
    if (c.endsFirst) {
      ASSERT_EQ(SpawnerProcess::Reply(first).first, kExited);
      // Its request still waits: what it left at work counts.
      EXPECT_EQ("1", StatusValue(spawner.Status(), "Running"));
    }
    ASSERT_TRUE(SendDone(first, c.answered, c.answered ? "1" : "timeout"));
    // The next order waits for the slot (up to 20 s: well past the grace).
    const int second = spawner.Order(quick, dir.File("next.tmp"), 1, 20000);
    const auto reply = SpawnerProcess::Reply(second);
    EXPECT_EQ(reply.first, kStarted);
    EXPECT_EQ(Alive(child), c.answered) << "when the next program started";
    EXPECT_EQ(test_support::Exists(exchange), c.answered) << "the request's files";
    ASSERT_TRUE(SendDone(second, true, "1"));
    close(second);
    close(first);
    if (c.answered) kill(child, SIGKILL);
    for (int k = 0; k < 300 && StatusValue(spawner.Status(), "Running") != "0"; ++k) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

// The queue keeps a bounded amount of orders: those beyond are refused at once, not kept for
// their whole wait.
TEST(Spawner, TheQueueKeepsABoundedAmount) {
  TempDir dir;
  const SpawnerProcess spawner(dir);
  const std::string sleeper = Script(dir, "sleeper", "exec sleep 30");
  const int holder = spawner.Order(sleeper, dir.File("VCH.tmp"), 1, 60000);
  ASSERT_NE(StartedPid(SpawnerProcess::Reply(holder)), 0);
  // Orders of 60 KB each, far more than the queue keeps.
  const std::string big = "FILL=" + std::string(60000, 'f');
  std::vector<int> flood;
  for (int k = 0; k < 700; ++k) {
    flood.push_back(spawner.Send(kSpawn, SpawnerProcess::OrderPayload(sleeper, dir.File("VCF" + std::to_string(k)), 1,
                                                                       60000, "label", big)));
  }
  std::string counts;
  for (int k = 0; k < 1000; ++k) {
    counts = spawner.Status();
    if (std::stoi(StatusValue(counts, "WaitingForSlot")) + std::stoi(StatusValue(counts, "Busy")) == 700) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const int waiting = std::stoi(StatusValue(counts, "WaitingForSlot"));
  const int busy = std::stoi(StatusValue(counts, "Busy"));
  EXPECT_EQ(waiting + busy, 700) << counts.substr(0, 300);
  EXPECT_GT(busy, 0) << "the queue keeps a bounded amount";
  EXPECT_GT(waiting, 0);
  int refused = 0;
  for (const int fd : flood) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 0) == 1 && SpawnerProcess::Reply(fd).first == kBusy) ++refused;
  }
  EXPECT_EQ(refused, busy);
  for (const int fd : flood) close(fd);
  close(holder);
}

// The extension says how a program runs; the spawner checks that against the program file and
// the site, and refuses (ENOEXEC) what does not agree. This spawner has no Wine at all.
TEST(Spawner, HowAProgramRunsIsCheckedAgainstItsFile) {
  TempDir dir;
  const SpawnerProcess spawner(dir);
  const std::string script = Script(dir, "native", "exit 0");
  // "MZ", the PE offset at 0x3C, an i386 PE header there.
  std::string image(0x200, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  image[0x3C] = 0x80;
  image.replace(0x80, 6, std::string("PE\0\0\x4c\x01", 6));
  const std::string windows = dir.File("program.exe");
  WriteAll(windows, image);
  chmod(windows.c_str(), 0700);
  const struct {
    const char* what;
    std::string program;
    uint32_t siteWine, underWine;
    uint32_t reply;
  } cases[] = {
      {"a native program run natively", script, 1, 0, kStarted},
      {"a Windows program run natively", windows, 1, 0, kStartFailed},
      {"a native program run under Wine", script, 1, 1, kStartFailed},
      {"under Wine where the site has it off", windows, 0, 1, kStartFailed},
      {"under Wine where the spawner has none", windows, 1, 1, kStartFailed},
  };
  int k = 0;
  for (const auto& c : cases) {
    SpawnOrderText order = SpawnerProcess::OrderText(c.program, dir.File("VCW" + std::to_string(k++) + ".tmp"), 0, 400);
    order.fixed.wine = c.siteWine;
    order.fixed.underWine = c.underWine;
    std::string payload;
    ASSERT_TRUE(EncodeOrder(order, &payload));
    const int fd = spawner.Send(kSpawn, payload);
    const auto [type, reply] = SpawnerProcess::Reply(fd);
    EXPECT_EQ(type, c.reply) << c.what;
    int32_t error = 0;
    if (type == kStartFailed) {
      ASSERT_TRUE(DecodeReply(reply.data(), reply.size(), &error)) << c.what;
      EXPECT_EQ(error, ENOEXEC) << c.what;
    }
    if (type == kStarted) {
      auto next = SpawnerProcess::Reply(fd);
      EXPECT_EQ(next.first, kExited) << c.what;
      EXPECT_TRUE(SendDone(fd, true, "1"));
    }
    close(fd);
  }
}

// A connection that sends what it may not while its program runs ends, and with it the request:
// the program is stopped as for a request that gave up, its files removed, and it counts no more.
TEST(Spawner, ARunningRequestThatSendsNonsenseHasGivenUp) {
  TempDir dir;
  const SpawnerProcess spawner(dir);
  const std::string sleeper = Script(dir, "sleeper", "exec sleep 30");
  const struct {
    const char* what;
    uint32_t type;
    std::string payload;
  } cases[] = {
      {"a result cut short", kDone, ""},
      {"a result without its end", kDone, std::string(sizeof(SpawnDone), '\0') + "1"},
      {"another order", kSpawn, SpawnerProcess::OrderPayload(sleeper, dir.File("VCX.tmp"), 0, 400)},
      {"a status request", kStatus, ""},
      {"a reply of the spawner's", kStarted, EncodeReply(1)},
  };
  int k = 0;
  for (const auto& c : cases) {
    const std::string exchange = dir.File("VCN" + std::to_string(k++) + ".tmp");
    WriteAll(exchange, "request");
    mkdir((exchange + ".d").c_str(), 0700);
    const int fd = spawner.Order(sleeper, exchange, 0, 400);
    const pid_t pid = StartedPid(SpawnerProcess::Reply(fd));
    ASSERT_NE(pid, 0) << c.what;
    const std::string before = StatusValue(spawner.Status(), "Result-abandoned");
    ASSERT_TRUE(SpawnerProcess::SendOn(fd, c.type, c.payload)) << c.what;
    EXPECT_EQ(SpawnerProcess::Reply(fd).first, 0u) << c.what << ": the connection is closed";
    EXPECT_TRUE(WaitUntil([](pid_t p) { return !Alive(p); }, pid, 3000)) << c.what << ": its program stopped";
    for (int n = 0; n < 200 && (test_support::Exists(exchange) || test_support::Exists(exchange + ".d")); ++n) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(test_support::Exists(exchange)) << c.what << ": its exchange file removed";
    EXPECT_FALSE(test_support::Exists(exchange + ".d")) << c.what << ": its upload directory removed";
    const std::string status = spawner.Status();
    EXPECT_EQ(StatusValue(status, "Result-abandoned"), std::to_string((before.empty() ? 0 : std::stoi(before)) + 1))
        << c.what << "\n" << status;
    close(fd);
  }
}

}  // namespace

namespace {

// Only the server's own children order programs: a peer of another user (here one that found the
// socket open to all) gets no reply, not even the status, and the refusal is logged.
TEST(Spawner, PeersOfAnotherUserAreRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "a peer of another user needs root to be made";
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  const std::string log = dir.File("spawner.log");
  SpawnerProcess spawner(dir, log);
  chmod(dir.File("spawner.sock").c_str(), 0666);
  const pid_t peer = fork();
  if (peer == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    const int fd = spawner.Connect();
    SendPacket(fd, kStatus, nullptr, 0);
    _exit(SpawnerProcess::Reply(fd).first == 0 ? 0 : 1);
  }
  int status = -1;
  waitpid(peer, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other user's peer was answered";
  // The server's own user is still served.
  EXPECT_NE(std::string::npos, spawner.Status().find("Running: 0"));
  EXPECT_NE(std::string::npos, test_support::ReadAll(log).find("refused a connection from uid 65534"));
}

// The connections and program groups a test holds, closed and killed however it ends (a
// connection left open would keep the spawner from ending).
struct Held {
  std::vector<int> fds;
  std::vector<pid_t> groups;
  ~Held() {
    for (const pid_t pid : groups) {
      if (pid > 0) kill(-pid, SIGKILL);
    }
    for (const int fd : fds) close(fd);
  }
  int Fd(int fd) {
    fds.push_back(fd);
    return fd;
  }
  pid_t Group(pid_t pid) {
    groups.push_back(pid);
    return pid;
  }
};

// Each site's programs count against its own cap (by its place and name together), within the
// server's: an order of a full site waits for its slot (kBusy when the wait runs out) while the
// orders of other sites start at once, and starts when its site's program ends.
TEST(Spawner, EachSiteHasItsOwnShareOfThePrograms) {
  TempDir dir;
  const SpawnerProcess spawner(dir);
  const std::string sleeper = Script(dir, "sleeper", "exec sleep 30");
  const std::string siteA = "a.conf:1 a.example";
  int n = 0;
  auto order = [&](uint32_t site, const std::string& name, uint32_t siteCap, uint32_t serverCap, uint32_t queueMs) {
    SpawnOrderText text = SpawnerProcess::OrderText(sleeper, dir.File("VCS" + std::to_string(n++) + ".tmp"),
                                                    serverCap, queueMs, "sleeper");
    text.fixed.site = site;
    text.strings[kSiteName] = name;
    text.fixed.siteMaxBackends = siteCap;
    std::string payload;
    EXPECT_TRUE(EncodeOrder(text, &payload));
    return spawner.Send(kSpawn, payload);
  };
  Held held;
  const int holder = held.Fd(order(1, siteA, 1, 0, 400));
  const pid_t holderPid = held.Group(StartedPid(SpawnerProcess::Reply(holder)));
  ASSERT_NE(holderPid, 0);
  // A's next order waits for the slot, long enough to outlast the table.
  const int queued = held.Fd(order(1, siteA, 1, 0, 20000));
  for (int k = 0; k < 300 && StatusValue(spawner.Status(), "WaitingForSlot") != "1"; ++k) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(StatusValue(spawner.Status(), "WaitingForSlot"), "1");
  const struct {
    const char* what;
    uint32_t site;
    std::string name;
    uint32_t siteCap, serverCap;
    uint32_t reply;
  } cases[] = {
      {"its site is full", 1, siteA, 1, 0, kBusy},
      {"another site, while A's order waits", 2, "b.conf:1 b.example", 1, 0, kStarted},
      {"another site at the same place (another reading)", 1, "a.conf:7 other.example", 1, 0, kStarted},
      {"the other site is full now", 2, "b.conf:1 b.example", 1, 0, kBusy},
      {"a site without a cap of its own", 3, "c.conf:1 c.example", 0, 0, kStarted},
      {"a site with room, the server full (4 running)", 4, "d.conf:1 d.example", 10, 4, kBusy},
      {"a site with room, the server too", 4, "d.conf:1 d.example", 10, 5, kStarted},
  };
  for (const auto& c : cases) {
    const int fd = held.Fd(order(c.site, c.name, c.siteCap, c.serverCap, 300));
    const auto reply = SpawnerProcess::Reply(fd);
    EXPECT_EQ(reply.first, c.reply) << c.what;
    held.Group(StartedPid(reply));
  }
  const std::string status = spawner.Status();
  for (const char* line : {"Site: a.conf:1 a.example running=1 waiting=1 cap=1\n",
                           "Site: a.conf:7 other.example running=1 waiting=0 cap=1\n",
                           "Site: b.conf:1 b.example running=1 waiting=0 cap=1\n",
                           "Site: c.conf:1 c.example running=1 waiting=0 cap=0\n"}) {
    EXPECT_NE(status.find(line), std::string::npos) << line << " in\n" << status;
  }
  // A's program ends (its request answered): the order waiting for A's slot starts.
  ASSERT_TRUE(SendDone(holder, true, "1"));
  kill(-holderPid, SIGKILL);
  EXPECT_NE(held.Group(StartedPid(SpawnerProcess::Reply(queued))), 0) << "the waiting order of A starts once A has room";
}

// A site's program that ended without an answer counts for its site while its group lives, as it
// does for the server.
TEST(Spawner, ASitesEndedProgramCountsWhileItsGroupLives) {
  TempDir dir;
  const SpawnerProcess spawner(dir);
  const std::string leaver = Script(dir, "leaver", "( exec sleep 30 ) &\necho $! > \"$1.pid\"\nexit 0");
  const std::string quick = Script(dir, "quick", "exit 0");
  auto order = [&](const std::string& program, const std::string& exchange, uint32_t queueMs) {
    SpawnOrderText text = SpawnerProcess::OrderText(program, exchange, 0, queueMs);
    text.fixed.site = 1;
    text.strings[kSiteName] = "a.conf:1 a.example";
    text.fixed.siteMaxBackends = 1;
    std::string payload;
    EXPECT_TRUE(EncodeOrder(text, &payload));
    return spawner.Send(kSpawn, payload);
  };
  Held held;
  const std::string exchange = dir.File("VCL.tmp");
  const int first = held.Fd(order(leaver, exchange, 400));
  ASSERT_NE(held.Group(StartedPid(SpawnerProcess::Reply(first))), 0);
  ASSERT_EQ(SpawnerProcess::Reply(first).first, kExited);
  for (int k = 0; k < 500 && ReadAll(exchange + ".pid").find('\n') == std::string::npos; ++k) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const pid_t child = static_cast<pid_t>(std::atol(ReadAll(exchange + ".pid").c_str()));
  ASSERT_GT(child, 0);
  // The request still waits, the program has ended, its child lives: the site is full.
  const int second = held.Fd(order(quick, dir.File("VCQ.tmp"), 300));
  EXPECT_EQ(SpawnerProcess::Reply(second).first, kBusy);
  kill(child, SIGKILL);
  const int third = held.Fd(order(quick, dir.File("VCR.tmp"), 20000));
  EXPECT_EQ(SpawnerProcess::Reply(third).first, kStarted) << "once the group is gone";
}

}  // namespace
