// What an Apache child and the spawner say to each other over a SOCK_SEQPACKET socket: each message
// is one packet, a header and its payload. A thread of a child keeps its connection from one
// request to the next (it saves a connect and an accept a request); one program at a time.
//
//   child                                   spawner
//   kSpawn (order, strings)          ->
//                                    <-     kStarted (pid) | kStartFailed (errno) | kBusy
//                                    <-     kExited, when the program has ended (before kDone)
//   kDone (answered, result)         ->     (after kStarted; closing the connection without it
//                                            counts as a request that gave up)
//   ... the next kSpawn on the same connection: a kExited sent before the spawner read kDone may
//   still come first, and is passed over.
//                                    <-     kClosing, before the spawner closes a connection that
//                                           waits for an order (it is ending, or keeps too many):
//                                           an order sent on it was not read; send it again on a
//                                           new connection
//   kStatus                          ->
//                                    <-     kStatusText (the status page's lines; always one packet:
//                                           the spawner bounds what it lists)
//   A connection closed while its order waits for a slot: the order is dropped (its client left).
#ifndef KARVEL_HOST_SPAWNER_PROTOCOL_H
#define KARVEL_HOST_SPAWNER_PROTOCOL_H

#include <cstddef>
#include <cstdint>

enum SpawnMessage : uint32_t {
  kSpawn = 1,
  kStarted,
  kStartFailed,
  kBusy,
  kDone,
  kStatus,
  kStatusText,
  kExited,
  kClosing,
};

// Larger messages are refused: an order's strings are paths and a few environment variables.
constexpr size_t kSpawnMessageLimit = 64 * 1024;

struct SpawnHeader {
  uint32_t nType;
  uint32_t nLength;  // payload bytes behind the header
};

enum SpawnLimit { kLimitCpu, kLimitMemory, kLimitProcesses, kLimitCount };

// kSpawn's fixed part; behind it kSpawnStrings NUL-terminated strings, then nEnvironment more
// ("NAME=value"), the program's whole environment.
struct SpawnOrder {
  uint32_t nMaxBackends;           // programs that may run at once (0: no cap)
  uint32_t nQueueTimeoutMs;        // how long the order may wait for a slot before kBusy
  uint32_t nKillGraceMs;           // between SIGTERM and SIGKILL of a program given up on
  uint32_t bStopAbandoned;         // signal the program of a request that gave up
  int64_t nLimits[kLimitCount][2]; // soft and hard limit of each; -1 where none is set
  uint32_t bWine;                  // a Windows program may run under Wine (KarvelWine)
  uint32_t nEnvironment;
};

// The order's strings, in this order.
// kWindowsPaths: the site's KarvelWindowsPath lines, linked into the Wine prefix for its programs.
enum SpawnString { kProgram, kArgument, kLabel, kLogId, kExchangePath, kUploadDirectory, kWindowsPaths, kSpawnStrings };

// kStarted, kStartFailed, kExited: the process id, the errno of the failed start, the exit status.
struct SpawnReply {
  int32_t nValue;
  uint32_t bUnderWine;  // kStarted: the program runs under Wine
};

// kDone's payload: whether the program answered, then the result as text (NUL-terminated): "1",
// "2", "4", "99", "timeout", "client-gone", "exited"; the spawner counts any other as "other".
struct SpawnDone {
  uint32_t bAnswered;
};

#endif  // KARVEL_HOST_SPAWNER_PROTOCOL_H
