#include "host/spawner/resident_spawner.h"

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include "host/spawner/resident_channel.h"
#include "host/spawner/spawn_program.h"
#include "platform/windows_paths.h"

namespace spawner_loop {

namespace {

// An instance whose request left and whose order said no wait: it may take this long still.
constexpr int64_t kDefaultAnswerWaitMs = 180000;
// An instance whose channel ended mid-request and that has not ended this long after is stopped.
constexpr int64_t kChannelLossSettleMs = 200;
// A lent instance a child took and never handed back (the child ended mid-request) is taken back
// this long after the request's own wait ran out.
constexpr int64_t kLentRequestMarginMs = 10000;
// While the spawner wants its lent instances back, it looks this often for those given back.
constexpr int64_t kLentLookMs = 20;

// A request of the instance's ended as its request said (kDone's word, result and reason).
void InstanceRequestEnded(Spawner* s, ResidentInstance* instance, bool answered, const std::string& result, char word,
                          const std::string& reason);

ResidentInstance* InstanceWith(Spawner* s, uint64_t id) {
  for (ResidentInstance& instance : s->instances) {
    if (instance.id == id) return &instance;
  }
  return nullptr;
}

LentEntry* EntryOf(const Spawner& s, const ResidentInstance& instance) {
  if (instance.lentEntry < 0 || s.board == nullptr || s.board->lent == nullptr) return nullptr;
  return &s.board->lent->entries[instance.lentEntry];
}

// A lent instance whose request a child holds: what the spawner logs of it names that request.
bool LentBusy(const Spawner& s, ResidentInstance* instance) {
  const LentEntry* entry = EntryOf(s, *instance);
  if (instance->state != kInstanceLent || entry == nullptr ||
      entry->word.load() != LentWord(instance->id, kLentClaimed)) {
    return false;
  }
  instance->logId.assign(entry->logId, strnlen(entry->logId, kLentTagBytes));
  instance->client.assign(entry->client, strnlen(entry->client, kLentTagBytes));
  return true;
}

// The spawner has the lent instance again (withdrawn, taken back, or its request handed over):
// its count of requests is the table's.
void BackFromLending(Spawner* s, ResidentInstance* instance, InstanceState state) {
  if (const LentEntry* entry = EntryOf(*s, *instance)) {
    instance->served = entry->served.load();
    instance->idleSince = std::max(instance->idleSince, entry->lastUsedMs.load());
  }
  instance->state = state;
}

// A lent instance that ended, or whose channel did, is the spawner's again whatever a child does:
// true when a child's request had it (its tag is the instance's now).
bool TakeBackEnding(Spawner* s, ResidentInstance* instance) {
  const bool claimed = LentBusy(*s, instance);
  TakeBack(EntryOf(*s, *instance), instance->id);
  BackFromLending(s, instance, kInstanceIdle);
  return claimed;
}

StderrTag TagOf(const ResidentInstance& instance) {
  return StderrTag{instance.label, instance.logId, instance.site, instance.siteName, instance.client,
                   instance.stderrLevel};
}

// What its standard error holds now, logged under its current request's tag.
void DrainInstance(Spawner* s, ResidentInstance* instance, bool atEnd) {
  LentBusy(*s, instance);
  if (instance->stderrFd >= 0) DrainLines(s, &instance->stderrFd, &instance->partialLine, TagOf(*instance), atEnd);
}

// "karvel: LABEL [LOGID]: resident instance PID " and `what`, in the request's site's log.
void LogInstance(Spawner* s, uint32_t level, const ResidentInstance& instance, const std::string& what) {
  LogForSite(s, level, instance.site, instance.siteName, instance.client,
             "karvel: " + instance.label + " [" + instance.logId + "]: resident instance " +
                 std::to_string(instance.pid) + " " + what);
}

std::string EndOf(int status) {
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "exit status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

void CloseChannel(Spawner* s, ResidentInstance* instance) {
  if (instance->channel < 0) return;
  Unwatch(s, instance->channel);
  // Children of the server may hold copies of the channel: its end is said, not only closed.
  send(instance->channel, "", 0, MSG_DONTWAIT | MSG_NOSIGNAL);
  close(instance->channel);
  instance->channel = -1;
  instance->wordWatched = false;
}

// Its request ended before its word: the word is read here, when it comes.
void WatchWord(Spawner* s, ResidentInstance* instance) {
  if (instance->channel < 0 || instance->wordWatched) return;
  Rewatch(s, kChannel, instance->channel, false);
  instance->wordWatched = true;
}

// Its channel closed: a sound instance finishes and exits 0.
void Retire(Spawner* s, ResidentInstance* instance) {
  CloseChannel(s, instance);
  instance->state = kInstanceEnding;
}

// Its whole group stopped (SIGTERM, SIGKILL after the order's grace). `filesLeft`: the request it
// had left its uploads behind, removed once the instance is gone.
void Stop(Spawner* s, ResidentInstance* instance, bool filesLeft) {
  CloseChannel(s, instance);
  if (!instance->stopped && instance->pid > 0) {
    instance->stopped = true;
    if (SignalProcessGroup(instance->group, SIGTERM)) instance->killAt = NowMs() + instance->killGraceMs;
  }
  instance->filesLeft = instance->filesLeft || filesLeft;
  instance->connection = -1;
  instance->state = kInstanceEnding;
}

// The request that holds the channel is told that the instance ended: no answer will come. (It
// reads a word the instance said before from the channel first.)
void TellRequestEnded(ResidentInstance* instance) {
  if (instance->connection >= 0) SendPacket(instance->connection, kUnanswered, nullptr, 0);
  instance->connection = -1;
}

// The instance's word on its request is known: it goes back to its pool, or retires.
void RequestFinished(Spawner* s, ResidentInstance* instance) {
  DrainInstance(s, instance, false);
  if (instance->requestLeft) {
    // Nobody reads this answer: its file (which an answer renamed over it puts back) and uploads go.
    RemoveRequestFiles(instance->exchangePath.c_str(), instance->uploadDirectory.c_str());
  }
  instance->connection = -1;
  instance->requestLeft = false;
  instance->stopAt = 0;
  if (instance->wordWatched) {
    Rewatch(s, kChannel, instance->channel, true);
    instance->wordWatched = false;
  }
  if (DueToRetire(*instance) || s->draining || instance->channel < 0) {
    Retire(s, instance);
    return;
  }
  instance->state = kInstanceIdle;
  instance->idleSince = NowMs();
}

// The order goes to the instance: the request's path on its channel, kStarted to the request with
// a copy of the channel. False (the instance stopped, the order still waiting) when the channel
// does not take it, or holds a word the instance said while it had no request (the request would
// take it for its own).
bool HandOver(Spawner* s, Connection* c, ResidentInstance* instance) {
  // (The lines of its last request were read under that request's tag when its word was known.)
  std::string stray;
  const InstanceWord early = ReadInstanceWord(instance->channel, &stray);
  if (early == kWordAnswered || early == kWordNoAnswer) {
    LogInstance(s, kLogLevelError, *instance, "spoke while it had no request; it is stopped");
    Stop(s, instance, false);
    return false;
  }
  instance->logId = c->order.strings[kLogId];
  instance->client = c->order.strings[kClient];
  instance->exchangePath = c->order.strings[kArgument];
  instance->uploadDirectory = c->order.strings[kUploadDirectory];
  instance->answerWaitMs = c->order.fixed.answerWaitMs;
  if (early == kWordEnded || !HandOverRequest(instance->channel, instance->exchangePath)) {
    LogInstance(s, kLogLevelError, *instance, "did not take the request on its channel; it is stopped");
    Stop(s, instance, false);
    return false;
  }
  instance->state = kInstanceBusy;
  LentEntry* entry = EntryOf(*s, *instance);
  instance->served = entry != nullptr ? entry->served.fetch_add(1) + 1 : instance->served + 1;
  instance->maxBackends = c->order.fixed.maxBackends;
  instance->siteMaxBackends = c->order.fixed.siteMaxBackends;
  instance->handedAt = NowMs();
  instance->stopAt = 0;
  instance->requestLeft = false;
  instance->connection = c->fd;
  c->state = kRunning;
  c->pid = instance->pid;
  c->instance = instance->id;
  // A request that cannot be told has left: the loop finds its connection closed. With an entry in
  // the table of lent instances, the child keeps the channel and a copy of the standard error, to
  // take the instance itself when it is lent.
  const SpawnInstanceStarted started{static_cast<int32_t>(instance->pid), entry != nullptr ? instance->lentEntry : -1,
                                     instance->id};
  if (entry != nullptr) {
    const int lent[] = {instance->channel, s->lentLine[1], instance->stderrFd};
    SendPacketWithDescriptors(c->fd, kStarted, EncodeInstanceStarted(started), lent, instance->stderrFd >= 0 ? 3 : 2);
  } else {
    SendPacketWithDescriptor(c->fd, kStarted, EncodeInstanceStarted(started), instance->channel);
  }
  return true;
}

// A new instance of the order's pool, started on the pool's threads for this order.
void StartInstance(Spawner* s, Connection* c, const std::string& key) {
  const std::string& program = c->order.strings[kProgram];
  std::string refused = StartRefused(*s, *c, WindowsExecutableKind(program.c_str()) != kNotWindows);
  if (refused.empty() && c->order.fixed.underWine != 0) refused = "a resident program runs natively, not under Wine";
  if (!refused.empty()) {
    RefuseStart(s, c, ENOEXEC, refused);
    return;
  }
  int channel[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel) != 0) {
    RefuseStart(s, c, errno, std::string("no channel for a resident instance: ") + std::strerror(errno));
    return;
  }
  auto job = std::make_unique<SpawnJob>();
  job->program = program;
  job->environment = c->order.environment;
  SetOrderVariable(&job->environment, kResidentFdVariable);
  std::memcpy(job->limits, c->order.fixed.limits, sizeof job->limits);
  job->signalsToReset = &s->signalsToReset;
  job->user = s->users != nullptr ? UserOfSite(*s->users, c->order.fixed.site, c->order.strings[kSiteName]) : nullptr;
  job->id = ++s->lastJobId;
  job->residentChannel = channel[1];
  job->instance = ++s->lastInstanceId;
  ResidentInstance instance{};
  instance.id = job->instance;
  instance.key = key;
  instance.site = c->order.fixed.site;
  instance.siteName = c->order.strings[kSiteName];
  instance.label = c->order.strings[kLabel];
  instance.instances = c->order.fixed.residentInstances;
  instance.maxRequests = c->order.fixed.residentMaxRequests;
  instance.idleSeconds = c->order.fixed.residentIdleSeconds;
  instance.killGraceMs = c->order.fixed.killGraceMs;
  instance.stderrLevel = c->order.fixed.stderrLevel;
  instance.state = kInstanceStarting;
  instance.jobId = job->id;
  instance.group = ProcessGroup{0, -1};
  instance.channel = channel[0];
  instance.stderrFd = -1;
  instance.connection = -1;
  instance.lentEntry = -1;
  instance.maxBackends = c->order.fixed.maxBackends;
  instance.siteMaxBackends = c->order.fixed.siteMaxBackends;
  instance.logId = c->order.strings[kLogId];
  instance.client = c->order.strings[kClient];
  s->instances.push_back(instance);
  c->state = kStarting;
  c->jobId = job->id;
  c->instance = instance.id;
  s->pool->Submit(std::move(job));
}

// A lent instance after a round: an idle one withdrawn and retired when it idled too long or the
// spawner ends; one a child took and never handed back (the child ended mid-request) taken back as
// a request whose client left, its word read if it comes.
void LookAfterLent(Spawner* s, ResidentInstance* instance, int64_t now) {
  LentEntry* entry = EntryOf(*s, *instance);
  if (LentBusy(*s, instance)) {
    const int64_t handed = entry->handedAtMs.load();
    const int64_t wait = instance->answerWaitMs != 0 ? instance->answerWaitMs : kDefaultAnswerWaitMs;
    if (now - handed < wait + kLentRequestMarginMs || !ChangeLent(entry, instance->id, kLentClaimed, kLentHeld)) return;
    BackFromLending(s, instance, kInstanceBusy);
    LogInstance(s, kLogLevelWarning, *instance, "was not handed back by the request that took it");
    // The request's files go as a request's whose client left, once the instance's word is in.
    if (!LentFilesOf(*entry, &instance->exchangePath, &instance->uploadDirectory)) {
      instance->exchangePath.clear();
      instance->uploadDirectory.clear();
    }
    instance->handedAt = handed;
    instance->connection = -1;
    instance->requestLeft = true;
    instance->stopAt = now + kChannelLossSettleMs;
    WatchWord(s, instance);
    return;
  }
  instance->idleSince = std::max(instance->idleSince, entry->lastUsedMs.load());
  if ((s->draining || IdleTooLong(*instance, now)) && Withdraw(entry, instance->id)) {
    BackFromLending(s, instance, kInstanceIdle);
  }
}

}  // namespace

bool WithdrawOneLent(Spawner* s, const std::string* key) {
  for (ResidentInstance& instance : s->instances) {
    if (instance.state == kInstanceLent && (key == nullptr || instance.key == *key) &&
        Withdraw(EntryOf(*s, instance), instance.id)) {
      BackFromLending(s, &instance, kInstanceIdle);
      return true;
    }
  }
  return false;
}

void WantOneLent(Spawner* s, const std::string& key) {
  LentEntry* chosen = nullptr;
  for (ResidentInstance& instance : s->instances) {
    LentEntry* entry = EntryOf(*s, instance);
    if (instance.state != kInstanceLent || instance.key != key || entry == nullptr) continue;
    if (entry->wanted.load() != 0) return;  // one is asked for already
    if (chosen == nullptr) chosen = entry;
  }
  if (chosen != nullptr) chosen->wanted.store(1);
}

bool PoolHasIdle(const Spawner& s, const std::string& key) {
  return std::any_of(s.instances.begin(), s.instances.end(), [&key](const ResidentInstance& instance) {
    return instance.state == kInstanceIdle && instance.key == key;
  });
}

void LendIdleInstances(Spawner* s, const std::function<bool(const ResidentInstance&)>& room) {
  LentTable* table = s->board != nullptr ? s->board->lent : nullptr;
  if (table == nullptr) return;
  table->wanted.store(s->draining ? 1 : 0);
  if (s->draining) return;
  for (ResidentInstance& instance : s->instances) {
    LentEntry* entry = EntryOf(*s, instance);
    if (instance.state != kInstanceIdle || entry == nullptr || instance.channel < 0 || !room(instance)) continue;
    entry->lastUsedMs.store(instance.idleSince);
    instance.state = kInstanceLent;
    Lend(entry, instance.id);
    WakeLentWaiter(table, LentPoolBit(instance.key));
  }
}

void LentRequestDone(Spawner* s, const LentRequest& request) {
  ResidentInstance* instance = InstanceWith(s, request.fixed.instance);
  LentEntry* entry = instance != nullptr && instance->lentEntry == static_cast<int64_t>(request.fixed.entry)
                         ? EntryOf(*s, *instance)
                         : nullptr;
  if (entry == nullptr || instance->state != kInstanceLent ||
      !ChangeLent(entry, instance->id, kLentClaimed, kLentHeld)) {
    // The instance ended meanwhile, its end seen to: a request that left without its word leaves
    // its files to the spawner.
    if (!request.answered && request.word == 0) {
      RemoveRequestFiles(request.exchangePath.c_str(), request.uploadDirectory.c_str());
    }
    return;
  }
  BackFromLending(s, instance, kInstanceBusy);
  instance->logId = request.logId;
  instance->client = request.client;
  instance->exchangePath = request.exchangePath;
  instance->uploadDirectory = request.uploadDirectory;
  instance->answerWaitMs = request.fixed.answerWaitMs;
  instance->handedAt = entry->handedAtMs.load();
  instance->stopAt = 0;
  instance->requestLeft = false;
  InstanceRequestEnded(s, instance, request.answered, request.result, request.word, request.reason);
}

bool TakeResidentOrder(Spawner* s, Connection* c, bool slotFree) {
  const std::string key = PoolKeyOf(c->order);
  // An instance that does not take the request is stopped, and the next one tried.
  for (;;) {
    size_t chosen = 0;
    switch (ChooseInstance(s->instances, key, c->order.fixed.residentInstances, slotFree, &chosen)) {
      case kHandToIdle:
        if (HandOver(s, c, &s->instances[chosen])) return true;
        continue;
      case kStartInstance:
        StartInstance(s, c, key);
        return true;
      case kWaitForInstance:
        return false;
    }
  }
}

void InstanceStarted(Spawner* s, SpawnJob* job) {
  ResidentInstance* instance = InstanceWith(s, job->instance);
  Connection* waiting = nullptr;
  for (Connection& c : s->connections) {
    if (c.state == kStarting && c.jobId == job->id) waiting = &c;
  }
  if (instance == nullptr) return;
  if (job->failure != 0) {
    close(instance->channel);
    s->instances.erase(s->instances.begin() + (instance - s->instances.data()));
    if (waiting != nullptr) {
      waiting->state = kAwaitingOrder;
      waiting->instance = 0;
      RefuseStart(s, waiting, job->failure, StartFailure(*job));
    }
    return;
  }
  s->started++;
  CountOnBoard(s, 1, 0, 0);
  instance->pid = job->pid;
  instance->group = job->group;
  job->group = ProcessGroup{0, -1};
  instance->stderrFd = job->stderrFd;
  job->stderrFd = -1;
  if (instance->stderrFd >= 0) Watch(s, kStderr, instance->stderrFd);
  Watch(s, kChannel, instance->channel, true);
  if (s->board != nullptr && s->board->lent != nullptr && s->lentLine[1] >= 0) {
    instance->lentEntry = TakeLentEntry(s->board->lent, instance->id);
  }
  instance->state = kInstanceIdle;
  instance->idleSince = NowMs();
  if (waiting != nullptr && !HandOver(s, waiting, instance)) {
    waiting->state = kQueued;  // it waits again, for another instance
    waiting->instance = 0;
  }
}

void OnChannel(Spawner* s, int fd) {
  for (ResidentInstance& instance : s->instances) {
    if (instance.channel != fd) continue;
    // Only its end wakes the spawner while it is lent.
    if (instance.state == kInstanceLent) {
      if (TakeBackEnding(s, &instance)) {
        // A child's request had it, and sees the same end (the request's files are its own): the
        // log line waits for the instance's end.
        DrainInstance(s, &instance, false);
        CloseChannel(s, &instance);
        instance.state = kInstanceEnding;
        instance.channelLostAt = NowMs();
        return;
      }
    }
    const bool busy = instance.state == kInstanceBusy;
    if (busy && instance.connection >= 0) {
      // Its request holds the channel and reads its word there: this is the channel's end (the
      // instance ended or cut it) mid-request. The request is told; the log line waits for the
      // instance's end (LookAfterInstances).
      DrainInstance(s, &instance, false);
      TellRequestEnded(&instance);
      CloseChannel(s, &instance);
      instance.state = kInstanceEnding;
      instance.channelLostAt = NowMs();
      return;
    }
    std::string reason;
    const InstanceWord word = ReadInstanceWord(fd, &reason);
    if (word == kWordNothingYet) return;
    if (busy && word == kWordAnswered) {
      RequestFinished(s, &instance);
    } else if (busy && word == kWordNoAnswer) {
      LogInstance(s, kLogLevelError, instance, "gave no answer: " + reason);
      RequestFinished(s, &instance);
    } else if (busy) {
      // Ended, or cut its channel, after its request left: the log line waits for its end.
      DrainInstance(s, &instance, false);
      CloseChannel(s, &instance);
      instance.filesLeft = instance.requestLeft;
      instance.state = kInstanceEnding;
      instance.channelLostAt = NowMs();
    } else if (word == kWordEnded) {
      // An idle one that goes: it is ending.
      if (instance.state == kInstanceIdle) Stop(s, &instance, false);
      CloseChannel(s, &instance);
    } else {
      LogInstance(s, kLogLevelError, instance, "spoke while it had no request; it is stopped");
      Stop(s, &instance, false);
    }
    return;
  }
}

void OnLentLine(Spawner* s) {
  static std::vector<char> buffer(kSpawnPacketLimit);
  for (;;) {
    const char* payload = nullptr;
    size_t length = 0;
    const uint32_t type = ReceivePacket(s->lentLine[0], buffer.data(), buffer.size(), &payload, &length, MSG_DONTWAIT);
    if (type == kNoPacketYet || type == kNoPacket) return;
    LentRequest request;
    if (type != kLentDone || !DecodeLentDone(payload, length, &request)) continue;
    s->results[ResultNamed(request.result.data(), request.result.size())]++;
    LentRequestDone(s, request);
  }
}

bool OnInstanceStderr(Spawner* s, int fd) {
  for (ResidentInstance& instance : s->instances) {
    if (instance.stderrFd == fd) {
      DrainInstance(s, &instance, false);
      return true;
    }
  }
  return false;
}

bool InstanceReaped(Spawner* s, pid_t pid, int status) {
  for (ResidentInstance& instance : s->instances) {
    if (instance.pid != pid || instance.reaped || instance.state == kInstanceStarting) continue;
    instance.reaped = true;
    if (instance.state == kInstanceLent) {
      if (TakeBackEnding(s, &instance)) {
        // The child whose request it had sees its channel end (the files are the request's own).
        DrainInstance(s, &instance, false);
        LogInstance(s, kLogLevelError, instance, "ended mid-request (" + EndOf(status) + ")");
        Stop(s, &instance, false);
        CloseChannel(s, &instance);
        return true;
      }
    }
    if (instance.state == kInstanceBusy) {
      DrainInstance(s, &instance, false);
      LogInstance(s, kLogLevelError, instance, "ended mid-request (" + EndOf(status) + ")");
      TellRequestEnded(&instance);
      Stop(s, &instance, instance.requestLeft);
    } else if (instance.channelLostAt != 0) {
      instance.channelLostAt = 0;
      DrainInstance(s, &instance, false);
      LogInstance(s, kLogLevelError, instance, "ended mid-request (" + EndOf(status) + ")");
      Stop(s, &instance, instance.filesLeft);  // what it left in its group goes too
    } else if (instance.state == kInstanceIdle) {
      LogInstance(s, kLogLevelWarning, instance, "ended while idle (" + EndOf(status) + ")");
      Retire(s, &instance);
    }
    CloseChannel(s, &instance);
    return true;
  }
  return false;
}

void ResidentRequestDone(Spawner* s, Connection* c, bool answered, const std::string& result, char word,
                         const std::string& reason) {
  ResidentInstance* instance = InstanceWith(s, c->instance);
  c->instance = 0;
  if (instance == nullptr || instance->state != kInstanceBusy || instance->connection != c->fd) return;
  InstanceRequestEnded(s, instance, answered, result, word, reason);
}

namespace {

void InstanceRequestEnded(Spawner* s, ResidentInstance* instance, bool answered, const std::string& result, char word,
                          const std::string& reason) {
  instance->connection = -1;
  switch (word) {
    case kResidentAnswered:
      RequestFinished(s, instance);
      return;
    case kResidentNoAnswer:
      LogInstance(s, kLogLevelError, *instance, "gave no answer: " + reason);
      RequestFinished(s, instance);
      return;
    case kResidentSpokeUnasked:
      LogInstance(s, kLogLevelError, *instance, "spoke while it had no request; it is stopped");
      Stop(s, instance, false);
      return;
    case kResidentChannelEnded:
      // The request found the channel ended (the request's files are its own to remove): the log
      // line waits for the instance's end.
      DrainInstance(s, instance, false);
      CloseChannel(s, instance);
      instance->state = kInstanceEnding;
      instance->channelLostAt = NowMs();
      return;
    default:
      break;
  }
  // The request ended before the instance's word, which is read here from now on.
  WatchWord(s, instance);
  if (answered) return;  // it found the answer first: the word follows
  if (result == "timeout") {
    LogInstance(s, kLogLevelWarning, *instance, "did not answer in time; it is stopped");
    Stop(s, instance, true);
    return;
  }
  // Its client left: the instance may still answer (its answer discarded) until the answer's wait ends.
  instance->requestLeft = true;
  instance->stopAt = instance->handedAt + (instance->answerWaitMs != 0 ? instance->answerWaitMs : kDefaultAnswerWaitMs);
}

}  // namespace

void ResidentRequestLeft(Spawner* s, Connection* c) { ResidentRequestDone(s, c, false, "abandoned", 0, ""); }

void LookAfterInstances(Spawner* s) {
  const int64_t now = NowMs();
  for (ResidentInstance& instance : s->instances) {
    if (instance.state == kInstanceLent) LookAfterLent(s, &instance, now);
    if (instance.state == kInstanceIdle && (s->draining || IdleTooLong(instance, now))) Retire(s, &instance);
    if (instance.state == kInstanceBusy && instance.stopAt != 0 && now >= instance.stopAt) {
      LogInstance(s, kLogLevelWarning, instance, "did not answer in time for a request that left; it is stopped");
      Stop(s, &instance, true);
    }
    if (instance.channelLostAt != 0 && now - instance.channelLostAt >= kChannelLossSettleMs) {
      instance.channelLostAt = 0;
      LogInstance(s, kLogLevelError, instance, "closed its channel mid-request; it is stopped");
      Stop(s, &instance, instance.filesLeft);
    }
    if (instance.killAt != 0 && now >= instance.killAt) {
      instance.killAt = 0;
      SignalProcessGroup(instance.group, SIGKILL);
    }
  }
  // Ended, reaped and read to the end: forgotten, with what a stopped one left behind.
  const auto gone = [](const ResidentInstance& i) {
    return i.state == kInstanceEnding && i.reaped && i.stderrFd < 0 && i.channel < 0;
  };
  for (ResidentInstance& instance : s->instances) {
    if (!gone(instance)) continue;
    if (instance.stopped) SignalProcessGroup(instance.group, SIGKILL);
    if (instance.filesLeft) RemoveRequestFiles(instance.exchangePath.c_str(), instance.uploadDirectory.c_str());
    if (LentEntry* entry = EntryOf(*s, instance)) {
      // A child waiting for an instance of the pool, which knew this one, asks for a new one.
      FreeLentEntry(entry);
      WakeLentWaiter(s->board->lent, LentPoolBit(instance.key));
    }
    ReleaseProcessGroup(&instance.group);
  }
  s->instances.erase(std::remove_if(s->instances.begin(), s->instances.end(), gone), s->instances.end());
}

int64_t InstancesWaitMs(const Spawner& s, int64_t nowMs, int64_t longest) {
  int64_t wait = longest;
  for (const ResidentInstance& instance : s.instances) {
    int64_t due = 0;
    IdleTooLong(instance, nowMs, &due);
    if (due != 0) wait = std::min(wait, due - nowMs);
    if (instance.stopAt != 0) wait = std::min(wait, instance.stopAt - nowMs);
    if (instance.channelLostAt != 0) wait = std::min(wait, instance.channelLostAt + kChannelLossSettleMs - nowMs);
    if (instance.killAt != 0) wait = std::min(wait, instance.killAt - nowMs);
    if (instance.state == kInstanceLent) {
      const LentEntry& entry = s.board->lent->entries[instance.lentEntry];
      if (s.draining || entry.wanted.load() != 0) wait = std::min(wait, kLentLookMs);
      // A request a child holds: when it is taken back, should the child never hand it back.
      if (entry.word.load() == LentWord(instance.id, kLentClaimed)) {
        const int64_t answerWait = instance.answerWaitMs != 0 ? instance.answerWaitMs : kDefaultAnswerWaitMs;
        wait = std::min(wait, entry.handedAtMs.load() + answerWait + kLentRequestMarginMs - nowMs);
      }
    }
  }
  return std::max<int64_t>(wait, 0);
}

size_t InstancesCounted(const Spawner& s) {
  return static_cast<size_t>(std::count_if(s.instances.begin(), s.instances.end(), InstanceCounted));
}

size_t SiteInstancesCounted(const Spawner& s, uint32_t site, const std::string& name) {
  return static_cast<size_t>(std::count_if(s.instances.begin(), s.instances.end(), [&](const ResidentInstance& i) {
    return InstanceCounted(i) && i.site == site && i.siteName == name;
  }));
}

bool InstancesSettled(const Spawner& s) {
  return std::none_of(s.instances.begin(), s.instances.end(), [](const ResidentInstance& i) {
    return i.state == kInstanceStarting || i.state == kInstanceBusy || i.state == kInstanceLent ||
           (i.stopped && !i.reaped) || i.channelLostAt != 0;
  });
}

void EndInstances(Spawner* s) {
  for (ResidentInstance& instance : s->instances) {
    DrainInstance(s, &instance, true);
    CloseChannel(s, &instance);
    if (LentEntry* entry = EntryOf(*s, instance)) FreeLentEntry(entry);
    ReleaseProcessGroup(&instance.group);
  }
}

std::string InstanceStatusLines(const Spawner& s) {
  static const long pageKib = sysconf(_SC_PAGESIZE) / 1024;
  std::string text;
  size_t listed = 0, unlisted = 0;
  for (const ResidentInstance& instance : s.instances) {
    if (instance.state == kInstanceStarting || instance.reaped) continue;
    if (listed == kStatusInstancesListed) {
      ++unlisted;
      continue;
    }
    ++listed;
    // Its resident set, the second of /proc/PID/statm's numbers (pages).
    long pages = 0;
    const std::string statm = "/proc/" + std::to_string(instance.pid) + "/statm";
    if (FILE* file = std::fopen(statm.c_str(), "r")) {
      long size = 0;
      if (std::fscanf(file, "%ld %ld", &size, &pages) != 2) pages = 0;
      std::fclose(file);
    }
    const LentEntry* entry = EntryOf(s, instance);
    const uint64_t lentWord = entry != nullptr ? entry->word.load() : 0;
    const bool busy = instance.state == kInstanceBusy || lentWord == LentWord(instance.id, kLentClaimed);
    const char* state = busy                                                              ? "busy"
                        : instance.state == kInstanceIdle || instance.state == kInstanceLent ? "idle"
                                                                                          : "ending";
    const uint64_t served =
        instance.state == kInstanceLent && entry != nullptr ? entry->served.load() : instance.served;
    std::string label = instance.label.substr(0, 256);
    for (char& c : label) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    text += "Resident: " + std::to_string(instance.pid) + " " + std::to_string(served) + " " +
            std::to_string(pages * pageKib) + "kB " + state + " " + label + "\n";
  }
  if (unlisted != 0) text += "Resident: ... (" + std::to_string(unlisted) + " more)\n";
  return text;
}

}  // namespace spawner_loop
