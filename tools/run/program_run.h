// The back-end program as karvel-run's host starts it (HSE_REQ_KARVEL_START_PROGRAM), as the
// server's spawner does: the exchange file's path its one argument, natively or under Wine, in a
// process group of its own so that a program that did not answer in time is stopped with its
// children. Its standard output goes to karvel-run's standard error: it must not mix with the reply.
#ifndef KARVEL_TOOLS_RUN_PROGRAM_RUN_H
#define KARVEL_TOOLS_RUN_PROGRAM_RUN_H

#include <string>
#include <sys/types.h>

#include "isapi/karvel_host.h"

struct ProgramRun {
  pid_t pid = -1;
  bool bExited = false;
  std::string uploadDirectory;  // the request's, as the extension named it
  std::string refusal;          // why it was not started, for karvel-run's own message
};

// How Windows programs run: the Wine loader and its prefix; an empty loader runs none.
struct WineRun {
  std::string loader;
  std::string prefix;
};

// Starts the program `start` names; fills start->dwOutcome. One program a request.
void StartProgram(KARVEL_PROGRAM_START* start, const WineRun& wine, ProgramRun* run);

// Whether it still runs, after waiting for its end at most `waitMs` milliseconds.
bool ProgramStillRuns(ProgramRun* run, DWORD waitMs);

// A program that did not answer is stopped, with the processes it started.
void StopProgram(ProgramRun* run);

// Until the program ends: karvel-run stopped by a signal (Ctrl-C, SIGTERM, SIGHUP) stops the
// program's group first. The program runs in a group of its own, which the terminal's Ctrl-C does
// not reach: without this it would run on, unwaited for.
void StopProgramWithKarvelRun();

#endif  // KARVEL_TOOLS_RUN_PROGRAM_RUN_H
