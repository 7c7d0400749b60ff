#include "gateway/backend_run.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "gateway/answer_reply.h"
#include "gateway/error_page.h"
#include "gateway/request_settings.h"
#include "isapi/karvel_host.h"
#include "platform/file_watch.h"
#include "platform/program_path.h"
#include "platform/regular_files.h"

namespace {

constexpr BYTE kAnsweredMark = '9';
// The result code a look gives an exchange file that is no regular file any more: no code an answer
// can write (its byte 1 is a digit), so none of the answer kinds.
constexpr BYTE kUnusableAnswer = 0;
constexpr int kMinuteChangesAllowed = 2;
// Between two looks at the exchange file the request waits for a change of the file (the
// back-end's rename or close), at most kWatchMilliseconds so that the clock and the client are
// looked at often enough; without file events it pauses kPollMilliseconds, short enough that a
// reply follows its answer at once, long enough that a waiting request costs next to nothing.
constexpr DWORD kWatchMilliseconds = 1000;
constexpr DWORD kPollMilliseconds = 2;
// A client that left is noticed within this much, and the wait given up.
constexpr DWORD kClientCheckMilliseconds = 1000;
// With file events the file is looked at when it changed, and besides at least this often.
constexpr DWORD kLookMilliseconds = 10000;
// A writer's close is told (IN_CLOSE_WRITE) a moment before the file stops counting as open for
// writing: a look in that moment finds it held, and no later event comes. A file found held is
// looked at again after this pause, doubled while it stays held, up to kHeldLookMaxMilliseconds.
constexpr DWORD kHeldLookMaxMilliseconds = 256;
// A program the host started is first waited for by its end, at most this long (see AnsweredByItsEnd).
constexpr DWORD kEndFirstMilliseconds = 20;
// A program under Wine: how often its end is asked after, and how long a marked answer may still be
// written before it is read anyway.
constexpr DWORD kWineWatchMilliseconds = 20;
constexpr DWORD kWineSettleMilliseconds = 2000;

// The program may have put anything in the exchange file's place: only a regular file is opened,
// and never with a wait (a FIFO's open would wait for a writer).
HANDLE OpenForPoll(LPCSTR exchangePath) { return OpenRegularFile(exchangePath, GENERIC_READ, FILE_SHARE_READ); }

enum LaunchOutcome { kStartedHere, kStartedByHost, kNotStarted, kHostBusy, kHostClientGone };

// The host starts the program where it offers to (its spawner); FALSE when it does not (IIS, or
// mod_karvel without its spawner configured). A host that offers it and has no spawner at the
// moment answers TRUE, busy: the program is then not started here either.
BOOL StartThroughHost(EXTENSION_CONTROL_BLOCK* ecb, const ExchangeRequest& request, LPCSTR program,
                      LPCSTR directory, LaunchOutcome* outcome, BOOL* underWine) {
  KARVEL_PROGRAM_START start{program, request.szExchangePath, directory, request.szUploadDirectory, 0, FALSE};
  if (!ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_KARVEL_START_PROGRAM, &start, nullptr, nullptr)) return FALSE;
  *underWine = start.bUnderWine;
  switch (start.dwOutcome) {
    case KARVEL_PROGRAM_STARTED: *outcome = kStartedByHost; return TRUE;
    case KARVEL_PROGRAM_NOT_STARTED: *outcome = kNotStarted; return TRUE;
    case KARVEL_SERVER_BUSY: *outcome = kHostBusy; return TRUE;
    case KARVEL_CLIENT_GONE: *outcome = kHostClientGone; return TRUE;
    default: return FALSE;  // a server that took the call without knowing it
  }
}

