// WinExec: starts a program from a Win32-style command line, detached, without a shell.
//
// The program gets argv = {program, rest-of-line} so that whatever a request put into the command
// line reaches it as one argument and is never interpreted. Everything the children need is
// allocated before fork: after fork in a multithreaded process only async-signal-safe calls are
// allowed until exec.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/posix_internal.h"
#include "platform/win32.h"

extern char** environ;

namespace {

// WinExec's success value; anything above 31 means success to its callers.
constexpr UINT kStarted = 33;
// What the intermediate child reports when it could not fork the program's process.
constexpr int kForkFailed = -1;

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

// Writes the whole of `value` to `fd` (a pipe, so at most one short write in practice).
void ReportToParent(int fd, int value) {
  const char* bytes = reinterpret_cast<const char*>(&value);
  size_t done = 0;
  while (done < sizeof value) {
    ssize_t n = write(fd, bytes + done, sizeof value - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Runs in the grandchild: becomes a program of its own and never returns.
[[noreturn]] void BecomeProgram(char* const argv[], int reportFd, long maxFd) {
  // Its own session: the server's terminal signals and process-group kills are not its business.
  setsid();
  // Signal state survives exec; the program should start as if launched fresh, not with the
  // server's blocked or ignored signals (a server typically ignores SIGPIPE).
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction standard;
  std::memset(&standard, 0, sizeof standard);
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &standard, nullptr);
  }
  // Standard input comes from /dev/null: a program must not read the server's input.
  const int nothing = open("/dev/null", O_RDONLY);
  if (nothing > 0) {
    dup2(nothing, STDIN_FILENO);
    close(nothing);
  }
  // The server's sockets and files must not leak into back-end programs; stdio stays. The report
  // pipe is already close-on-exec, so it stays usable until exec succeeds.
  bool marked = false;
#ifdef CLOSE_RANGE_CLOEXEC
  marked = close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0;
#endif
  if (!marked) {
    for (long fd = 3; fd < maxFd; ++fd) {
      if (fd != reportFd) close(static_cast<int>(fd));
    }
  }
  execve(argv[0], argv, environ);
  ReportToParent(reportFd, errno);
  _exit(127);
}

// Starts argv[0] detached; returns 0 when it was started, else the exec errno, or kForkFailed.
int Launch(char* const argv[]) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return kForkFailed;
  long maxFd = sysconf(_SC_OPEN_MAX);
  if (maxFd < 0 || maxFd > 65536) maxFd = 65536;

  pid_t intermediate = fork();
  if (intermediate < 0) {
    close(report[0]);
    close(report[1]);
    return kForkFailed;
  }
  if (intermediate == 0) {
    // The intermediate child exits at once, so the program is adopted by init and the caller
    // never has to reap it.
    close(report[0]);
    pid_t program = fork();
    if (program == 0) BecomeProgram(argv, report[1], maxFd);
    if (program < 0) ReportToParent(report[1], kForkFailed);
    _exit(program < 0 ? 1 : 0);
  }

  close(report[1]);
  int status = 0;
  while (waitpid(intermediate, &status, 0) < 0 && errno == EINTR) {
  }
  // End of file without a word means exec succeeded (the close-on-exec pipe closed).
  int outcome = 0;
  char* bytes = reinterpret_cast<char*>(&outcome);
  size_t got = 0;
  while (got < sizeof outcome) {
    ssize_t n = read(report[0], bytes + got, sizeof outcome - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(report[0]);
  if (got == 0) return 0;
  if (got < sizeof outcome) return kForkFailed;
  return outcome;
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
  if (outcome == kForkFailed) {
    result = 0;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  } else if (outcome != 0) {
    result = ResultForExecError(outcome, program);
    SetLastError(result != 0 ? result : ERROR_NOT_ENOUGH_MEMORY);
  }
  std::free(program);
  return result;
}
