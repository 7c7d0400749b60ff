#include "host/spawner/spawn_program.h"

#include <sys/stat.h>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/spawner/spawner.h"
#include "host/spawner/switch_user.h"
#include "platform/program_path.h"
#include "platform/request_files.h"

namespace {

constexpr int kResources[kLimitCount] = {RLIMIT_CPU, RLIMIT_AS, RLIMIT_NPROC};
// close_range(2)'s flag (Linux 5.11): mark close-on-exec rather than close.
constexpr unsigned kCloseRangeCloexec = 1u << 2;
// Tests only (SetProgramOpenedHookForTests).
void (*g_programOpened)(void*) = nullptr;
void* g_programOpenedContext = nullptr;

// glibc keeps the first real-time signals for itself and refuses them to sigaction() and signal
// sets, yet a server may have been started with them ignored, and exec passes that on: the raw
// system call sets them back.
void ResetReservedSignals() {
#if defined(__x86_64__) || defined(__i386__)
  struct {
    void* handler;  // 0: SIG_DFL
    unsigned long flags;
    void* restorer;
    uint64_t mask;
  } byDefault{};
  for (int signal = __SIGRTMIN; signal < SIGRTMIN; ++signal) {
    syscall(SYS_rt_sigaction, signal, &byDefault, nullptr, sizeof byDefault.mask);
  }
#endif
}

// A checked program, opened once: the file that runs is this one whatever its path names by then.
struct OpenedProgram {
  int file = -1;        // the program's file (O_PATH)
  int directory = -1;   // under a loader: the directory that holds it (O_PATH), else -1
  bool script = false;  // "#!": its descriptor stays open for the interpreter
  const char* name = nullptr;  // under a loader: its name in `directory`
  ~OpenedProgram() {
    if (file >= 0) close(file);
    if (directory >= 0) close(directory);
  }
};

// Opens the directory that holds the checked program (without links on its way); 0 or the errno.
int OpenProgramDirectory(const ProgramStart& start, OpenedProgram* opened) {
  const char* slash = std::strrchr(start.program, '/');
  const std::string directory(start.program, static_cast<size_t>(slash - start.program));
  opened->name = slash + 1;
  opened->directory = OpenDirectoryWithoutLinks(directory.empty() ? "/" : directory.c_str());
  return opened->directory < 0 ? errno : 0;
}

// The rules a program of a site with its own user must pass, on the file and directory opened:
// EACCES with the rule in *start.refused when it fails one. A native program's directory is let go
// again (only a loader needs it open).
int CheckForUser(const ProgramStart& start, OpenedProgram* opened) {
  if (const int failure = OpenProgramDirectory(start, opened)) return failure;
  const std::string refusal = ProgramRefusedFor(*start.user, start.program, opened->file, opened->directory);
  if (start.loader == nullptr) {
    close(opened->directory);
    opened->directory = -1;
  }
  if (refusal.empty()) return 0;
  if (start.refused != nullptr) *start.refused = refusal;
  return EACCES;
}

// Opens the checked program for its start; 0 or the errno of the failure. A program under a loader
// (Wine) is given to it as /proc/PID/fd/N/NAME, N its directory's descriptor kept open in the
// program's process: the loader, and the wineserver that opens files for it, reach exactly the
// directory that was checked (no name above it is looked up again), and the program finds the
// files beside it there. The file in it is compared with the one opened.
int OpenChecked(const ProgramStart& start, OpenedProgram* opened) {
  opened->file = OpenProgramWithoutLinks(start.program);
  if (opened->file < 0) return errno;
  if (start.user != nullptr && start.siteRules) {
    if (const int failure = CheckForUser(start, opened)) return failure;
  }
  if (start.loader == nullptr) {
    opened->script = ProgramIsScript(opened->file);
    const std::string self = "/proc/self/fd/" + std::to_string(opened->file);
    return access(self.c_str(), X_OK) == 0 ? 0 : errno;
  }
  if (opened->directory < 0 && OpenProgramDirectory(start, opened) != 0) return errno;
  struct stat checked{}, found{};
  if (fstatat(opened->directory, opened->name, &found, AT_SYMLINK_NOFOLLOW) != 0 || fstat(opened->file, &checked) != 0 ||
      found.st_dev != checked.st_dev || found.st_ino != checked.st_ino) {
    return ENOENT;
  }
  return 0;
}

// "/proc/PID/fd/N/NAME" into `out` (`room` bytes) with system calls and stores only: the vfork
// child writes it into room the spawner gave it.
bool LoadedPath(int directory, const char* name, char* out, size_t room) {
  const long pid = syscall(SYS_getpid);
  size_t at = 0;
  auto put = [&](const char* text) {
    while (*text != '\0' && at + 1 < room) out[at++] = *text++;
    return *text == '\0';
  };
  auto number = [&](long value) {
    char digits[24];
    int count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value > 0);
    char text[24];
    for (int k = 0; k < count; ++k) text[k] = digits[count - 1 - k];
    text[count] = '\0';
    return put(text);
  };
  const bool whole = put("/proc/") && number(pid) && put("/fd/") && number(directory) && put("/") && put(name);
  out[at] = '\0';
  return whole;
}

