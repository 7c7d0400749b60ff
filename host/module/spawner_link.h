// mod_karvel's side of the spawner: starting it from Apache's parent, and what a request asks of it
// (start a program, say how the wait ended, the status).
#ifndef KARVEL_HOST_SPAWNER_LINK_H
#define KARVEL_HOST_SPAWNER_LINK_H

#include <httpd.h>

#include <string>

#include "isapi/karvel_host.h"

// How long a request waits for a program slot when KarvelQueueTimeout is not set (10 s).
constexpr int kDefaultQueueTimeoutMs = 10000;

// The server's supervision settings (KarvelMaxBackends, KarvelQueueTimeout), from the main server,
// and each site's share of the programs (a virtual host's KarvelMaxBackends).
struct SpawnerSettings {
  int nMaxBackends;         // 0: no cap
  int nQueueTimeoutMs;
  int bOn;                  // KarvelSpawner: off leaves starting programs to the extension
  const char* szWinePrefix; // KarvelWinePrefix: the server user's Wine prefix
  const int* pSiteMaxBackends;  // by the site's place in the server's list; 0: no cap of its own
  int nSites;                   // entries of pSiteMaxBackends
};

struct StatusBoard;

// A site as an order names it beside its place in the server's list: where its <VirtualHost>
// section begins and its name.
std::string SiteKey(const server_rec* site);

// post_config, in the parent: starts the spawner (again after a restart; the one before finishes
// what it serves and ends, watched by the parent until it has). The spawner shows what it runs on
// `board` (null: nowhere). OK, or an HTTP error that stops the start.
int StartSpawner(apr_pool_t* pconf, server_rec* server, const SpawnerSettings& settings, StatusBoard* board);

// One request's program, while the request waits for it.
// Room for a resident instance's reason for no answer (the protocol's kResidentReasonLimit) and its NUL.
constexpr size_t kNoAnswerReasonRoom = 201;

struct LentRun;

struct ProgramRun {
  int nSocket;            // the connection to the spawner; -1 when there is none (and for a lent
                          // instance's request, pLent)
  int nChannel;           // a resident instance's channel, lent with kStarted: its word is read
                          // there; -1 for any other program, and once the spawner was told
  apr_time_t tStartedAt;
  bool bExited;           // the spawner said the program has ended (a resident one: gave its word)
  bool bNoAnswer;         // ... and a resident instance said no answer will come
  char cWord;             // the word read on nChannel (kResidentAnswered, kResidentNoAnswer,
                          // kResidentChannelEnded), told in kDone; 0 before one
  char szNoAnswerReason[kNoAnswerReasonRoom];  // with kResidentNoAnswer: the instance's reason
  bool bFailureLogged;    // the request's failure has its line in the log already (the spawner's
                          // refusal, or no spawner in time)
  LentRun* pLent;         // a lent instance this child took for the request itself (nChannel is its
                          // kept channel); nullptr for any other program
};

// Whether the request has its program (one a request).
inline bool ProgramRunning(const ProgramRun& run) { return run.nSocket >= 0 || run.pLent != nullptr; }

// The request's log id, as %L in the logs shows it; made now when no log line has needed it yet.
const char* RequestLogId(request_rec* r);

// HSE_REQ_KARVEL_START_PROGRAM: asks the spawner to start the program with the site's environment
// and limits; waits for a slot when the cap is full, and for the spawner when there is none at the
// moment (KARVEL_SERVER_BUSY once the queue's time-out passed), watching the client meanwhile
// (KARVEL_CLIENT_GONE once it left). FALSE (and the extension starts the program itself) only with
// KarvelSpawner off. Sets the request notes karvel-backend and, for a program that did not run,
// karvel-result.
BOOL StartProgramForRequest(request_rec* r, KARVEL_PROGRAM_START* start, ProgramRun* run);

// HSE_REQ_KARVEL_PROGRAM_DONE: tells the spawner how the wait ended (a program that did not answer
// is stopped where the site says so) and notes karvel-result and karvel-wait-ms.
BOOL ReportProgramDone(request_rec* r, const KARVEL_PROGRAM_DONE* done, ProgramRun* run);

// HSE_REQ_KARVEL_PROGRAM_STATE: whether the program still runs (the spawner says when it ends,
// and a resident instance's word on the request: answered, or KARVEL_PROGRAM_UNANSWERED), after
// waiting for that at most *waitMilliseconds where that is given.
BOOL ProgramState(ProgramRun* run, DWORD* state, const DWORD* waitMilliseconds);

// Ends a run the extension left without saying how (the request is over).
void EndProgramRun(request_rec* r, ProgramRun* run);

// The server's Wine prefix (KarvelWinePrefix or its default); Windows programs run there only
// through the spawner, so nullptr without one.
const char* WinePrefixInUse();

// Whether this server starts its programs through a spawner (KarvelSpawner on and it was started).
bool SpawnerConfigured();

// The spawner's status lines ("Running: 3" ...), in `pool`; nullptr when there is no spawner.
const char* SpawnerStatus(apr_pool_t* pool);

#endif  // KARVEL_HOST_SPAWNER_LINK_H