// Starts the program resolved inside the back-end directory: through the host where it offers to,
// else here, without a shell; the exchange file's path follows as the one argument.
LaunchOutcome Launch(EXTENSION_CONTROL_BLOCK* ecb, const ExchangeRequest& request, BOOL* underWine) {
  CHAR directory[MAX_PATH];
  CHAR program[MAX_PATH];
  LPCSTR exchangePath = request.szExchangePath;
  if (!RequestBackendDirectory(request, directory) ||
      !ResolveProgramInDirectory(directory, request.szBackendPath, program, MAX_PATH)) {
    return kNotStarted;
  }
  LaunchOutcome outcome = kNotStarted;
  if (StartThroughHost(ecb, request, program, directory, &outcome, underWine)) return outcome;
  // The file resolved is the file started: no directory on its way may have changed since.
  return StartResolvedProgram(program, exchangePath) >= 32 ? kStartedHere : kNotStarted;
}

// FALSE only when the server knows the client has left.
BOOL ClientConnected(EXTENSION_CONTROL_BLOCK* ecb) {
  BOOL connected = TRUE;
  if (!ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_IS_CONNECTED, &connected, nullptr, nullptr)) return TRUE;
  return connected;
}

// Tells a host that started the program how the wait ended; one that did not answer is stopped
// where the site says so.
void ReportWaitEnded(EXTENSION_CONTROL_BLOCK* ecb, BackendOutcome launch) {
  CHAR result[16];
  switch (launch) {
    case kTimedOut: lstrcpyA(result, "timeout"); break;
    case kClientGone: lstrcpyA(result, "client-gone"); break;
    case kExitedUnanswered: lstrcpyA(result, "exited"); break;
    default: wsprintfA(result, "%d", launch); break;
  }
  const bool answered = launch != kTimedOut && launch != kClientGone && launch != kExitedUnanswered;
  KARVEL_PROGRAM_DONE done{answered ? TRUE : FALSE, result};
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_KARVEL_PROGRAM_DONE, &done, nullptr, nullptr);
}

// One look at the exchange file: true when it is answered, with its result code and size;
// *held (where given) tells whether a writer held it open. With `keep`, an answered file stays
// open there for the reply, which then reads what was measured here. Something other than a
// regular file in its place (a FIFO, a device, a directory the program put there) is an answer
// too, an unusable one: kUnusableAnswer with an empty answer area, at once rather than at the
// time-out, since no later look would find more.
bool LookForAnswer(LPCSTR exchangePath, BYTE* resultCode, ULONGLONG* answerSize, bool* held = nullptr,
                   HANDLE* keep = nullptr) {
  HANDLE file = OpenForPoll(exchangePath);
  const DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  if (held != nullptr) *held = error == ERROR_SHARING_VIOLATION;
  if (error == ERROR_BAD_FILE_TYPE) {
    *resultCode = kUnusableAnswer;
    *answerSize = 4;
    return true;
  }
  // Held open by the back-end, or not there: look again later.
  if (file == INVALID_HANDLE_VALUE) return false;
  BYTE head[4] = {0, 0, 0, 0};
  DWORD read = 0;
  ReadFile(file, head, sizeof head, &read, nullptr);
  // A file of fewer than 2 bytes holds no result code: not answered.
  const bool answered = read >= 2 && head[0] == kAnsweredMark;
  if (answered) {
    *resultCode = head[1];
    // All 64 bits: the low 32 of an answer of 4 GiB and more tell nothing of its size.
    LONG high = 0;
    SetLastError(ERROR_SUCCESS);
    const DWORD low = SetFilePointer(file, 0, &high, FILE_END);
    const ULONGLONG size = (static_cast<ULONGLONG>(static_cast<DWORD>(high)) << 32) | low;
    // Shorter than 4 bytes (or not measurable): an empty answer area.
    *answerSize = (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS) || size < 4 ? 4 : size;
  }
  if (answered && keep != nullptr) {
    *keep = file;
  } else {
    CloseHandle(file);
  }
  return answered;
}

// FALSE only when the host says the program it started has ended.
BOOL ProgramRunning(EXTENSION_CONTROL_BLOCK* ecb) {
  DWORD state = KARVEL_PROGRAM_RUNNING;
  if (!ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_KARVEL_PROGRAM_STATE, &state, nullptr, nullptr)) return TRUE;
  return state != KARVEL_PROGRAM_EXITED;
}

