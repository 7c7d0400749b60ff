// Programs written with karvel::Serve, driven as the spawner drives a resident instance: a
// SOCK_SEQPACKET socket pair, the instance started with KARVEL_RESIDENT_FD=3, one 'R' packet per
// exchange file. Each answer is held to the same program's one-shot run on the same file.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "gateway/fake_ecb.h"
#include "gateway/request_driver.h"
#include "support/files.h"

namespace {

using gateway_test::FakeEcb;
using test_support::ReadAll;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::WriteAll;

const std::string kEcho = std::string(KARVEL_DEMO_BACKENDS) + "/echo";
const std::string kResidentEcho = std::string(KARVEL_DEMO_BACKENDS) + "/resident_echo";
const std::string kFaults = KARVEL_RESIDENT_FAULTS;

// The exit status of `pid` (128 + the signal when one ended it).
int StatusOf(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Starts `program` with `args`, standard error into `errors` (standard output to `out` when that
// is >= 0); `channel` (when >= 0) becomes its descriptor 3 and nothing else passes beyond 0-2.
pid_t Start(const std::string& program, const std::vector<std::string>& args, int channel,
            const std::string& errors, const char* channelName, int out = -1) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (out >= 0) dup2(out, 1);
  const int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (err >= 0) dup2(err, 2);
  if (channel >= 0) dup2(channel, 3);
  for (int fd = channel >= 0 ? 4 : 3; fd < 1024; ++fd) close(fd);
  if (channelName != nullptr) {
    setenv("KARVEL_RESIDENT_FD", channelName, 1);
  } else {
    unsetenv("KARVEL_RESIDENT_FD");
  }
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

int RunOnce(const std::string& program, const std::string& exchangePath, const std::string& errors) {
  return StatusOf(Start(program, {exchangePath}, -1, errors, nullptr));
}

// A resident instance of `program`, as the spawner holds one.
struct Instance {
  pid_t pid = -1;
  int channel = -1;

  Instance(const std::string& program, const std::string& errors, int out = -1) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return;
    // A guard against a hung instance, not a measure of speed.
    const timeval limit{60, 0};
    setsockopt(ends[0], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    pid = Start(program, {}, ends[1], errors, "3", out);
    close(ends[1]);
    channel = ends[0];
  }
  ~Instance() {
    if (channel >= 0) close(channel);
    if (pid > 0) StatusOf(pid);
  }

  // Sends `packet`; the reply packet, "" when none came.
  std::string Ask(const std::string& packet) const {
    if (send(channel, packet.data(), packet.size(), 0) != static_cast<ssize_t>(packet.size())) return "";
    char reply[512];
    const ssize_t n = recv(channel, reply, sizeof reply, 0);
    return n > 0 ? std::string(reply, static_cast<size_t>(n)) : "";
  }

  // Closes the spawner's end; the instance's exit status.
  int Finish() {
    close(channel);
    channel = -1;
    const int status = StatusOf(pid);
    pid = -1;
    return status;
  }

  // The descriptors the instance holds open, and whether its channel is closed on exec.
  std::vector<std::string> OpenDescriptors() const {
    std::vector<std::string> names;
    const std::string where = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* listing = opendir(where.c_str())) {
      while (const dirent* entry = readdir(listing)) {
        if (entry->d_name[0] != '.') names.push_back(entry->d_name);
      }
      closedir(listing);
    }
    return names;
  }
  bool ChannelClosedOnExec() const {
    const std::string info = ReadAll("/proc/" + std::to_string(pid) + "/fdinfo/3");
    const size_t at = info.find("flags:");
    return at != std::string::npos && (std::strtoul(info.c_str() + at + 6, nullptr, 8) & O_CLOEXEC) != 0;
  }
};

std::string WriteRequest(FakeEcb& fake, const std::string& dir) {
  ScopedEnv tmpdir("TMPDIR", dir.c_str());
  ExchangeRequest request{};
  EXPECT_EQ(PrepareRequest(fake.Ecb(), &request), nullptr);
  return request.szExchangePath;
}

TEST(ResidentServe, AnswersRequestAfterRequestAsOneShotRunsDo) {
  TempDir dir;
  const std::string errors = dir.File("stderr");
  Instance echo(kResidentEcho, errors), faults(kFaults, errors);
  ASSERT_GT(echo.pid, 0);
  ASSERT_GT(faults.pid, 0);
  const std::string upload = std::string("GIF89a\0\x01\r\n", 10);
  const std::string multipart = "--XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"up.gif\"\r\n\r\n" +
                                upload + "\r\n--XyZ\r\nContent-Disposition: form-data; name=\"n\"\r\n\r\n\x82\xA0\r\n--XyZ--\r\n";
  enum Kind { kForm, kFile, kPacket };
  const struct {
    const char* name;
    const Instance& instance;
    Kind kind;
    FakeEcb fake;
    std::string bytes;  // the exchange file's bytes (kFile) or the packet itself (kPacket)
    std::string reply;  // "D", or the start of the 'E' packet
    std::string shows = "";  // in the answer
  } cases[] = {
      {"fields", echo, kForm, FakeEcb::Get("a=1&b=%3Cx%3E&VCEXE=p&c="), "", "D", "<td>b</td><td>&lt;x&gt;</td>"},
      {"Shift-JIS values, as sent and converted", echo, kForm, FakeEcb::Get("s=%88%9F%82%A0&k=%B0%A1&VCEXE=p&e=%B0%A1"),
       "", "D", "<td>s</td><td>\x88\x9F\x82\xA0</td><td></td></tr>\n<tr><td>k</td><td>\x88\x9F</td>"},
      {"a UTF-8 form", echo, kForm, FakeEcb::Get("_charset_=UTF-8&t=%E2%91%A0%E3%88%B1%F0%9F%98%80%3Cb%3E"), "", "D",
       "<td>t</td><td>①㈱&#128512;&lt;b&gt;</td>"},
      {"an upload", echo, kForm, FakeEcb::Post(multipart), "", "D", "up.gif</td><td>10 bytes</td>"},
      {"a request that cannot be read", echo, kFile, FakeEcb::Get(""), std::string("2 \0\0 no more", 12), "Eunreadable request: "},
      {"fields again", echo, kForm, FakeEcb::Get("a=2"), "", "D"},
      {"a handler that throws", faults, kForm, FakeEcb::Get("do=throw"), "",
       "Ethe handler threw: asked to throw across lines"},
      {"answered after a throw", faults, kForm, FakeEcb::Get("do=page"), "", "D"},
      {"a handler that throws no std::exception", faults, kForm, FakeEcb::Get("do=throw-int"), "", "Ethe handler threw"},
      {"a handler that answers nothing", faults, kForm, FakeEcb::Get("do=nothing"), "",
       "Ethe handler returned without answering"},
      {"answered after nothing", faults, kForm, FakeEcb::Get("do=page"), "", "D"},
      {"an answer stands when the handler throws after it", faults, kForm, FakeEcb::Get("do=answer-then-throw"), "",
       "D"},
      {"a packet that is not a request", faults, kPacket, FakeEcb::Get(""), "X/tmp/VC0.tmp", "Enot a request packet"},
      {"a path of 4096 bytes", faults, kPacket, FakeEcb::Get(""), "R/" + std::string(4095, 'p'), "Eexchange file path longer"},
      {"a path far too long", faults, kPacket, FakeEcb::Get(""), "R/" + std::string(9000, 'p'), "Eexchange file path longer"},
      {"a relative path", faults, kPacket, FakeEcb::Get(""), "RVC0.tmp", "Eexchange file path not absolute"},
      {"a bare R", faults, kPacket, FakeEcb::Get(""), "R", "Eexchange file path not absolute"},
      {"a path with a NUL", faults, kPacket, FakeEcb::Get(""), std::string("R/tmp/VC0.tmp\0x", 15), "ENUL in"},
      {"a path naming no file", faults, kPacket, FakeEcb::Get(""), "R" + dir.File("VC0.tmp"), "Eunreadable request: "},
      {"answered after refused packets", faults, kForm, FakeEcb::Get("do=page"), "", "D"},
  };
  int file = 0;
  for (auto c : cases) {
    SCOPED_TRACE(c.name);
    std::string path;
    if (c.kind == kForm) path = WriteRequest(c.fake, dir.path());
    if (c.kind == kFile) WriteAll(path = dir.File("VC" + std::to_string(++file) + ".tmp"), c.bytes);
    const std::string request = path.empty() ? "" : ReadAll(path);
    const std::string reply = c.instance.Ask(c.kind == kPacket ? c.bytes : "R" + path);
    ASSERT_EQ(reply.substr(0, c.reply.size()), c.reply) << reply;
    EXPECT_LE(reply.size(), 201u);
    if (c.reply[0] == 'E') {
      EXPECT_NE(ReadAll(errors).find(c.reply.substr(1, 20)), std::string::npos) << ReadAll(errors);
    }
    // Between requests the instance holds its standard descriptors and the channel, nothing of a
    // request; the channel is not handed on to programs it starts.
    const std::vector<std::string> open = c.instance.OpenDescriptors();
    EXPECT_EQ(open, std::vector<std::string>({"0", "1", "2", "3"}));
    EXPECT_TRUE(c.instance.ChannelClosedOnExec());
    if (path.empty()) continue;
    const std::string answer = ReadAll(path);
    EXPECT_FALSE(std::ifstream(path + ".answer").good());
    if (c.reply == "D") {
      EXPECT_EQ(answer.substr(0, 4), "91  ");
      EXPECT_NE(answer.find(c.shows), std::string::npos) << answer;
    } else {
      EXPECT_EQ(answer, request) << "an unanswered request's file is left as it was";
    }
    // The same file once more, to the same program run one-shot: the same bytes, or no answer and
    // status 1. The resident echo answers as the one-shot echo does.
    WriteAll(path, request);
    const std::string program = &c.instance == &echo ? kResidentEcho : kFaults;
    EXPECT_EQ(RunOnce(program, path, errors), c.reply == "D" ? 0 : 1);
    EXPECT_EQ(ReadAll(path), answer);
    if (&c.instance == &echo && c.reply == "D") {
      WriteAll(path, request);
      EXPECT_EQ(RunOnce(kEcho, path, errors), 0);
      EXPECT_EQ(ReadAll(path), answer);
    }
    unlink(path.c_str());
  }
  EXPECT_EQ(echo.Finish(), 0);
  EXPECT_EQ(faults.Finish(), 0);
}

// How an instance ends: at the end of its channel or an empty packet, with status 0, also when the
// spawner went away before taking the reply, or a handler wrote into a pipe nobody reads; a
// signal that interrupts the wait for the next packet ends nothing.
TEST(ResidentServe, EndsWithStatusZero) {
  const struct {
    const char* name;
    bool emptyPacket, requestFirst, deadOutput, signalled;
  } cases[] = {
      {"end of the channel", false, false, false, false},
      {"an empty packet", true, false, false, false},
      {"the spawner gone before the reply", false, true, false, false},
      {"a handler writing to a closed pipe", false, true, true, false},
      {"a signal while waiting for a packet", false, false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    int output[2];
    ASSERT_EQ(pipe(output), 0);
    close(output[0]);
    Instance instance(kFaults, dir.File("stderr"), c.deadOutput ? output[1] : -1);
    close(output[1]);
    ASSERT_GT(instance.pid, 0);
    std::string path;
    if (c.signalled) {
      FakeEcb fake = FakeEcb::Get("do=catch-usr1");
      ASSERT_EQ(instance.Ask("R" + WriteRequest(fake, dir.path())), "D");
      // Sleeping, the instance is in its read of the channel: the signal interrupts that read.
      for (;;) {
        const std::string stat = ReadAll("/proc/" + std::to_string(instance.pid) + "/stat");
        if (stat.find(") S ") != std::string::npos || stat.find(") Z ") != std::string::npos) break;
        sched_yield();
      }
      ASSERT_EQ(kill(instance.pid, SIGUSR1), 0);
      FakeEcb again = FakeEcb::Get("do=page");
      EXPECT_EQ(instance.Ask("R" + WriteRequest(again, dir.path())), "D");
    }
    if (c.requestFirst) {
      FakeEcb fake = FakeEcb::Get("do=print");
      path = WriteRequest(fake, dir.path());
      const std::string packet = "R" + path;
      ASSERT_EQ(send(instance.channel, packet.data(), packet.size(), 0), static_cast<ssize_t>(packet.size()));
    }
    if (c.emptyPacket) {
      ASSERT_EQ(send(instance.channel, "", 0, 0), 0);
      EXPECT_EQ(StatusOf(instance.pid), 0);
      instance.pid = -1;
    } else {
      EXPECT_EQ(instance.Finish(), 0);
    }
    if (!path.empty()) {
      EXPECT_EQ(ReadAll(path).substr(0, 4), "91  ");
    }
  }
}

// Started any other way, a Serve program refuses with status 2 and answers nothing.
TEST(ResidentServe, BadUsageIsStatusTwo) {
  TempDir dir;
  const std::string errors = dir.File("stderr");
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  const struct {
    const char* name;
    std::vector<std::string> args;
    int channel;
    const char* channelName;
  } cases[] = {
      {"no argument, no channel", {}, -1, nullptr},
      {"two arguments", {"a", "b"}, -1, nullptr},
      {"a channel that is a pipe", {}, pipeEnds[0], "3"},
      {"a channel name that is no number", {}, -1, "three"},
      {"a channel name with more after the number", {}, -1, "3x"},
      {"a channel that is not open", {}, -1, "3"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StatusOf(Start(kFaults, c.args, c.channel, errors, c.channelName)), 2) << c.name;
  }
  close(pipeEnds[0]);
  close(pipeEnds[1]);
}

}  // namespace
