#include "host/spawner/spawner.h"

#include <poll.h>
#include <sys/epoll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include "host/spawner/process_group.h"
#include "host/spawner/resident_spawner.h"
#include "host/spawner/spawner_loop.h"
#include "host/spawner/site_user.h"
#include "host/spawner/spawner_pool.h"
#include "host/spawner/spawn_program.h"
#include "host/spawner/spawner_protocol.h"
#include "host/spawner/wine_host.h"
#include "platform/windows_paths.h"

namespace spawner_loop {

// A program's standard error is logged a line at a time; longer lines in pieces of this much.
constexpr size_t kLogLineBytes = 8192;
// A program's standard error is read in blocks of this much.
constexpr size_t kStderrBlockBytes = 4096;
// Events the loop takes from epoll in one round (more wait for the next).
constexpr int kEventsPerRound = 64;
// Room for a Windows path of the exchange file (Z:\ and the POSIX path).
constexpr size_t kWindowsPathBytes = 4096;
// Threads starting programs at once: one per CPU of a small server is enough to keep the loop free.
constexpr int kStartThreads = 2;
// Connections waiting for an order beyond this many are closed, the oldest first: each thread of
// every child keeps one.
constexpr size_t kIdleConnectionsKept = 256;
// Orders waiting for a slot: beyond this many, or this many bytes of them, an order is answered
// kBusy at once. Each request thread of every child waits with one order at most.
constexpr size_t kQueuedOrdersKept = 4096;
constexpr size_t kQueuedOrderBytes = 32u << 20;
// Sites' own Wine prefixes (one per set of KarvelWindowsPath lines) the spawner serves at most; an
// order for one more is refused, so a peer cannot make it start wineservers without end.
constexpr size_t kSitePrefixesKept = 64;
// A program's standard error read at most this much at a time: a program that writes without end
// does not hold the loop (what is left is read in the next round).
constexpr size_t kStderrReadPerRound = 64 * 1024;
// How often the group of a program that ended is looked at while it still counts.
constexpr int64_t kGroupLookMs = 200;
// A reaping put off while a start is under way is tried again this soon.
constexpr int64_t kReapRetryMs = 5;
// The status: its fixed lines and at most this many programs, their labels cut to this length,
// so that it always fits one packet (the child reads one of kSpawnMessageLimit bytes).
constexpr size_t kStatusProgramsListed = 100;
constexpr size_t kStatusLabelBytes = 256;
constexpr size_t kStatusLineBytes = kStatusLabelBytes + 64;  // "Program: PID SECONDSs STATE LABEL"
constexpr size_t kStatusFixedBytes = 2048;                   // totals, results, "(N more)"
// And at most this many sites, their names cut to the label's length.
constexpr size_t kStatusSitesListed = 50;
constexpr size_t kStatusSiteLineBytes = kStatusLabelBytes + 64;  // "Site: NAME running=N waiting=M cap=C"
static_assert(kStatusFixedBytes + kStatusProgramsListed * kStatusLineBytes +
                      kStatusSitesListed * kStatusSiteLineBytes +
                      (kStatusInstancesListed + 1) * kStatusInstanceLineBytes <= kSpawnMessageLimit,
              "the status fits one packet");


// The result a child reported; one the spawner does not know counts as "other".
Result ResultNamed(const char* text, size_t length) {
  for (int k = 0; k < kResultOther; ++k) {
    if (std::strlen(kResultNames[k]) == length && std::memcmp(kResultNames[k], text, length) == 0) {
      return static_cast<Result>(k);
    }
  }
  return kResultOther;
}

// A line about no request: the main server's log.
void Log(Spawner* s, uint32_t level, const std::string& text) {
  s->log->write(s->log->context, SpawnerLogLine{level, kNoSite, "", "", text.c_str()});
}

// A line about a request's program: its site's log, with its client.
void LogForSite(Spawner* s, uint32_t level, uint32_t site, const std::string& siteName, const std::string& client,
                const std::string& text) {
  s->log->write(s->log->context, SpawnerLogLine{level, site, siteName.c_str(), client.c_str(), text.c_str()});
}


void Watch(Spawner* s, WatchKind kind, int fd, bool hangupOnly) {
  epoll_event event{};
  event.events = hangupOnly ? EPOLLRDHUP : EPOLLIN;
  event.data.u64 = (static_cast<uint64_t>(kind) << kWatchKindShift) | static_cast<uint32_t>(fd);
  epoll_ctl(s->epoll, EPOLL_CTL_ADD, fd, &event);
}

void Rewatch(Spawner* s, WatchKind kind, int fd, bool hangupOnly) {
  epoll_event event{};
  event.events = hangupOnly ? EPOLLRDHUP : EPOLLIN | EPOLLRDHUP;
  event.data.u64 = (static_cast<uint64_t>(kind) << kWatchKindShift) | static_cast<uint32_t>(fd);
  epoll_ctl(s->epoll, EPOLL_CTL_MOD, fd, &event);
}

// Before a descriptor closes: a child being started on the pool may hold a copy of it until its
// exec, which would keep the registration (and its events) alive.
void Unwatch(Spawner* s, int fd) { epoll_ctl(s->epoll, EPOLL_CTL_DEL, fd, nullptr); }

// An order the spawner serves: well formed, its program an absolute path.
bool ReadOrder(const char* payload, size_t length, SpawnOrderText* order) {
  return DecodeOrder(payload, length, order) && order->strings[kProgram][0] == '/';
}

// A program counts against the cap while it runs and, once it ended, while its request had no
// answer and its group still has members (children it left at work, or not yet stopped). A program
// that answered counts while it runs: what it leaves behind is its own.
bool Counted(const Program& p) { return !p.exited || (!p.answered && !p.groupGone); }

// Programs running, and those being started (they count against the cap already).
size_t Alive(const Spawner& s) {
  return static_cast<size_t>(std::count_if(s.programs.begin(), s.programs.end(), Counted) +
                             std::count_if(s.connections.begin(), s.connections.end(),
                                           [](const Connection& c) { return c.state == kStarting; })) +
         InstancesCounted(s);
}

// A site is the same where both its place in the server's list and its name agree: a child of
// another reading of the configuration may have another site at that place.
bool SameSite(uint32_t site, const std::string& name, const SpawnOrderText& order) {
  return order.fixed.site == site && order.strings[kSiteName] == name;
}

// The programs of one site that count against its cap, as Alive counts them against the server's.
size_t SiteAlive(const Spawner& s, uint32_t site, const std::string& name) {
  return static_cast<size_t>(
      std::count_if(s.programs.begin(), s.programs.end(),
                    [&](const Program& p) { return Counted(p) && p.site == site && p.siteName == name; }) +
      std::count_if(s.connections.begin(), s.connections.end(),
                    [&](const Connection& c) { return c.state == kStarting && SameSite(site, name, c.order); })) +
         SiteInstancesCounted(s, site, name);
}

// Programs of the site the server's other spawners still count (an earlier generation's,
// finishing their requests), as OthersAlive counts them against the server's cap.
size_t SiteOthersAlive(const Spawner& s, const std::string& name) {
  return s.board != nullptr && s.board->othersRunningForSite != nullptr
             ? s.board->othersRunningForSite(s.board->context, name)
             : 0;
}

// Whether the order's site has room for one more program (a site without a cap always has).
bool SiteHasRoom(const Spawner& s, const SpawnOrderText& order) {
  const uint32_t cap = order.fixed.siteMaxBackends;
  if (cap == 0) return true;
  const std::string& name = order.strings[kSiteName];
  return SiteAlive(s, order.fixed.site, name) + SiteOthersAlive(s, name) < cap;
}

size_t OthersAlive(const Spawner& s);

// Whether an idle instance may be lent: lent, it counts against the server's and its site's caps
// as one at work does.
bool RoomToLend(const Spawner& s, const ResidentInstance& instance) {
  if (instance.maxBackends != 0 && Alive(s) + OthersAlive(s) >= instance.maxBackends) return false;
  return instance.siteMaxBackends == 0 ||
         SiteAlive(s, instance.site, instance.siteName) + SiteOthersAlive(s, instance.siteName) < instance.siteMaxBackends;
}

// Every site with programs counted or orders waiting, by place and name: its numbers, and the cap
// its newest order carried.
std::vector<SpawnerSiteCount> SiteCounts(const Spawner& s) {
  std::map<std::pair<uint32_t, std::string>, SpawnerSiteCount> sites;
  auto at = [&sites](uint32_t site, const std::string& name) -> SpawnerSiteCount& {
    SpawnerSiteCount& count = sites[{site, name}];
    count.name = name;
    return count;
  };
  for (const Program& p : s.programs) {
    if (!Counted(p)) continue;
    SpawnerSiteCount& count = at(p.site, p.siteName);
    count.running++;
    count.cap = p.siteMaxBackends;
  }
  for (const ResidentInstance& instance : s.instances) {
    if (InstanceCounted(instance)) at(instance.site, instance.siteName).running++;
  }
  for (const Connection& c : s.connections) {
    if (c.state != kStarting && c.state != kQueued) continue;
    SpawnerSiteCount& count = at(c.order.fixed.site, c.order.strings[kSiteName]);
    (c.state == kStarting ? count.running : count.waiting)++;
    count.cap = c.order.fixed.siteMaxBackends;
  }
  std::vector<SpawnerSiteCount> listed;
  for (auto& [key, count] : sites) listed.push_back(std::move(count));
  return listed;
}

Program* FindProgram(Spawner* s, pid_t pid) {
  for (Program& program : s->programs) {
    if (program.pid == pid) return &program;
  }
  return nullptr;
}

void CloseConnection(Spawner* s, size_t k) {
  Unwatch(s, s->connections[k].fd);
  close(s->connections[k].fd);
  s->connections.erase(s->connections.begin() + static_cast<std::ptrdiff_t>(k));
}

// The starts the spawner made or refused, counted on the board too (it keeps them over restarts).
void CountOnBoard(Spawner* s, int started, int startFailed, int busy) {
  if (s->board != nullptr && s->board->counted != nullptr) s->board->counted(s->board->context, started, startFailed, busy);
}

void RefuseStart(Spawner* s, Connection* c, int failure, const std::string& why) {
  s->startFailed++;
  CountOnBoard(s, 0, 1, 0);
  s->results[kResultStartFailed]++;
  // The one line of this failure (the request's side logs none): a warning of the request's site.
  LogForSite(s, kLogLevelWarning, c->order.fixed.site, c->order.strings[kSiteName], c->order.strings[kClient],
             "karvel: cannot start " + c->order.strings[kLabel] + " [" + c->order.strings[kLogId] + "]: " + why);
  SendPacket(c->fd, kStartFailed, EncodeReply(failure));
  c->closing = true;
}

// The prefix the order's program runs in (its user's or the server's, or the site's own inside
// it, see SitePrefix), made and its wineserver started where this is its first program; false when
// that fails. `wine` is the site's (WineOfSite).
bool SiteWineReady(Spawner* s, const WineSettings& wine, const std::string& windowsPaths, std::string* prefix) {
  *prefix = SitePrefix(wine.prefix, windowsPaths);
  if (wine.user == nullptr && windowsPaths.empty()) {
    return s->wineServer >= 0 || (s->wineServer = StartWineServer(*s->wine)) >= 0;
  }
  if (s->siteWineServers.count(*prefix) != 0) return true;
  if (s->siteWineServers.size() >= kSitePrefixesKept) return false;
  const WineSettings site{wine.loader, prefix->c_str(), wine.user};
  if (!windowsPaths.empty() && !MakeSitePrefix(wine, *prefix, windowsPaths)) return false;
  const int claim = StartWineServer(site);
  if (claim < 0) return false;
  s->siteWineServers[*prefix] = WineServerClaim{claim, wine.user};
  return true;
}

// Why the order's program may not start as the order says ("" when it may): the extension said how
// it runs (under Wine or natively), and the program file must be of that kind; Wine must be on for
// the site and be here.
std::string StartRefused(const Spawner& s, const Connection& c, bool windowsFile) {
  const bool underWine = c.order.fixed.underWine != 0;
  if (windowsFile && !underWine) return "it is a Windows program and KarvelWine is off";
  if (!underWine) return "";
  if (!windowsFile) return "the extension runs it under Wine, but it is no Windows program";
  if (c.order.fixed.wine == 0 || s.wine == nullptr) {
    return "the extension runs it under Wine, but the site runs no Windows programs under Wine";
  }
  return "";
}

// How a Windows program runs: through the Wine loader, given its exchange file as a Windows path,
// with Wine's environment. False (and the start refused) when it cannot.
bool PrepareWineStart(Spawner* s, Connection* c, const SiteUser* user, const char* loader, std::string* argument,
                      std::vector<std::string>* environment) {
  // A site with its own user runs its Windows programs in that user's prefix, as the user.
  const WineSettings wine = WineOfSite(*s->wine, user);
  std::string why = WineUnavailable(wine);
  if (why.empty() && PathSplitsUnderWine(argument->c_str())) {
    why = "its exchange file's path holds a blank, which a program under Wine cannot be given";
  }
  std::string prefix;
  if (why.empty() && !SiteWineReady(s, wine, c->order.strings[kWindowsPaths], &prefix)) {
    why = "the Wine prefix " + prefix + " or its wineserver did not start";
  }
  char windowsPath[kWindowsPathBytes];
  if (why.empty() && !WindowsPathOf(argument->c_str(), windowsPath, sizeof windowsPath)) {
    why = "its exchange file's path is too long for Windows";
  }
  if (!why.empty()) {
    RefuseStart(s, c, ENOEXEC, why);
    return false;
  }
  *argument = windowsPath;
  AddWineEnvironment(WineSettings{s->wine->loader, prefix.c_str()}, loader, environment);
  return true;
}

// Hands the order's program to the pool; Started finishes the start once it is done. The file's
// kind picks the loader (32- or 64-bit) and is checked against how the order runs it.
void Start(Spawner* s, Connection* c) {
  auto job = std::make_unique<SpawnJob>();
  job->program = c->order.strings[kProgram];
  job->argument = c->order.strings[kArgument];
  job->environment = c->order.environment;
  const WindowsMachine kind = WindowsExecutableKind(job->program.c_str());
  const std::string refused = StartRefused(*s, *c, kind != kNotWindows);
  if (!refused.empty()) {
    RefuseStart(s, c, ENOEXEC, refused);
    return;
  }
  // The site's user, from the configuration: the order names only its site.
  const SiteUser* user =
      s->users != nullptr ? UserOfSite(*s->users, c->order.fixed.site, c->order.strings[kSiteName]) : nullptr;
  if (c->order.fixed.underWine != 0) {
    job->loader = LoaderFor(*s->wine, kind == kWindows64);
    if (!PrepareWineStart(s, c, user, job->loader, &job->argument, &job->environment)) return;
  }
  std::memcpy(job->limits, c->order.fixed.limits, sizeof job->limits);
  job->signalsToReset = &s->signalsToReset;
  job->user = user;
  job->id = ++s->lastJobId;
  c->state = kStarting;
  c->jobId = job->id;
  s->pool->Submit(std::move(job));
}

// The program's site, as the status board keys it: its back-end directory (the program's path
// without its label); "" where the label is not the end of the path.
std::string SiteOf(const SpawnOrderText& order) {
  const std::string& program = order.strings[kProgram];
  const std::string& label = order.strings[kLabel];
  if (label.empty() || program.size() <= label.size() + 1) return "";
  const size_t at = program.size() - label.size();
  if (program.compare(at, std::string::npos, label) != 0 || program[at - 1] != '/') return "";
  return program.substr(0, at - 1);
}

std::string StartFailure(const SpawnJob& job) {
  std::string why = std::strerror(job.failure);
  if (job.user != nullptr) {
    why = !job.refused.empty() ? "it would run as " + job.user->user + ", but " + job.refused
                               : why + " (as " + job.user->user + ")";
  }
  return why;
}

// A start the pool has done: the child is told, and the connection follows the program.
void Started(Spawner* s, Connection* c, SpawnJob* job) {
  if (job->failure != 0) {
    c->state = kAwaitingOrder;  // not a running program's connection any more
    RefuseStart(s, c, job->failure, StartFailure(*job));
    return;
  }
  s->started++;
  CountOnBoard(s, 1, 0, 0);
  Program program{job->pid, c->order.strings[kLabel], c->order.strings[kLogId], c->order.strings[kArgument],
                  c->order.strings[kUploadDirectory], c->order.fixed.site, c->order.strings[kSiteName],
                  c->order.strings[kClient], c->order.fixed.stderrLevel, job->stderrFd, "", NowMs(), true, false,
                  c->order.fixed.stopAbandoned != 0, c->order.fixed.killGraceMs, 0, false, false, false,
                  job->group, false, false, -1, 'w', c->order.fixed.siteMaxBackends};
  if (s->board != nullptr && s->board->showProgram != nullptr) {
    program.boardEntry = s->board->showProgram(s->board->context, job->pid, program.startedAt, 'w', program.label,
                                               SiteOf(c->order));
  }
  job->stderrFd = -1;  // the program's now
  job->group = ProcessGroup{0, -1};
  s->programs.push_back(program);
  if (program.stderrFd >= 0) Watch(s, kStderr, program.stderrFd);
  c->state = kRunning;
  c->pid = job->pid;
  SendPacket(c->fd, kStarted, EncodeReply(static_cast<int32_t>(job->pid)));
}

void TakeStarts(Spawner* s) {
  for (std::unique_ptr<SpawnJob>& job : s->pool->TakeFinished()) {
    if (job->residentChannel >= 0) close(job->residentChannel);  // the instance's end, its own now
    if (job->instance != 0) {
      InstanceStarted(s, job.get());
    } else {
      for (Connection& c : s->connections) {
        if (c.state == kStarting && c.jobId == job->id) {
          Started(s, &c, job.get());
          break;
        }
      }
    }
    if (job->stderrFd >= 0) close(job->stderrFd);
    ReleaseProcessGroup(&job->group);
  }
}

// The request's files go once nothing of its program is left to use them.
void RemoveFilesWhenGone(Program* program) {
  if (program->abandoned && program->exited && program->groupGone && !program->filesRemoved) {
    RemoveRequestFiles(program->exchangePath.c_str(), program->uploadDirectory.c_str());
    program->filesRemoved = true;
  }
}

// Looks at the group of a program that ended and still counts: gone, or signalled again when it
// was killed and members are left.
void LookAtGroup(Program* program) {
  if (!program->exited || program->groupGone) return;
  if (program->answered || !SignalProcessGroup(program->group, program->killed ? SIGKILL : 0)) {
    program->groupGone = true;
    ReleaseProcessGroup(&program->group);
  }
  RemoveFilesWhenGone(program);
}

// The request of `pid` ended: answered, or given up on.
void RequestEnded(Spawner* s, pid_t pid, bool answered) {
  Program* program = FindProgram(s, pid);
  if (program == nullptr) return;
  program->requestWaiting = false;
  program->answered = answered;
  if (answered || !program->stopAbandoned) {
    LookAtGroup(program);
    return;
  }
  // The whole group, whether or not the program itself still runs: its children too.
  program->abandoned = true;
  if (SignalProcessGroup(program->group, SIGTERM)) {
    program->killAt = NowMs() + program->killGraceMs;
  } else if (program->exited) {
    program->groupGone = true;
    ReleaseProcessGroup(&program->group);
  }
  RemoveFilesWhenGone(program);
}

enum Received { kKeep, kClose, kAnswerStatus };

// A connection that ends before its request did (closed, or nonsense on it): a running program's
// request gave up; a queued order is dropped, its client left.
void ConnectionGaveUp(Spawner* s, Connection* c) {
  if (c->state == kRunning) {
    s->results[kResultAbandoned]++;
    if (c->instance != 0) {
      ResidentRequestLeft(s, c);
    } else {
      RequestEnded(s, c->pid, false);
    }
  } else if (c->state == kQueued) {
    // Its client left while it waited for a slot (the child watches the client): it never runs.
    s->results[kResultClientGone]++;
  }
}

// One packet from a child's connection, and what becomes of the connection.
Received Receive(Spawner* s, Connection* c) {
  // One buffer for every packet: the spawner is one thread, and a packet is parsed before the next.
  static std::vector<char> buffer(kSpawnPacketLimit);
  const char* payload = nullptr;
  size_t length = 0;
  // A child that closed with our kExited unread makes the first recv report ECONNRESET; its own
  // last packet (kDone) still waits behind the error: read on, or an answered request would be
  // taken as given up and its files removed under the reply.
  const uint32_t type = ReceivePacket(c->fd, buffer.data(), buffer.size(), &payload, &length, MSG_DONTWAIT, true);
  if (type == kNoPacketYet) return kKeep;
  if (type == kStatus && c->state == kAwaitingOrder) return kAnswerStatus;
  if (type == kSpawn && c->state == kAwaitingOrder) {
    if (!ReadOrder(payload, length, &c->order)) return kClose;
    c->state = kQueued;
    c->queuedAt = NowMs();
    c->orderBytes = length;
    return kKeep;
  }
  bool answered = false;
  std::string result, reason;
  char word = 0;
  if (type == kDone && c->state == kRunning && DecodeDone(payload, length, &answered, &result, &word, &reason)) {
    s->results[ResultNamed(result.data(), result.size())]++;
    if (c->instance != 0) {
      ResidentRequestDone(s, c, answered, result, word, reason);
    } else {
      RequestEnded(s, c->pid, answered);
    }
    // The connection waits for the thread's next order.
    c->state = kAwaitingOrder;
    c->pid = 0;
    c->instance = 0;
    c->order = SpawnOrderText{};
    return kKeep;
  }
  // The child closed, or sent what it may not: its connection ends, and with it its request.
  ConnectionGaveUp(s, c);
  return kClose;
}

// A label as a status line shows it: at most kStatusLabelBytes, no control character (a line
// break in a program's name would make a line of its own).
std::string StatusLabel(const std::string& label) {
  std::string shown = label.substr(0, kStatusLabelBytes);
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return shown;
}

std::string StatusText(const Spawner& s) {
  const int64_t now = NowMs();
  size_t queued = 0;
  int64_t longest = 0;
  for (const Connection& c : s.connections) {
    if (c.state != kQueued) continue;
    queued++;
    longest = std::max(longest, now - c.queuedAt);
  }
  for (const Program& p : s.programs) {
    if (p.requestWaiting) longest = std::max(longest, now - p.startedAt);
  }
  std::string text = "Running: " + std::to_string(Alive(s)) + "\nWaitingForSlot: " + std::to_string(queued) +
                     "\nLongestWaitMs: " + std::to_string(longest) + "\nStarted: " + std::to_string(s.started) +
                     "\nStartFailed: " + std::to_string(s.startFailed) + "\nBusy: " + std::to_string(s.busy) + "\n";
  for (int k = 0; k < kResultCount; ++k) {
    if (s.results[k] != 0) text += std::string("Result-") + kResultNames[k] + ": " + std::to_string(s.results[k]) + "\n";
  }
  size_t listed = 0, unlisted = 0;
  for (const Program& p : s.programs) {
    if (!Counted(p)) continue;
    if (listed == kStatusProgramsListed) {
      ++unlisted;
      continue;
    }
    ++listed;
    text += "Program: " + std::to_string(p.pid) + " " + std::to_string((now - p.startedAt) / 1000) + "s " +
            (p.requestWaiting ? "waiting" : p.abandoned ? "abandoned" : p.answered ? "answered" : "ended") + " " +
            StatusLabel(p.label) + "\n";
  }
  if (unlisted != 0) text += "Program: ... (" + std::to_string(unlisted) + " more)\n";
  text += InstanceStatusLines(s);
  const std::vector<SpawnerSiteCount> sites = SiteCounts(s);
  for (size_t k = 0; k < sites.size() && k < kStatusSitesListed; ++k) {
    text += "Site: " + StatusLabel(sites[k].name) + " running=" + std::to_string(sites[k].running) +
            " waiting=" + std::to_string(sites[k].waiting) + " cap=" + std::to_string(sites[k].cap) + "\n";
  }
  if (sites.size() > kStatusSitesListed) {
    text += "Site: ... (" + std::to_string(sites.size() - kStatusSitesListed) + " more)\n";
  }
  return text;
}

// Logs what a program wrote to standard error, whole lines (and overlong ones in pieces), in its
// request's site's log at the level its order gave.
void DrainLines(Spawner* s, int* fd, std::string* partialLine, const StderrTag& tag, bool atEnd) {
  char block[kStderrBlockBytes];
  for (size_t taken = 0; taken < kStderrReadPerRound;) {
    const ssize_t got = read(*fd, block, sizeof block);
    if (got > 0) {
      partialLine->append(block, static_cast<size_t>(got));
      taken += static_cast<size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) atEnd = true;
      break;
    }
  }
  const std::string prefix = "karvel: " + tag.label + " [" + tag.logId + "]: ";
  size_t start = 0;
  for (;;) {
    const size_t newline = partialLine->find('\n', start);
    const size_t available = (newline == std::string::npos ? partialLine->size() : newline) - start;
    if (newline == std::string::npos && available < kLogLineBytes && !(atEnd && available > 0)) break;
    const size_t take = std::min(available, kLogLineBytes);
    std::string line = partialLine->substr(start, take);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    LogForSite(s, tag.level, tag.site, tag.siteName, tag.client, prefix + line);
    start += take + (newline != std::string::npos && take == available ? 1 : 0);
    if (start >= partialLine->size()) break;
  }
  partialLine->erase(0, start);
  if (atEnd) {
    Unwatch(s, *fd);
    close(*fd);
    *fd = -1;
  }
}

