// WinExec: starts a program from a Win32-style command line, without a shell, and never waits
// for it.
//
// The program gets argv = {program, rest-of-line} so that whatever a request put into the command
// line reaches it as one argument and is never interpreted. posix_spawn starts it without copying
// the server's memory (fork is slow for a large process), and reports a failed exec at once.
#include <spawn.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/posix_internal.h"
#include "platform/program_path.h"
#include "platform/win32.h"

extern char** environ;

namespace {

// WinExec's success value; anything above 31 means success to its callers.
constexpr UINT kStarted = 33;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool NamesRegularFile(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

// Splits `line` into the program (written NUL-terminated to `program`, which holds strlen(line)+1
// bytes) and the single argument after it (*rest points into `line`; nullptr when there is none).
void SplitCommandLine(const char* line, char* program, const char** rest) {
  *rest = nullptr;
  size_t length = std::strlen(line);
  if (line[0] == '"') {
    const char* closing = std::strchr(line + 1, '"');
    size_t nameLength = closing ? static_cast<size_t>(closing - (line + 1)) : length - 1;
    std::memcpy(program, line + 1, nameLength);
    program[nameLength] = '\0';
    if (closing != nullptr) {
      const char* after = closing + 1;
      if (IsBlank(*after)) ++after;
      *rest = after;
    }
  } else {
    std::memcpy(program, line, length + 1);
    // Unquoted paths may contain blanks ("C:\Program Files\..." style): the first blank-ended
    // prefix that is an existing file wins.
    size_t cut = length;
    for (size_t i = 0; i < length; ++i) {
      if (!IsBlank(line[i])) continue;
      program[i] = '\0';
      if (NamesRegularFile(program)) {
        cut = i;
        break;
      }
      program[i] = line[i];
    }
    if (cut == length && access(program, F_OK) != 0) {
      for (size_t i = 0; i < length; ++i) {
        if (IsBlank(line[i])) {
          cut = i;
          break;
        }
      }
    }
    if (cut < length) {
      program[cut] = '\0';
      *rest = line + cut + 1;
    }
  }
  if (*rest != nullptr && **rest == '\0') *rest = nullptr;
}

// The WinExec result for the errno with which exec of `program` failed.
UINT ResultForExecError(int err, const char* program) {
  switch (err) {
    case ENOENT:
      return karvel_posix::Win32ErrorFromErrno(ENOENT, program, ERROR_FILE_NOT_FOUND);
    case ENOTDIR:
    case ELOOP:
    case ENAMETOOLONG:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case ENOEXEC:
    case EISDIR:
    case ETXTBSY:
    case EINVAL:
#ifdef ELIBBAD
    case ELIBBAD:
#endif
      return ERROR_BAD_FORMAT;
    default:  // E2BIG, ENOMEM, EAGAIN, EMFILE, EIO...: resources, not the file
      return 0;
  }
}

// Finished programs are reaped here, never by the request that started them: a thread of this
// process looks at the programs still running every kReapMilliseconds and collects those that
// ended, so none stays a zombie for longer than that. It starts with the first program (again in
// a process forked from one that had it) and sleeps while there is nothing to reap.
constexpr int kReapMilliseconds = 20;

struct Reaper {
  std::mutex mutex;
  std::condition_variable wake;
  std::vector<pid_t> running;
  pid_t owner = 0;  // the process whose thread reaps
};

Reaper& TheReaper() {
  static Reaper* reaper = new Reaper;  // never destroyed: its thread outlives static destructors
  return *reaper;
}

void ReapLoop(Reaper* reaper) {
  std::unique_lock<std::mutex> lock(reaper->mutex);
  for (;;) {
    reaper->wake.wait(lock, [reaper] { return !reaper->running.empty(); });
    for (auto it = reaper->running.begin(); it != reaper->running.end();) {
      int status = 0;
      const pid_t done = waitpid(*it, &status, WNOHANG);
      // ECHILD: someone else reaped it (a host waiting for every child).
      it = (done == *it || (done < 0 && errno == ECHILD)) ? reaper->running.erase(it) : it + 1;
    }
    if (!reaper->running.empty()) reaper->wake.wait_for(lock, std::chrono::milliseconds(kReapMilliseconds));
  }
}

void HandToReaper(pid_t program) {
  Reaper& reaper = TheReaper();
  std::lock_guard<std::mutex> lock(reaper.mutex);
  reaper.running.push_back(program);
  if (reaper.owner != getpid()) {
    reaper.owner = getpid();
    std::thread(ReapLoop, &reaper).detach();
  }
  reaper.wake.notify_one();
}

// Starts argv[0] as its own session, with default signal handling and an empty signal mask (a
// server typically ignores SIGPIPE and blocks others), standard input from /dev/null, standard
// output and error kept, and no other descriptor of the server. Returns 0 when it was started,
// else the errno of the failed start.
// With `program` (a descriptor), that file is what runs, reached through /proc/self/fd: no name is
// looked up again between the check and the start. argv[0] stays the program's path, so that it
// sees itself where it lies.
int Launch(char* const argv[], int program = -1) {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  if (posix_spawnattr_init(&attributes) != 0) return ENOMEM;
  if (posix_spawn_file_actions_init(&actions) != 0) {
    posix_spawnattr_destroy(&attributes);
    return ENOMEM;
  }
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  // The program's descriptor goes to the lowest free slot (dup2 clears its close-on-exec, so a
  // script's interpreter can read it there); every other one closes.
  const int slot = program == 3 ? 4 : 3;
  char path[32] = "";
  if (program >= 0) {
    posix_spawn_file_actions_adddup2(&actions, program, slot);
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", slot);
  }
  posix_spawn_file_actions_addclosefrom_np(&actions, program >= 0 ? slot + 1 : 3);

  pid_t child = 0;
  const int failure = posix_spawn(&child, program >= 0 ? path : argv[0], &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failure == 0) HandToReaper(child);
  return failure;
}

}  // namespace

UINT WinExec(LPCSTR cmdLine, UINT) {
  if (cmdLine == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return ERROR_FILE_NOT_FOUND;
  }
  while (IsBlank(*cmdLine)) ++cmdLine;
  char* program = static_cast<char*>(std::malloc(std::strlen(cmdLine) + 1));
  if (program == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  const char* rest = nullptr;
  SplitCommandLine(cmdLine, program, &rest);
  if (program[0] == '\0') {
    std::free(program);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return ERROR_FILE_NOT_FOUND;
  }

  // execve takes non-const strings but does not modify them.
  char* argv[3] = {program, const_cast<char*>(rest), nullptr};
  int outcome = Launch(argv);
  UINT result = kStarted;
  if (outcome != 0) {
    result = ResultForExecError(outcome, program);
    SetLastError(result != 0 ? result : ERROR_NOT_ENOUGH_MEMORY);
  }
  std::free(program);
  return result;
}

UINT StartResolvedProgram(LPCSTR program, LPCSTR argument) {
  if (program == nullptr || argument == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return ERROR_FILE_NOT_FOUND;
  }
  const int file = OpenProgramWithoutLinks(program);
  if (file < 0) {
    const UINT result = ResultForExecError(errno, program);
    SetLastError(result != 0 ? result : ERROR_NOT_ENOUGH_MEMORY);
    return result;
  }
  char* argv[3] = {const_cast<char*>(program), const_cast<char*>(argument), nullptr};
  const int outcome = Launch(argv, file);
  close(file);
  if (outcome == 0) return kStarted;
  const UINT result = ResultForExecError(outcome, program);
  SetLastError(result != 0 ? result : ERROR_NOT_ENOUGH_MEMORY);
  return result;
}