// Most programs end a moment after they answer. For one the host started, its end (which the host
// tells) is waited for first, at most `wait` milliseconds, and the file looked at once: no watch
// is set, and none of its events wake the server (the answer's rename alone makes three). True
// when it answered; false when it runs on, ended unanswered (a program it started may still answer)
// or the host tells nothing, and the wait goes on watching the file.
bool AnsweredByItsEnd(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR exchangePath, DWORD wait, BYTE* resultCode,
                      ULONGLONG* answerSize, HANDLE* answer) {
  DWORD state = KARVEL_PROGRAM_RUNNING;
  if (!ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_KARVEL_PROGRAM_STATE, &state, &wait, nullptr)) return false;
  return LookForAnswer(exchangePath, resultCode, answerSize, nullptr, answer);
}

// A Wine program's answer is marked, but the program may still be writing it: waits for its end,
// at most kWineSettleMilliseconds, then measures the answer again.
void LetAnswerSettle(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR exchangePath, BYTE* resultCode, ULONGLONG* answerSize) {
  const DWORD marked = GetTickCount();
  while (ProgramRunning(ecb) && GetTickCount() - marked < kWineSettleMilliseconds) Sleep(kWineWatchMilliseconds);
  LookForAnswer(exchangePath, resultCode, answerSize);
}

BackendOutcome OutcomeOf(BYTE resultCode) {
  switch (resultCode) {
    case '1': return kAnsweredPage;
    case '2': return kAnsweredUrl;
    case '4': return kAnsweredFile;
    default: return kAnsweredOther;
  }
}

}  // namespace

BOOL RequestBackendDirectory(const ExchangeRequest& request, CHAR directory[MAX_PATH]) {
  if (request.szBackendDirectory[0] == '\0') return BackendDirectoryFor(nullptr, directory);
  lstrcpyA(directory, request.szBackendDirectory);
  return TRUE;
}

BackendOutcome RunBackend(EXTENSION_CONTROL_BLOCK* ecb, const ExchangeRequest& request, ULONGLONG* answerSize,
                          HANDLE* answer) {
  *answer = INVALID_HANDLE_VALUE;
  LPCSTR exchangePath = request.szExchangePath;
  BOOL underWine = FALSE;
  const LaunchOutcome launched = Launch(ecb, request, &underWine);
  if (launched == kNotStarted || launched == kHostBusy || launched == kHostClientGone) {
    return launched == kHostBusy ? kServerBusy : launched == kHostClientGone ? kClientGoneUnstarted : kLaunchFailed;
  }
  SYSTEMTIME now;
  GetLocalTime(&now);
  WORD minute = now.wMinute;
  int minuteChanges = 0;
  // A site's own time-out counts milliseconds of a clock that never goes back.
  const DWORD started = GetTickCount();
  const DWORD limit = request.nBackendTimeout >= 0 ? static_cast<DWORD>(request.nBackendTimeout) * 1000u : 0;
  DWORD clientChecked = started;
  BackendOutcome result = kTimedOut;
  BYTE endCode = 0;
  if (launched == kStartedByHost && !underWine &&
      AnsweredByItsEnd(ecb, exchangePath, request.nBackendTimeout >= 0 ? std::min(limit, kEndFirstMilliseconds)
                                                                       : kEndFirstMilliseconds,
                       &endCode, answerSize, answer)) {
    ReportWaitEnded(ecb, OutcomeOf(endCode));
    return OutcomeOf(endCode);
  }
  // The file is watched from here on, and looked at once: what changed before the watch began is
  // found by that look, what changes after it by the watch.
  HANDLE watch = BeginFileWatch(exchangePath);
  DWORD looked = GetTickCount();
  BOOL mayHaveChanged = TRUE;
  DWORD heldPause = 0;  // while the file is found held open: the pause before the next look
  for (;;) {
    if (request.nBackendTimeout >= 0) {
      if (GetTickCount() - started >= limit) break;
    } else {
      GetLocalTime(&now);
      if (now.wMinute != minute) {
        minute = now.wMinute;
        ++minuteChanges;
      }
      if (minuteChanges > kMinuteChangesAllowed) break;
    }
    BYTE resultCode = 0;
    if (mayHaveChanged || GetTickCount() - looked >= kLookMilliseconds) {
      looked = GetTickCount();
      bool held = false;
      // A Wine program's answer is measured again once it settles: the reply opens it anew.
      const bool answered = LookForAnswer(exchangePath, &resultCode, answerSize, &held, underWine ? nullptr : answer);
      heldPause = !held ? 0 : heldPause == 0 ? kPollMilliseconds : std::min(heldPause * 2, kHeldLookMaxMilliseconds);
      if (answered) {
        if (underWine) LetAnswerSettle(ecb, exchangePath, &resultCode, answerSize);
        result = OutcomeOf(resultCode);
        break;
      }
    }
    // A Wine program that ended without an answer gives none later (its last write came before
    // its end: one more look).
    if (underWine && !ProgramRunning(ecb)) {
      result = LookForAnswer(exchangePath, &resultCode, answerSize) ? OutcomeOf(resultCode) : kExitedUnanswered;
      break;
    }
    if (GetTickCount() - clientChecked >= kClientCheckMilliseconds) {
      clientChecked = GetTickCount();
      if (!ClientConnected(ecb)) {
        result = kClientGone;
        break;
      }
    }
    const DWORD longest = underWine ? kWineWatchMilliseconds : kWatchMilliseconds;
    const DWORD wait = heldPause != 0 ? std::min(heldPause, longest) : longest;
    mayHaveChanged = WaitForFileChange(watch, wait, kPollMilliseconds) || heldPause != 0;
  }
  EndFileWatch(watch);
  if (launched == kStartedByHost) ReportWaitEnded(ecb, result);
  return result;
}