void DrainStderr(Spawner* s, Program* program, bool atEnd) {
  DrainLines(s, &program->stderrFd, &program->partialLine,
             StderrTag{program->label, program->logId, program->site, program->siteName, program->client,
                       program->stderrLevel},
             atEnd);
}

void TakeStarts(Spawner* s);

// Reaps the ended children: programs, and the orphans of their groups (the spawner adopts them).
// While a start is under way it is put off, so that a program is never reaped before its start
// (and the hold of its group) is taken: every child reaped then is either known or an orphan.
void ReapPrograms(Spawner* s) {
  std::unique_lock<std::shared_mutex> noStarts(s->pool->ReapLock(), std::try_to_lock);
  s->reapPending = !noStarts.owns_lock();
  if (s->reapPending) return;
  TakeStarts(s);
  for (;;) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid <= 0) break;
    Program* program = FindProgram(s, pid);
    if (program == nullptr) {
      InstanceReaped(s, pid, status);  // an instance, or an orphan: its group is looked at below
      continue;
    }
    program->exited = true;
    // The request still waiting learns of it: one that has no answer yet need not wait longer.
    if (program->requestWaiting) {
      for (const Connection& c : s->connections) {
        if (c.state == kRunning && c.pid == pid) {
          SendPacket(c.fd, kExited, EncodeReply(WIFEXITED(status) ? WEXITSTATUS(status) : -1));
        }
      }
    }
  }
  for (Program& program : s->programs) LookAtGroup(&program);
}

