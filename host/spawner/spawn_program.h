// Starting one back-end program as the spawner does: its own session (so its whole process group
// can be signalled), a clean environment, Apache's resource limits, standard input and output on
// /dev/null and standard error into a pipe the spawner reads. Plain POSIX; no Apache.
#ifndef KARVEL_HOST_SPAWN_PROGRAM_H
#define KARVEL_HOST_SPAWN_PROGRAM_H

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "host/spawner/site_user.h"
#include "host/spawner/spawner_protocol.h"

struct ProgramStart {
  const char* program;       // absolute path
  const char* argument;      // its one argument
  char* const* environment;  // "NAME=value", null-terminated
  const int64_t (*limits)[2];  // kLimitCount pairs of soft and hard limit, -1 where none
  const char* loader = nullptr;    // absolute path of a loader run as `loader program argument`
                                   // (Wine for a Windows program); nullptr: the program itself
  const sigset_t* signalsToReset = nullptr;   // the caller's signals not at SIG_DFL (from
                                              // SignalsNotAtDefault); nullptr: every signal is reset
  bool checked = false;   // program was resolved and checked (a path without links): the file
                          // found there now without following a link is the one run, through its
                          // descriptor; a link on its way fails the start (ELOOP, ENOTDIR)
  // The site's user the program runs as (checked: the rules of ProgramRefusedFor, on the file that
  // runs); nullptr: the spawner's own user. A program the rules refuse fails with EACCES, the rule
  // in *refused.
  const SiteUser* user = nullptr;
  std::string* refused = nullptr;
  // Whether the site's rules apply to the program run as `user`: always for an order's program.
  // Off only for the spawner's own Wine commands run in the user's prefix (its wineserver), which
  // are the system's programs, not the site's, and need not be checked.
  bool siteRules = true;
  // A resident instance's end of its channel: it becomes the program's descriptor kResidentFd
  // (the one descriptor from 3 on that survives exec), and `argument` is not passed: the program
  // gets argv[0] alone. -1: a one-shot program, given its argument. Native programs only.
  int residentChannel = -1;
};

// The signals whose disposition in this process is not SIG_DFL: a program started with them in
// ProgramStart resets only those, rather than every signal, between fork and exec.
void SignalsNotAtDefault(sigset_t* signals);

// Starts the program; 0 with *pid and *stderrFd (the reading end, non-blocking, close-on-exec), or
// the errno of the failed start (fork, or exec in the child: a missing or unrunnable program), *pid
// then the id of the child that failed (reaped here, unless another waitpid took it first) or 0.
// With a null stderrFd the program's standard error goes to /dev/null. Any thread may call it.
int StartProgram(const ProgramStart& start, pid_t* pid, int* stderrFd);

// Tests only: `hook` runs in StartProgram once a checked program is opened, before its process is
// made (a test re-points the program's path there). nullptr: none.
void SetProgramOpenedHookForTests(void (*hook)(void* context), void* context);

// Runs `argv` (argv[0] an absolute path) as StartProgram does, output to /dev/null, as `user`
// (without the site's rules; nullptr: the caller's user), and waits up to `timeoutMs` for it to
// end: its exit status, or -1 when it could not start or did not end in time (it is then killed).
int RunToCompletion(const char* const* argv, char* const* environment, int timeoutMs, const SiteUser* user = nullptr);

// Signals the program's process group (its own session); false when it is gone already.
bool SignalProgram(pid_t pid, int signal);

// Removes a request's files: the exchange file and the upload directory with the files in it.
void RemoveRequestFiles(const char* exchangePath, const char* uploadDirectory);

#endif  // KARVEL_HOST_SPAWN_PROGRAM_H
