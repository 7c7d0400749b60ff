// Resident instances without Apache: KarvelResident's words read or refused, the pool's choices
// (which instance takes an order, when one more starts, when one retires), the channel's words
// both ways, and an instance started with its channel as descriptor 3 and no argument.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "host/module/resident_setting.h"
#include "host/spawner/resident_channel.h"
#include "host/spawner/resident_pool.h"
#include "host/spawner/spawn_program.h"
#include "support/files.h"

namespace {

using test_support::TempDir;
using test_support::WriteAll;

TEST(ResidentSetting, LinesAreReadWithTheirDefaultsOrRefusedSayingWhy) {
  const struct {
    std::vector<const char*> words;
    long processors;
    const char* refusal;  // "" where the line holds
    int instances, maxRequests, idleSeconds;
  } cases[] = {
      {{"echo"}, 4, "", 8, 10000, 300},
      {{"echo"}, 0, "", 2, 10000, 300},
      {{"echo"}, 4096, "", kResidentMostInstances, 10000, 300},
      {{"sub/echo", "instances=3", "max-requests=0", "idle=0"}, 4, "", 3, 0, 0},
      {{"echo", "idle=60", "instances=1"}, 4, "", 1, 10000, 60},
      {{"echo", "max-requests=1000000000"}, 1, "", 2, kResidentMostRequests, 300},
      {{}, 4, "names the program", 0, 0, 0},
      {{""}, 4, "empty", 0, 0, 0},
      {{"/srv/echo"}, 4, "must be named as a form names it", 0, 0, 0},
      {{"../echo"}, 4, "leaves the back-end directory", 0, 0, 0},
      {{"sub/../../echo"}, 4, "leaves the back-end directory", 0, 0, 0},
      {{"instances=2"}, 4, "the first word must be the program", 0, 0, 0},
      {{"echo", "instances=0"}, 4, "instances takes a whole number from 1 to 1024, not 0", 0, 0, 0},
      {{"echo", "instances=1025"}, 4, "instances takes", 0, 0, 0},
      {{"echo", "instances="}, 4, "instances takes", 0, 0, 0},
      {{"echo", "instances=-1"}, 4, "instances takes", 0, 0, 0},
      {{"echo", "instances=2x"}, 4, "instances takes", 0, 0, 0},
      {{"echo", "idle=99999999999"}, 4, "idle takes", 0, 0, 0},
      {{"echo", "max-requests=1000000001"}, 4, "max-requests takes", 0, 0, 0},
      {{"echo", "instances=2", "instances=3"}, 4, "instances is given twice", 0, 0, 0},
      {{"echo", "instance=2"}, 4, "unknown option instance=2", 0, 0, 0},
      {{"echo", "instances"}, 4, "unknown option instances", 0, 0, 0},
      {{"echo", "instancesx=2"}, 4, "unknown option", 0, 0, 0},
  };
  for (const auto& c : cases) {
    const std::string label = c.words.empty() ? "(none)" : std::string(c.words[0]) + " +" + std::to_string(c.words.size());
    ResidentSetting setting{"untouched", -7, -7, -7};
    const std::string refusal =
        ReadResidentSetting(c.words.data(), static_cast<int>(c.words.size()), c.processors, &setting);
    if (c.refusal[0] == '\0') {
      EXPECT_EQ(refusal, "") << label;
      EXPECT_EQ(setting.program, c.words[0]) << label;
      EXPECT_EQ(setting.instances, c.instances) << label;
      EXPECT_EQ(setting.maxRequests, c.maxRequests) << label;
      EXPECT_EQ(setting.idleSeconds, c.idleSeconds) << label;
    } else {
      EXPECT_NE(refusal.find(c.refusal), std::string::npos) << label << ": " << refusal;
      EXPECT_EQ(setting.program, "untouched") << label;  // a refused line sets nothing
    }
  }
}

ResidentInstance Instance(const char* key, InstanceState state, int64_t idleSince = 0) {
  ResidentInstance instance{};
  instance.key = key;
  instance.state = state;
  instance.idleSince = idleSince;
  return instance;
}

TEST(ResidentPool, AnOrderGoesToTheLatestIdleInstanceOfItsPoolElseStartsOneUnderTheCap) {
  const struct {
    const char* name;
    std::vector<ResidentInstance> instances;
    uint32_t cap;
    bool slotFree;
    ResidentChoice choice;
    size_t chosen;
  } cases[] = {
      {"empty pool", {}, 2, true, kStartInstance, 0},
      {"no slot in the server", {Instance("a", kInstanceIdle)}, 2, false, kWaitForInstance, 0},
      {"idle one", {Instance("a", kInstanceBusy), Instance("a", kInstanceIdle, 5)}, 2, true, kHandToIdle, 1},
      {"latest idle",
       {Instance("a", kInstanceIdle, 5), Instance("a", kInstanceIdle, 9), Instance("a", kInstanceIdle, 7)},
       3, true, kHandToIdle, 1},
      {"another pool's idle one is not taken", {Instance("b", kInstanceIdle), Instance("a", kInstanceBusy)}, 2, true,
       kStartInstance, 0},
      {"all busy at the cap", {Instance("a", kInstanceBusy), Instance("a", kInstanceBusy)}, 2, true, kWaitForInstance, 0},
      {"one starting counts", {Instance("a", kInstanceBusy), Instance("a", kInstanceStarting)}, 2, true,
       kWaitForInstance, 0},
      {"ending ones do not count",
       {Instance("a", kInstanceBusy), Instance("a", kInstanceEnding), Instance("a", kInstanceEnding)}, 2, true,
       kStartInstance, 0},
      {"an ending one is never handed an order", {Instance("a", kInstanceEnding)}, 1, true, kStartInstance, 0},
      {"other pools do not fill this one's cap", {Instance("b", kInstanceBusy), Instance("c", kInstanceBusy)}, 1, true,
       kStartInstance, 0},
  };
  for (const auto& c : cases) {
    size_t chosen = 99;
    EXPECT_EQ(ChooseInstance(c.instances, "a", c.cap, c.slotFree, &chosen), c.choice) << c.name;
    if (c.choice == kHandToIdle) {
      EXPECT_EQ(chosen, c.chosen) << c.name;
    }
  }
}

TEST(ResidentPool, InstancesRetireAfterTheirCountOrIdleTimeAndCountWhileTheyWork) {
  const struct {
    const char* name;
    InstanceState state;
    uint64_t served;
    uint32_t maxRequests, idleSeconds;
    int64_t idleSince, now;
    bool retire, idleTooLong, counted;
  } cases[] = {
      {"fresh", kInstanceIdle, 1, 3, 10, 1000, 1000, false, false, false},
      {"its count served", kInstanceIdle, 3, 3, 10, 1000, 1000, true, false, false},
      {"past its count", kInstanceBusy, 4, 3, 10, 1000, 1000, true, false, true},
      {"no count", kInstanceIdle, 1u << 30, 0, 10, 1000, 1000, false, false, false},
      {"idle just short", kInstanceIdle, 1, 0, 10, 1000, 10999, false, false, false},
      {"idle long enough", kInstanceIdle, 1, 0, 10, 1000, 11000, false, true, false},
      {"idling without end", kInstanceIdle, 1, 0, 0, 0, 1 << 30, false, false, false},
      {"a busy one never idles", kInstanceBusy, 1, 0, 10, 0, 1 << 30, false, false, true},
      {"starting", kInstanceStarting, 0, 0, 10, 0, 1 << 30, false, false, false},
  };
  for (const auto& c : cases) {
    ResidentInstance instance = Instance("a", c.state, c.idleSince);
    instance.served = c.served;
    instance.maxRequests = c.maxRequests;
    instance.idleSeconds = c.idleSeconds;
    EXPECT_EQ(DueToRetire(instance), c.retire) << c.name;
    int64_t due = 0;
    EXPECT_EQ(IdleTooLong(instance, c.now, &due), c.idleTooLong) << c.name;
    if (c.state == kInstanceIdle && c.idleSeconds != 0) {
      EXPECT_EQ(due, c.idleSince + c.idleSeconds * 1000) << c.name;
    }
    EXPECT_EQ(InstanceCounted(instance), c.counted) << c.name;
  }
  ResidentInstance stopped = Instance("a", kInstanceEnding);
  EXPECT_FALSE(InstanceCounted(stopped));  // retired: it ends on its own
  stopped.stopped = true;
  EXPECT_TRUE(InstanceCounted(stopped));  // stopped over a request: it counts until reaped
}

TEST(ResidentPool, OrdersStartedAlikeShareAPool) {
  SpawnOrderText order;
  order.fixed.site = 1;
  order.fixed.residentInstances = 2;
  order.strings[kProgram] = "/srv/backends/echo";
  order.strings[kSiteName] = "site";
  order.environment = {"PATH=/bin", "A=1"};
  const std::string key = PoolKeyOf(order);
  SpawnOrderText same = order;
  same.strings[kArgument] = "/tmp/other-exchange";
  same.strings[kLogId] = "another request";
  EXPECT_EQ(PoolKeyOf(same), key);
  std::vector<SpawnOrderText> others(6, order);
  others[0].fixed.site = 2;
  others[1].strings[kSiteName] = "other";
  others[2].strings[kProgram] = "/srv/backends/echo2";
  others[3].environment = {"PATH=/bin", "A=2"};
  others[4].fixed.limits[kLimitCpu][0] = 5;
  others[5].fixed.residentMaxRequests = 7;
  for (size_t k = 0; k < others.size(); ++k) EXPECT_NE(PoolKeyOf(others[k]), key) << k;
}

struct Channel {
  int ends[2] = {-1, -1};
  Channel() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0); }
  ~Channel() {
    for (int fd : ends) {
      if (fd >= 0) close(fd);
    }
  }
};