// Programs the server's other spawners still count against the cap: those of the generation
// before a graceful restart, finishing their requests.
size_t OthersAlive(const Spawner& s) {
  return s.board != nullptr && s.board->othersRunning != nullptr ? s.board->othersRunning(s.board->context) : 0;
}

// Orders whose slot came, or whose wait ran out.
void ServeQueue(Spawner* s) {
  const int64_t now = NowMs();
  size_t queued = 0, queuedBytes = 0;
  bool othersRead = false;
  size_t others = 0;
  for (Connection& c : s->connections) {
    if (c.state != kQueued || c.closing) continue;
    const uint32_t cap = c.order.fixed.maxBackends;
    const bool room = queued < kQueuedOrdersKept && queuedBytes + c.orderBytes <= kQueuedOrderBytes;
    if (cap != 0 && !othersRead) {
      others = OthersAlive(*s);
      othersRead = true;
    }
    // An order whose site is full waits; those of other sites behind it still start. A lent
    // instance, which counts against the caps, gives up its room to an order that needs it.
    bool slotFree = (cap == 0 || Alive(*s) + others < cap) && SiteHasRoom(*s, c.order);
    if (!slotFree && WithdrawOneLent(s, nullptr)) {
      slotFree = (cap == 0 || Alive(*s) + others < cap) && SiteHasRoom(*s, c.order);
    }
    if (c.order.fixed.residentInstances != 0) {
      // A lent instance of its pool comes back for it, or the next to finish its request does.
      const std::string key = PoolKeyOf(c.order);
      if (!PoolHasIdle(*s, key) && !WithdrawOneLent(s, &key) &&
          PoolLive(s->instances, key) >= c.order.fixed.residentInstances) {
        WantOneLent(s, key);
      }
    }
    if (c.order.fixed.residentInstances != 0 && TakeResidentOrder(s, &c, slotFree)) {
      // handed to an instance, one started for it, or refused
    } else if (c.order.fixed.residentInstances == 0 && slotFree) {
      Start(s, &c);
    } else if (!room || now - c.queuedAt >= static_cast<int64_t>(c.order.fixed.queueTimeoutMs)) {
      // Its wait ran out, or the queue holds as much as it keeps (the orders before it stay).
      s->busy++;
      CountOnBoard(s, 0, 0, 1);
      s->results[kResultBusy]++;
      SendPacket(c.fd, kBusy, nullptr, 0);
      c.closing = true;
    } else {
      queued++;
      queuedBytes += c.orderBytes;
    }
  }
  for (size_t k = s->connections.size(); k-- > 0;) {
    if (s->connections[k].closing) CloseConnection(s, k);
  }
}

