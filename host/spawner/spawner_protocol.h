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
//
// An order for a resident program (resident.instances != 0) is handed to an idle instance of its
// pool (or one started for it): the spawner sends the instance the request ('R', below), and
// kStarted names the instance's pid and carries a copy of the spawner's end of the instance's
// channel (SCM_RIGHTS). The request reads the instance's word there itself, without the spawner
// in between, and tells it in its kDone (SpawnDone.word, with the reason of an 'E'); it closes
// its copy then. The spawner does not read the channel meanwhile. Should the instance end before
// its word, the request sees its channel end; the spawner, seeing the same, may also send
//                                    <-     kUnanswered: the instance ended: no answer will come
//   A kUnanswered (or kAnswered, which no spawner sends now) may still come after a kDone sent
//   first, before the next kStarted, and is passed over there.
// Such a kStarted (SpawnInstanceStarted) also names the instance's entry in the spawner's table of
// lent instances (lent_instances.h), and carries, after the channel, the spawner's lent line and
// a copy of the instance's standard error (read end). A child keeps copies of all three and takes
// the instance, while the table shows it idle, for a later request of the same pool itself: it
// sends 'R' and reads the word, and gives the instance back. A request of a lent instance that
// ends otherwise (no answer, the channel's end, a time-out, its client gone), after which the
// instance is due to retire, whose instance wrote to its standard error, or while the spawner
// wants the instance back, is handed over to the spawner instead, on the lent line (one socket
// the spawner reads, whose other end every child holds):
//   kLentDone (instance, entry, request, then kDone's payload) ->   (no reply)
//
// The spawner and a resident instance: the instance is started with argv[0] alone and the
// variable KARVEL_RESIDENT_FD=3; descriptor 3 is its end of an AF_UNIX SOCK_SEQPACKET socketpair.
// Spawner -> instance, one packet a request: 'R' and the exchange file's absolute path (no NUL,
// at most kResidentPathLimit bytes). The instance answers the file as a one-shot run does (the
// answer in the file, its mark last) and sends 'D'; when it has no answer it writes nothing
// to the file, says why on its standard error and sends 'E' and a reason of at most
// kResidentReasonLimit bytes. End of file (or an empty packet) on the channel: it finishes and
// exits 0. It keeps nothing of a request (no upload open) once it has sent its word.
#ifndef KARVEL_HOST_SPAWNER_PROTOCOL_H
#define KARVEL_HOST_SPAWNER_PROTOCOL_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
  kAnswered,
  kUnanswered,
  kLentDone,
};

// The resident channel's bounds and words (see above).
constexpr size_t kResidentPathLimit = 4095;
constexpr size_t kResidentReasonLimit = 200;
constexpr char kResidentRequest = 'R';
constexpr char kResidentAnswered = 'D';
constexpr char kResidentNoAnswer = 'E';
constexpr const char* kResidentFdVariable = "KARVEL_RESIDENT_FD=3";
constexpr int kResidentFd = 3;

// Larger messages are refused: an order's strings are paths and a few environment variables.
constexpr size_t kSpawnMessageLimit = 64 * 1024;

struct SpawnHeader {
  uint32_t type;
  uint32_t length;  // payload bytes behind the header
};

enum SpawnLimit { kLimitCpu, kLimitMemory, kLimitProcesses, kLimitCount };

// kSpawn's fixed part; behind it kSpawnStrings NUL-terminated strings, then environmentCount more
// ("NAME=value"), the program's whole environment.
struct SpawnOrder {
  uint32_t maxBackends;            // programs that may run at once (0: no cap)
  uint32_t queueTimeoutMs;         // how long the order may wait for a slot before kBusy
  uint32_t killGraceMs;            // between SIGTERM and SIGKILL of a program given up on
  uint32_t stopAbandoned;          // signal the program of a request that gave up
  int64_t limits[kLimitCount][2];  // soft and hard limit of each; -1 where none is set
  uint32_t wine;                   // the site runs Windows programs under Wine (KarvelWine)
  uint32_t underWine;              // the extension runs this program as a Windows program under
                                   // Wine; the spawner checks it against the program file
  uint32_t environmentCount;
  // Where the lines about this program go: the request's site, by its place in the server's list
  // of sites (0: the main server; kSiteName names it, so that the spawner can check it against
  // the list it knows), and the level its standard error is logged at (KarvelStderrLogLevel, one
  // of Apache's level numbers, at most kLogLevelHighest).
  uint32_t site;
  uint32_t stderrLevel;
  // Programs of the order's site (by site and kSiteName together) that may run at once, within
  // maxBackends (0: the site has no cap of its own).
  uint32_t siteMaxBackends;
  // Where the site's KarvelResident names the program: its pool's bounds. instances 0: the program
  // runs once for this request, as any; else at most that many instances of it serve the site,
  // each retired after maxRequests requests (0: never) or idleSeconds without one (0: never).
  // answerWaitMs: how long the request waits for its answer (the site's back-end time-out), the
  // most an instance may take over a request whose client left before it is stopped.
  uint32_t residentInstances;
  uint32_t residentMaxRequests;
  uint32_t residentIdleSeconds;
  uint32_t answerWaitMs;
};
// The record goes over the socket as it lies in memory (both ends are one build): no padding in it.
static_assert(sizeof(SpawnOrder) == 104, "SpawnOrder's layout is the order's fixed part");