TEST(ResidentChannel, RequestsGoAsROnlyWhenTheirPathFits) {
  const std::string longest = "/" + std::string(kResidentPathLimit - 1, 'p');
  const struct {
    std::string path;
    bool sent;
  } cases[] = {
      {"/tmp/karvel/x.ex", true},
      {longest, true},
      {longest + "p", false},
      {"", false},
      {"relative/x.ex", false},
      {std::string("/tmp/a\0b", 8), false},
  };
  for (const auto& c : cases) {
    Channel channel;
    EXPECT_EQ(HandOverRequest(channel.ends[0], c.path), c.sent) << c.path.size();
    char packet[kResidentPathLimit + 16];
    const ssize_t got = recv(channel.ends[1], packet, sizeof packet, MSG_DONTWAIT);
    if (c.sent) {
      ASSERT_EQ(got, static_cast<ssize_t>(c.path.size() + 1));
      EXPECT_EQ(std::string(packet, static_cast<size_t>(got)), "R" + c.path);
    } else {
      EXPECT_LT(got, 0) << "nothing goes for a path that does not fit";
    }
  }
}

TEST(ResidentChannel, TheInstancesWordsAreReadAndAnythingElseEndsIt) {
  const struct {
    std::string packet;  // "(close)": the instance's end closed
    InstanceWord word;
    std::string reason;
  } cases[] = {
      {"D", kWordAnswered, ""},
      {"E", kWordNoAnswer, ""},
      {"Ehandler threw", kWordNoAnswer, "handler threw"},
      {"Eline\nbreak\x01", kWordNoAnswer, "line?break?"},
      {"E" + std::string(kResidentReasonLimit, 'r'), kWordNoAnswer, std::string(kResidentReasonLimit, 'r')},
      {"E" + std::string(kResidentReasonLimit + 1, 'r'), kWordEnded, ""},
      {"Dx", kWordEnded, ""},
      {"X", kWordEnded, ""},
      {"Rpath", kWordEnded, ""},
      {"", kWordEnded, ""},
      {"(close)", kWordEnded, ""},
      {"(none)", kWordNothingYet, ""},
  };
  for (const auto& c : cases) {
    Channel channel;
    if (c.packet == "(close)") {
      close(channel.ends[1]);
      channel.ends[1] = -1;
    } else if (c.packet != "(none)") {
      ASSERT_EQ(send(channel.ends[1], c.packet.data(), c.packet.size(), 0), static_cast<ssize_t>(c.packet.size()));
    }
    std::string reason = "untouched";
    EXPECT_EQ(ReadInstanceWord(channel.ends[0], &reason), c.word) << c.packet;
    if (c.word == kWordNoAnswer) {
      EXPECT_EQ(reason, c.reason) << c.packet;
    }
  }
}