// Connections waiting for an order, beyond `kept` of them (the newest), are told kClosing and
// closed at the end of the round.
void CloseIdleConnections(Spawner* s, size_t kept) {
  size_t idle = static_cast<size_t>(std::count_if(s->connections.begin(), s->connections.end(), [](const Connection& c) {
    return c.state == kAwaitingOrder && !c.closing;
  }));
  for (Connection& c : s->connections) {
    if (idle <= kept) break;
    if (c.state != kAwaitingOrder || c.closing) continue;
    SendPacket(c.fd, kClosing, nullptr, 0);
    c.closing = true;
    --idle;
  }
}

void KillOverdue(Spawner* s) {
  const int64_t now = NowMs();
  for (Program& program : s->programs) {
    if (program.killAt != 0 && now >= program.killAt) {
      program.killAt = 0;
      program.killed = true;
      // A group found empty here is taken as gone (and its files removed) by the next look.
      SignalProcessGroup(program.group, SIGKILL);
    }
  }
}

// Programs that ended, said all they had to say and count no more are forgotten.
void ForgetEnded(Spawner* s) {
  const auto forgotten = [](const Program& p) { return p.exited && p.stderrFd < 0 && !p.requestWaiting && !Counted(p); };
  for (Program& program : s->programs) {
    if (forgotten(program)) ReleaseProcessGroup(&program.group);
  }
  if (s->board != nullptr && s->board->hideProgram != nullptr) {
    for (Program& program : s->programs) {
      if (forgotten(program) && program.boardEntry >= 0) s->board->hideProgram(s->board->context, program.boardEntry);
    }
  }
  s->programs.erase(std::remove_if(s->programs.begin(), s->programs.end(), forgotten), s->programs.end());
}