// In the child between vfork and exec: system calls only, and nothing written to memory but
// *failure and `loaded` (the memory is the spawner's until exec). Every signal is blocked on entry:
// a handler of the spawner's must not run here, in the spawner's memory. Exec resets handlers but keeps ignored
// signals ignored and the mask, so both are reset here, the mask last.
[[noreturn]] void BecomeProgram(const ProgramStart& start, const OpenedProgram& opened, const ProgramUser* user,
                                char* loaded, size_t room, int null, int stderrWrite, volatile int* failure) {
  setsid();
  for (int signal = 1; signal < NSIG; ++signal) {
    if (signal == SIGKILL || signal == SIGSTOP) continue;
    if (start.signalsToReset != nullptr && sigismember(start.signalsToReset, signal) != 1) continue;
    ::signal(signal, SIG_DFL);
  }
  ResetReservedSignals();
  if (null < 0) null = open("/dev/null", O_RDWR);
  if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(stderrWrite >= 0 ? stderrWrite : null, 2) < 0) {
    *failure = errno;
    _exit(127);
  }
  for (int k = 0; k < kLimitCount; ++k) {
    if (start.limits[k][0] < 0) continue;
    struct rlimit limit;
    limit.rlim_cur = static_cast<rlim_t>(start.limits[k][0]);
    limit.rlim_max = start.limits[k][1] < 0 ? RLIM_INFINITY : static_cast<rlim_t>(start.limits[k][1]);
    setrlimit(kResources[k], &limit);
  }
  // The limits are set while the spawner's user may still raise them; then the site's user.
  if (user != nullptr) {
    if (const int switchFailure = BecomeUser(*user)) {
      *failure = switchFailure;
      _exit(127);
    }
  }
  // A resident instance ends with the spawner (set after the switch of user, which clears it):
  // the copies of its channel that the server's children keep would hold it waiting otherwise.
  if (start.residentChannel >= 0) prctl(PR_SET_PDEATHSIG, SIGTERM);
  // Nothing of the spawner's reaches the program: every descriptor from 3 on closes at exec.
  const int channel = start.residentChannel;
  if (syscall(SYS_close_range, 3u, ~0u, kCloseRangeCloexec) != 0) {
    // The spawner's own soft limit is at most this (RaiseDescriptorLimit): none lies beyond.
    for (int fd = 3; fd < static_cast<int>(kDescriptorsWanted); ++fd) {
      if (fd != channel) close(fd);
    }
  }
  // A resident instance's channel, as descriptor 3 (dup2 clears close-on-exec; at 3 already, so does fcntl).
  if (channel >= 0 && (channel != kResidentFd ? dup2(channel, kResidentFd) : fcntl(kResidentFd, F_SETFD, 0)) < 0) {
    *failure = errno;
    _exit(127);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (start.loader != nullptr && opened.directory >= 0) {
    // The program's directory stays open for the loader.
    if (fcntl(opened.directory, F_SETFD, 0) != 0 || !LoadedPath(opened.directory, opened.name, loaded, room)) {
      *failure = ENAMETOOLONG;
      _exit(127);
    }
    char* const argv[] = {const_cast<char*>(start.loader), loaded, const_cast<char*>(start.argument), nullptr};
    execve(start.loader, argv, start.environment);
  } else if (start.loader != nullptr) {
    char* const argv[] = {const_cast<char*>(start.loader), const_cast<char*>(start.program),
                          const_cast<char*>(start.argument), nullptr};
    execve(start.loader, argv, start.environment);
  } else if (opened.file >= 0) {
    // The file checked is the file run; argv[0] still names it where it lies. A script's
    // interpreter reads it through its descriptor (/dev/fd/N), which stays open for it.
    if (opened.script) fcntl(opened.file, F_SETFD, 0);
    char* const argv[] = {const_cast<char*>(start.program), channel >= 0 ? nullptr : const_cast<char*>(start.argument),
                          nullptr};
    syscall(SYS_execveat, opened.file, "", argv, start.environment, AT_EMPTY_PATH);
  } else {
    char* const argv[] = {const_cast<char*>(start.program), channel >= 0 ? nullptr : const_cast<char*>(start.argument),
                          nullptr};
    execve(start.program, argv, start.environment);
  }
  *failure = errno;
  _exit(127);
}

}  // namespace