// Apache's log levels by number, as the spawner names them without Apache's headers (the module
// checks that they agree): a program's start refused is a warning of its site's; trace8 is the last.
constexpr uint32_t kLogLevelError = 3;
constexpr uint32_t kLogLevelWarning = 4;
constexpr uint32_t kLogLevelHighest = 15;

// The order's strings, in this order.
// kArgument: the program's one argument, the request's exchange file (removed with kUploadDirectory
// when the request gives up).
// kWindowsPaths: the site's KarvelWindowsPath lines, linked into the Wine prefix for its programs.
// kClient: the request's client, "ADDR:PORT", as Apache's log lines show it ("" when there is none).
// kSiteName: the site that fixed.site counts to, as the module names it (SiteKey).
enum SpawnString { kProgram, kArgument, kLabel, kLogId, kUploadDirectory, kWindowsPaths, kClient, kSiteName,
                   kSpawnStrings };

// kStarted, kStartFailed, kExited: the process id, the errno of the failed start, the exit status.
struct SpawnReply {
  int32_t value;
};

// kDone's payload: whether the program answered, and for a resident instance the word the request
// read on its channel (kResidentAnswered, kResidentNoAnswer, kResidentChannelEnded; 0: none read);
// then the result as text (NUL-terminated): "1", "2", "4", "99", "timeout", "client-gone",
// "exited" (the spawner counts any other as "other"), and the reason of a kResidentNoAnswer
// (NUL-terminated, at most kResidentReasonLimit bytes; empty for any other word).
struct SpawnDone {
  uint32_t answered;
  uint32_t word;
};
// kStarted's payload for a resident instance: its pid, its entry in the table of lent instances
// (-1: none, it is never lent) and its id there.
struct SpawnInstanceStarted {
  int32_t pid;
  int32_t entry;
  uint64_t instance;
};
static_assert(sizeof(SpawnInstanceStarted) == 16, "SpawnInstanceStarted goes as it lies in memory");

// kLentDone's fixed part; behind it the request's log id, client, exchange file and upload
// directory (NUL-terminated), then the payload kDone would carry.
struct SpawnLent {
  uint64_t instance;
  uint32_t entry;
  uint32_t answerWaitMs;
};
static_assert(sizeof(SpawnLent) == 16, "SpawnLent goes as it lies in memory");

// SpawnDone.word for a channel that ended (or said what the channel does not know) before a word.
constexpr char kResidentChannelEnded = 'X';
// SpawnDone.word (kLentDone only) for a lent instance that had said something before it was given
// a request: it is stopped, and the request goes as a kSpawn.
constexpr char kResidentSpokeUnasked = 'U';

// The codec both ends use: what goes into a packet and what comes out of one. Each decoder
// refuses (false) a payload that is not exactly what its encoder makes.

// An order as both ends hold it: the fixed part, its strings, the program's environment.
struct SpawnOrderText {
  SpawnOrder fixed{};
  std::string strings[kSpawnStrings];
  std::vector<std::string> environment;  // "NAME=value"
};

// Sets `variable` ("NAME=value") in an order's environment: it replaces the variable of that name,
// or is added at the end.
void SetOrderVariable(std::vector<std::string>* environment, const std::string& variable);

// The kSpawn payload (fixed.environmentCount is set from the environment's size); false when a string
// holds a NUL, the log level is none of Apache's, or the payload would exceed kSpawnMessageLimit.
bool EncodeOrder(const SpawnOrderText& order, std::string* payload);
bool DecodeOrder(const char* payload, size_t length, SpawnOrderText* order);

std::string EncodeReply(int32_t value);
bool DecodeReply(const char* payload, size_t length, int32_t* value);