// How long the loop may sleep: until the nearest queue deadline or kill, at most a second.
int PollTimeout(const Spawner& s) {
  const int64_t now = NowMs();
  int64_t wait = 1000;
  for (const Connection& c : s.connections) {
    if (c.state == kQueued) wait = std::min(wait, c.queuedAt + c.order.fixed.queueTimeoutMs - now);
  }
  for (const Program& p : s.programs) {
    if (p.killAt != 0) wait = std::min(wait, p.killAt - now);
    if (p.exited && !p.groupGone) wait = std::min(wait, kGroupLookMs);
  }
  if (s.reapPending) wait = std::min(wait, kReapRetryMs);
  wait = InstancesWaitMs(s, now, wait);
  return static_cast<int>(std::max<int64_t>(wait, 0));
}

bool Finished(const Spawner& s) {
  if (!s.draining || !s.connections.empty() || !InstancesSettled(s)) return false;
  // Programs being stopped are seen to the end: their groups, and their files removed.
  return std::none_of(s.programs.begin(), s.programs.end(),
                      [](const Program& p) { return p.abandoned && p.stopAbandoned && Counted(p); });
}

// What the events of one round of the loop asked for; done once each after them.
struct RoundEvents {
  bool childEnded = false;  // children are waited for only after a SIGCHLD, not every round
  bool startsDone = false;
  bool accepting = false;
};