DWORD ReplyToRequest(EXTENSION_CONTROL_BLOCK* ecb, const ExchangeRequest& request) {
  ULONGLONG answerSize = 4;
  HANDLE answer = INVALID_HANDLE_VALUE;
  const BackendOutcome launch = RunBackend(ecb, request, &answerSize, &answer);
  DWORD result = HSE_STATUS_ERROR;
  switch (launch) {
    case kLaunchFailed:
    case kServerBusy:
    case kExitedUnanswered:
      // No program received the request, or the one that did has ended: its uploads go with its
      // exchange file.
      DiscardExchangeFiles(request);
      return SendErrorPage(ecb, launch == kServerBusy ? ERROR_TEXT_BUSY : ERROR_TEXT_EXE_LOAD);
    case kClientGoneUnstarted:
      // Its program never ran: nobody uses its files, nobody waits for a reply.
      DiscardExchangeFiles(request);
      return HSE_STATUS_ERROR;
    case kTimedOut:
    case kClientGone:
      // The program may still be at work on its uploads; only the exchange file goes (a host that
      // stops the program removes the uploads once it has ended).
      DeleteFileA(request.szExchangePath);
      if (launch == kClientGone) return HSE_STATUS_ERROR;  // nobody to answer
      return SendErrorPage(ecb, ERROR_TEXT_TIME_OUT);
    case kAnsweredPage: result = ReplyWithPage(ecb, request.szExchangePath, answer, answerSize); break;
    case kAnsweredUrl: result = ReplyWithUrl(ecb, request.szExchangePath, answer, answerSize); break;
    case kAnsweredFile: result = ReplyWithFile(ecb, request.szExchangePath, answer, answerSize); break;
    case kAnsweredOther:
      // Any other result code, or no regular file to read: nothing is sent, the server answers 500.
      if (answer != INVALID_HANDLE_VALUE) CloseHandle(answer);
      break;
  }
  // An answered exchange file has served its purpose whatever became of the reply: sent, refused
  // ("Emage Error"), unusable, or cut short by a write that failed or a client that left. It goes
  // here, for every kind of answer. The uploads stay: they are the program's, which may still use them.
  DeleteFileA(request.szExchangePath);
  return result;
}