// The kDone payload; the result ends at its first NUL, the reason is cut to kResidentReasonLimit.
// DecodeDone refuses a word that is none of SpawnDone's.
std::string EncodeDone(bool answered, const char* result, char word = 0, const std::string& reason = "");
bool DecodeDone(const char* payload, size_t length, bool* answered, std::string* result, char* word = nullptr,
                std::string* reason = nullptr);

std::string EncodeInstanceStarted(const SpawnInstanceStarted& started);
bool DecodeInstanceStarted(const char* payload, size_t length, SpawnInstanceStarted* started);

// A lent instance's request as the child hands it to the spawner.
struct LentRequest {
  SpawnLent fixed{};
  std::string logId, client, exchangePath, uploadDirectory;
  bool answered = false;
  std::string result;
  char word = 0;
  std::string reason;
};
// False when a string holds a NUL or the payload would exceed kSpawnMessageLimit.
bool EncodeLentDone(const LentRequest& request, std::string* payload);
bool DecodeLentDone(const char* payload, size_t length, LentRequest* request);

// What a resident instance said on its channel: its request answered, no answer (and why),
// nothing yet, or an end of the channel (closed, failed, or a packet the channel does not know:
// the instance is no good).
enum InstanceWord { kWordAnswered, kWordNoAnswer, kWordNothingYet, kWordEnded };

// One word from the instance on `channel`, without waiting. With kWordNoAnswer, *reason is the
// instance's text, at most kResidentReasonLimit bytes, control characters shown as '?'.
InstanceWord ReadInstanceWord(int channel, std::string* reason);

// Framing: one packet, its header and the payload, sent whole (a signal does not cut it short;
// a closed peer is no SIGPIPE). False when it was not sent whole.
// `flags` go to send (MSG_DONTWAIT: false rather than wait for room).
bool SendPacket(int fd, uint32_t type, const void* payload, size_t length, int flags = 0);
inline bool SendPacket(int fd, uint32_t type, const std::string& payload) {
  return SendPacket(fd, type, payload.data(), payload.size());
}
// The same, with copies of `count` descriptors passed along (SCM_RIGHTS), at most kPassedLimit.
constexpr size_t kPassedLimit = 4;
bool SendPacketWithDescriptors(int fd, uint32_t type, const std::string& payload, const int* descriptors, size_t count);
inline bool SendPacketWithDescriptor(int fd, uint32_t type, const std::string& payload, int descriptor) {
  return SendPacketWithDescriptors(fd, type, payload, &descriptor, 1);
}

// The bytes of one send or receive with descriptors passed along (SCM_RIGHTS), whatever they
// frame. SendWithDescriptors: false when they did not go whole. ReceiveWithDescriptors: recv's
// result; descriptors[0..count) those that came, in order, close-on-exec (-1 where none came;
// any more closed).
bool SendWithDescriptors(int fd, const void* bytes, size_t length, const int* descriptors, size_t count);
ssize_t ReceiveWithDescriptors(int fd, void* buffer, size_t size, int flags, int* descriptors, size_t count);
inline bool SendWithDescriptor(int fd, const void* bytes, size_t length, int descriptor) {
  return SendWithDescriptors(fd, bytes, length, &descriptor, 1);
}
inline ssize_t ReceiveWithDescriptor(int fd, void* buffer, size_t size, int flags, int* descriptor) {
  return ReceiveWithDescriptors(fd, buffer, size, flags, descriptor, 1);
}

// The bytes a buffer needs for any packet.
constexpr size_t kSpawnPacketLimit = sizeof(SpawnHeader) + kSpawnMessageLimit;

// ReceivePacket's words for no packet: the connection ended, failed or sent a packet that is not
// whole (kNoPacket); nothing there yet, asked with MSG_DONTWAIT (kNoPacketYet).
constexpr uint32_t kNoPacket = 0;
constexpr uint32_t kNoPacketYet = 0xFFFFFFFEu;

// One packet read into `buffer` (`size` bytes, kSpawnPacketLimit for any): its type, *payload and
// *length pointing into the buffer. `flags` go to recv; `readPastReset`: an ECONNRESET (a peer that
// closed with our packet unread) is read past, to the packets it sent before it closed. With
// `descriptor`, a descriptor passed with the packet is put there (close-on-exec; -1: none came);
// without it, any passed descriptor is closed unseen; `descriptor` may be an array of `count`.
uint32_t ReceivePacket(int fd, char* buffer, size_t size, const char** payload, size_t* length, int flags = 0,
                       bool readPastReset = false, int* descriptor = nullptr, size_t count = 1);

#endif  // KARVEL_HOST_SPAWNER_PROTOCOL_H