void OnSignals(Spawner* s, RoundEvents* round) {
  signalfd_siginfo info;
  while (read(s->signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (info.ssi_signo == SIGHUP || info.ssi_signo == SIGTERM) s->draining = true;
    if (info.ssi_signo == SIGCHLD) round->childEnded = true;
  }
}

void OnConnection(Spawner* s, int fd) {
  for (Connection& c : s->connections) {
    if (c.fd != fd || c.closing || c.state == kStarting) continue;
    const Received received = Receive(s, &c);
    if (received == kAnswerStatus) {
      const std::string text = StatusText(*s);
      SendPacket(c.fd, kStatusText, text.data(), text.size());
    }
    if (received != kKeep) c.closing = true;
    return;
  }
}

void OnStderr(Spawner* s, int fd) {
  for (Program& program : s->programs) {
    if (program.stderrFd == fd) {
      DrainStderr(s, &program, false);
      return;
    }
  }
  OnInstanceStderr(s, fd);
}

void OnEvent(Spawner* s, const epoll_event& event, RoundEvents* round) {
  const auto kind = static_cast<WatchKind>(event.data.u64 >> kWatchKindShift);
  const int fd = static_cast<int>(event.data.u64 & kWatchFdMask);
  switch (kind) {
    case kSignals:
      OnSignals(s, round);
      break;
    case kListener:
      round->accepting = true;
      break;
    case kStartsDone:
      round->startsDone = true;
      break;
    case kConnection:
      OnConnection(s, fd);
      break;
    case kStderr:
      OnStderr(s, fd);
      break;
    case kChannel:
      OnChannel(s, fd);
      break;
    case kLentLine:
      OnLentLine(s);
      break;
  }
}

// Only the server's own children order programs: a peer of any other user (a program that found
// the socket, whatever the file's mode) is refused before it is read, and logged.
bool PeerIsServer(Spawner* s, int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == s->peersUid) return true;
  Log(s, kLogLevelWarning,
      "karvel: the spawner refused a connection from uid " + std::to_string(peer.uid) + " (pid " +
          std::to_string(peer.pid) + "): only the server's children may order programs");
  return false;
}

