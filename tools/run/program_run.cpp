#include "tools/run/program_run.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

volatile sig_atomic_t g_programGroup = 0;  // the running program's group, 0 when none

void StopGroupAndDie(int signal) {
  if (g_programGroup > 0) kill(-g_programGroup, SIGKILL);
  std::signal(signal, SIG_DFL);
  raise(signal);
}

// A Windows program ("MZ"): it runs under Wine or not at all.
bool IsWindowsProgram(const char* path) {
  const int file = open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  char head[2] = {0, 0};
  const bool windows = read(file, head, 2) == 2 && head[0] == 'M' && head[1] == 'Z';
  close(file);
  return windows;
}

// karvel-run's environment, with WINEPREFIX set for a program under Wine.
std::vector<std::string> ProgramEnvironment(const WineRun& wine, bool underWine) {
  std::vector<std::string> out;
  for (char** at = environ; *at != nullptr; ++at) {
    if (underWine && std::strncmp(*at, "WINEPREFIX=", 11) == 0) continue;
    out.emplace_back(*at);
  }
  if (underWine) out.push_back("WINEPREFIX=" + wine.prefix);
  return out;
}

bool Reaped(ProgramRun* run) {
  int status = 0;
  pid_t got;
  do {
    got = waitpid(run->pid, &status, WNOHANG);
  } while (got < 0 && errno == EINTR);
  if (got == run->pid || (got < 0 && errno == ECHILD)) run->bExited = true;
  if (run->bExited) g_programGroup = 0;
  return run->bExited;
}

}  // namespace

void StartProgram(KARVEL_PROGRAM_START* start, const WineRun& wine, ProgramRun* run) {
  start->dwOutcome = KARVEL_PROGRAM_NOT_STARTED;
  if (run->pid > 0 || start->pszProgram == nullptr || start->pszArgument == nullptr) return;
  if (start->pszUploadDirectory != nullptr) run->uploadDirectory = start->pszUploadDirectory;
  const bool underWine = start->bUnderWine != FALSE;
  if (underWine && wine.loader.empty()) {
    run->refusal = "the extension runs it under Wine, but Wine is not on (--wine)";
    return;
  }
  if (!underWine && IsWindowsProgram(start->pszProgram)) {
    run->refusal = "it is a Windows program: give --wine to run it under Wine";
    return;
  }
  std::vector<const char*> argv;
  if (underWine) argv.push_back(wine.loader.c_str());
  argv.push_back(start->pszProgram);
  argv.push_back(start->pszArgument);
  argv.push_back(nullptr);
  const std::vector<std::string> environment = ProgramEnvironment(wine, underWine);
  std::vector<char*> envp;
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_init(&actions);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, argv[0], &actions, &attributes, const_cast<char* const*>(argv.data()), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failed != 0) {
    run->refusal = std::string("it could not be started: ") + std::strerror(failed);
    return;
  }
  run->pid = pid;
  g_programGroup = pid;
  start->dwOutcome = KARVEL_PROGRAM_STARTED;
}

bool ProgramStillRuns(ProgramRun* run, DWORD waitMs) {
  if (run->pid <= 0 || run->bExited || Reaped(run)) return false;
  if (waitMs == 0) return true;
  // The program's end wakes the wait at once where the kernel offers a process descriptor.
  const int process = static_cast<int>(syscall(SYS_pidfd_open, run->pid, 0));
  if (process >= 0) {
    pollfd watched{process, POLLIN, 0};
    while (poll(&watched, 1, static_cast<int>(waitMs > 0x7FFFFFFF ? 0x7FFFFFFF : waitMs)) < 0 && errno == EINTR) {
    }
    close(process);
  } else {
    for (DWORD waited = 0; waited < waitMs && !Reaped(run); ++waited) usleep(1000);
  }
  return !Reaped(run);
}

void StopProgram(ProgramRun* run) {
  if (run->pid <= 0 || run->bExited) return;
  kill(-run->pid, SIGKILL);
  int status = 0;
  while (waitpid(run->pid, &status, 0) < 0 && errno == EINTR) {
  }
  run->bExited = true;
  g_programGroup = 0;
}

void StopProgramWithKarvelRun() {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(signal, StopGroupAndDie);
}