TEST(ResidentStart, AnInstanceHasItsChannelAsDescriptor3AndNoArgument) {
  TempDir dir;
  const std::string program = dir.File("instance");
  // It says its argument count and its variable on its channel.
  WriteAll(program, "#!/bin/sh\nprintf 'args=%s fd=%s' \"$#\" \"$KARVEL_RESIDENT_FD\" >&3\n");
  chmod(program.c_str(), 0700);
  static const int64_t kNone[kLimitCount][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
  char variable[] = "KARVEL_RESIDENT_FD=3";
  char* environment[] = {variable, nullptr};
  // Both a plain start and a checked one (the script then run through its descriptor).
  for (const bool checked : {false, true}) {
    Channel channel;
    ProgramStart start{program.c_str(), "/tmp/not-passed", environment, kNone};
    start.checked = checked;
    start.residentChannel = channel.ends[1];
    pid_t pid = 0;
    ASSERT_EQ(StartProgram(start, &pid, nullptr), 0);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << checked;
    char said[64] = {};
    EXPECT_GT(recv(channel.ends[0], said, sizeof said - 1, MSG_DONTWAIT), 0) << checked;
    EXPECT_STREQ(said, "args=0 fd=3") << checked;
  }
  // Not through a loader: the channel would not reach the program.
  Channel channel;
  ProgramStart start{program.c_str(), "", environment, kNone, "/bin/true"};
  start.residentChannel = channel.ends[1];
  pid_t pid = 0;
  EXPECT_EQ(StartProgram(start, &pid, nullptr), ENOEXEC);
}

}  // namespace