// A child that connected is taken.
void AcceptOne(Spawner* s) {
  const int fd = accept4(s->listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0 && !PeerIsServer(s, fd)) {
    close(fd);
  } else if (fd >= 0) {
    s->connections.push_back(Connection{fd, kAwaitingOrder, SpawnOrderText{}, 0, 0, false, 0, 0, 0});
    Watch(s, kConnection, fd);
    CloseIdleConnections(s, kIdleConnectionsKept);
  }
}

// A draining spawner stops listening (the listener is the server's to close): it is shut for
// reading, so that a child connecting before the next spawner listens at the path is refused (and
// waits for that one) rather than left in a backlog nobody accepts; those connected already are
// taken, and told kClosing with every connection that waits for an order.
void AcceptOrStopListening(Spawner* s, bool accepting) {
  if (s->draining && s->listener >= 0) {
    Unwatch(s, s->listener);
    shutdown(s->listener, SHUT_RD);
    pollfd pending{s->listener, POLLIN, 0};
    while (poll(&pending, 1, 0) == 1 && (pending.revents & POLLIN) != 0) {
      const size_t before = s->connections.size();
      AcceptOne(s);
      if (s->connections.size() == before) break;
    }
    CloseIdleConnections(s, 0);
    s->listener = -1;
  } else if (accepting) {
    AcceptOne(s);
  }
}

// The state a program's status line and board entry show.
char ShownState(const Program& p) { return p.requestWaiting ? 'w' : p.abandoned ? 'g' : p.answered ? 'a' : 'e'; }