int StartProgram(const ProgramStart& start, pid_t* pid, int* stderrFd) {
  // The program must be runnable before a child is made for it: the usual failures come back as
  // an errno at once.
  // (Through a loader, the loader: the program is the loader's to find.)
  if (start.loader != nullptr || !start.checked) {
    if (access(start.loader != nullptr ? start.loader : start.program, X_OK) != 0) return errno;
  }
  // A program run as a site's user is always checked first: the rules are looked at on its file.
  if (start.user != nullptr && start.siteRules && !start.checked) return EACCES;
  // A resident instance runs natively: its channel cannot be handed through a loader.
  if (start.residentChannel >= 0 && start.loader != nullptr) return ENOEXEC;
  OpenedProgram opened;
  if (start.checked) {
    if (const int failure = OpenChecked(start, &opened)) return failure;
    if (g_programOpened != nullptr) g_programOpened(g_programOpenedContext);
  }
  // A script's descriptor must stay what the interpreter is told (/dev/fd/N): never the channel's 3.
  if (start.residentChannel >= 0 && opened.file == kResidentFd) {
    const int moved = fcntl(opened.file, F_DUPFD_CLOEXEC, kResidentFd + 1);
    if (moved < 0) return errno;
    close(opened.file);
    opened.file = moved;
  }
  // Made before the child is: it may only make system calls.
  ProgramUser user{};
  if (start.user != nullptr) {
    user = ProgramUser{start.user->uid, start.user->gid, start.user->groups.data(), start.user->groups.size()};
  }
  char loaded[PATH_MAX + 64];
  int errors[2] = {-1, -1};
  if (stderrFd != nullptr && pipe2(errors, O_CLOEXEC) != 0) return errno;
  // Standard input and output of every program: opened once (the child opens its own if this failed).
  static const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  // vfork: the spawner stops until the child has called exec (or given up), without copying the
  // spawner's memory for a child that replaces it at once; a failed exec leaves its errno here.
  volatile int failure = 0;
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  const pid_t child = vfork();
  if (child == 0) {
    // The stderr pipe's writing end must survive exec as descriptor 2: dup2 clears close-on-exec.
    BecomeProgram(start, opened, start.user != nullptr ? &user : nullptr, loaded, sizeof loaded, null, errors[1],
                  &failure);
  }
  const int forkError = errno;
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (errors[1] >= 0) close(errors[1]);
  if (child < 0 || failure != 0) {
    if (errors[0] >= 0) close(errors[0]);
    if (child > 0) waitpid(child, nullptr, 0);
    *pid = child > 0 ? child : 0;
    return child < 0 ? forkError : failure;
  }
  *pid = child;
  if (stderrFd != nullptr) {
    fcntl(errors[0], F_SETFL, O_NONBLOCK);  // a new pipe's end has no other status flag
    *stderrFd = errors[0];
  }
  return 0;
}

void SetProgramOpenedHookForTests(void (*hook)(void* context), void* context) {
  g_programOpened = hook;
  g_programOpenedContext = context;
}

void SignalsNotAtDefault(sigset_t* signals) {
  sigemptyset(signals);
  for (int signal = 1; signal < NSIG; ++signal) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_DFL) sigaddset(signals, signal);
  }
}

int RunToCompletion(const char* const* argv, char* const* environment, int timeoutMs, const SiteUser* user) {
  static const int64_t kNoLimits[kLimitCount][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
  // The first argument is the program; a second, when there is one, its argument; a third makes
  // the first a loader.
  ProgramStart start{argv[0], argv[1], environment, kNoLimits};
  if (argv[1] != nullptr && argv[2] != nullptr) start = ProgramStart{argv[1], argv[2], environment, kNoLimits, argv[0]};
  start.user = user;
  start.siteRules = false;
  pid_t pid = 0;
  if (StartProgram(start, &pid, nullptr) != 0) return -1;
  constexpr int kLookMs = 10;  // how often the program is looked at while it runs
  for (int waited = 0;; waited += kLookMs) {
    int status = 0;
    const pid_t ended = waitpid(pid, &status, WNOHANG);
    if (ended == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (ended < 0 || waited >= timeoutMs) break;
    usleep(kLookMs * 1000);
  }
  SignalProgram(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

bool SignalProgram(pid_t pid, int signal) {
  if (pid <= 0) return false;
  // The program leads its own session and process group; its children go with it.
  if (kill(-pid, signal) == 0) return true;
  return kill(pid, signal) == 0;
}

void RemoveRequestFiles(const char* exchangePath, const char* uploadDirectory) {
  if (exchangePath != nullptr && exchangePath[0] != '\0') unlink(exchangePath);
  if (uploadDirectory != nullptr && uploadDirectory[0] != '\0') RemoveRequestDirectory(uploadDirectory);
}