// The board after a round: programs that count no more hidden, changed states shown, and the
// spawner's numbers (Running counts the programs being started, as the cap does).
void ShowRound(Spawner* s) {
  if (s->board == nullptr) return;
  int64_t longestSince = 0;
  size_t queued = 0, unlisted = 0;
  for (const Connection& c : s->connections) {
    if (c.state != kQueued) continue;
    queued++;
    if (longestSince == 0 || c.queuedAt < longestSince) longestSince = c.queuedAt;
  }
  for (Program& p : s->programs) {
    if (p.requestWaiting && (longestSince == 0 || p.startedAt < longestSince)) longestSince = p.startedAt;
    const bool counted = Counted(p);
    if (counted && p.boardEntry < 0) unlisted++;
    if (p.boardEntry < 0) continue;
    if (!counted) {
      if (s->board->hideProgram != nullptr) s->board->hideProgram(s->board->context, p.boardEntry);
      p.boardEntry = -1;
    } else if (ShownState(p) != p.boardState) {
      p.boardState = ShownState(p);
      if (s->board->changeProgram != nullptr) s->board->changeProgram(s->board->context, p.boardEntry, p.boardState);
    }
  }
  if (s->board->roundDone != nullptr) s->board->roundDone(s->board->context, Alive(*s), queued, longestSince, unlisted);
  if (s->board->sitesDone != nullptr) {
    const std::vector<SpawnerSiteCount> sites = SiteCounts(*s);
    s->board->sitesDone(s->board->context, sites.data(), sites.size());
  }
}

// After the round's events: programs and their groups looked at, the queue served.
void EndRound(Spawner* s, const RoundEvents& round) {
  // An ending spawner takes no more orders: the children send them again to the next one.
  if (s->draining) CloseIdleConnections(s, 0);
  if (round.childEnded || s->reapPending) ReapPrograms(s);
  if (round.startsDone) TakeStarts(s);
  // Groups whose last member was not a child of the spawner's are found gone here.
  for (Program& program : s->programs) LookAtGroup(&program);
  KillOverdue(s);
  LookAfterInstances(s);
  ServeQueue(s);
  LendIdleInstances(s, [s](const ResidentInstance& instance) { return RoomToLend(*s, instance); });
  ForgetEnded(s);
  ShowRound(s);
}

// The spawner's end: the last of its programs' standard error logged, and no Wine process of the
// server's outlives it.
void Finish(Spawner* s) {
  for (Program& program : s->programs) {
    if (program.stderrFd >= 0) DrainStderr(s, &program, true);
  }
  EndInstances(s);
  if (s->wineServer >= 0) StopWineServer(*s->wine, s->wineServer);
  for (const auto& [prefix, server] : s->siteWineServers) {
    StopWineServer(WineSettings{s->wine->loader, prefix.c_str(), server.user}, server.claim);
  }
  for (int& end : s->lentLine) {
    if (end >= 0) close(end);
    end = -1;
  }
  close(s->signals);
  close(s->epoll);
}

}  // namespace spawner_loop

using namespace spawner_loop;

void RaiseDescriptorLimit() {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur >= files.rlim_max) return;
  files.rlim_cur = files.rlim_max < kDescriptorsWanted ? files.rlim_max : kDescriptorsWanted;
  setrlimit(RLIMIT_NOFILE, &files);
}

int RunSpawner(int listener, const SpawnerLog& log, const WineSettings* wine, const SpawnerBoard* board,
               const SiteUsers* users) {
  sigset_t handled;
  sigemptyset(&handled);
  sigaddset(&handled, SIGCHLD);
  sigaddset(&handled, SIGHUP);
  sigaddset(&handled, SIGTERM);
  sigprocmask(SIG_BLOCK, &handled, nullptr);
  signal(SIGPIPE, SIG_IGN);
  SpawnPool pool;
  Spawner s{epoll_create1(EPOLL_CLOEXEC), &log, wine, -1, listener,
            signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK), false, {}, {}, {}, 0, 0, 0, {}, &pool, 0, false, {},
            board, users, getuid(), {}, 0};
  if (s.epoll < 0 || s.signals < 0 || !pool.Begin(kStartThreads)) return 1;
  // Instance ids are the spawner's own (its pid above them): a child that knew an entry of an
  // earlier spawner's table never takes a later one's instance for it.
  s.lastInstanceId = static_cast<uint64_t>(getpid()) << 34;
  if (board != nullptr && board->lent != nullptr &&
      socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, s.lentLine) == 0) {
    Watch(&s, kLentLine, s.lentLine[0]);
  }
  // The children a program leaves when it ends come to the spawner, which reaps them: its group
  // then empties as its last member ends, and is counted until it has.
  if (!AdoptOrphans()) Log(&s, kLogLevelError, "karvel: the spawner cannot adopt the orphans of its programs");
  SignalsNotAtDefault(&s.signalsToReset);
  Watch(&s, kSignals, s.signals);
  Watch(&s, kListener, listener);
  Watch(&s, kStartsDone, pool.ReadyFd());
  // Descriptors close only at the end of a round, so an event's descriptor is still its own.
  epoll_event events[kEventsPerRound];
  while (!Finished(s)) {
    const int ready = epoll_wait(s.epoll, events, kEventsPerRound, PollTimeout(s));
    if (ready < 0 && errno != EINTR) return 1;
    RoundEvents round;
    for (int k = 0; k < ready; ++k) OnEvent(&s, events[k], &round);
    AcceptOrStopListening(&s, round.accepting);
    EndRound(&s, round);
  }
  Finish(&s);
  return 0;
}
