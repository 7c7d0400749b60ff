#include "gateway/backend_run.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "gateway/answer_file.h"
#include "gateway/answer_reply.h"
#include "gateway/error_page.h"
#include "isapi/karvel_host.h"
#include "platform/file_watch.h"
#include "platform/program_path.h"

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

enum LaunchOutcome { kStartedHere, kStartedByHost, kNotStarted, kHostBusy, kHostClientGone };

// The host starts the program where it offers to (its spawner), told whether it runs under Wine;
// FALSE when it does not (IIS, or mod_karvel without its spawner configured). A host that offers
// it and has no spawner at the moment answers TRUE, busy: the program is then not started here
// either.
BOOL StartThroughHost(EXTENSION_CONTROL_BLOCK* ecb, const ExchangeRequest& request, LaunchOutcome* outcome) {
  KARVEL_PROGRAM_START start{request.szProgram, request.szExchangePath, request.settings.szBackendDirectory,
                             request.szUploadDirectory, 0, request.bUnderWine ? TRUE : FALSE};
  if (!ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_KARVEL_START_PROGRAM, &start, nullptr, nullptr)) return FALSE;
  switch (start.dwOutcome) {
    case KARVEL_PROGRAM_STARTED: *outcome = kStartedByHost; return TRUE;
    case KARVEL_PROGRAM_NOT_STARTED: *outcome = kNotStarted; return TRUE;
    case KARVEL_SERVER_BUSY: *outcome = kHostBusy; return TRUE;
    case KARVEL_CLIENT_GONE: *outcome = kHostClientGone; return TRUE;
    default: return FALSE;  // a server that took the call without knowing it
  }
}

// Starts the program resolved inside the back-end directory (none resolved: a failed start):
// through the host where it offers to, else here, without a shell; the exchange file's path
// follows as the one argument.
LaunchOutcome Launch(EXTENSION_CONTROL_BLOCK* ecb, const ExchangeRequest& request) {
  if (request.szProgram[0] == '\0') return kNotStarted;
  LaunchOutcome outcome = kNotStarted;
  if (StartThroughHost(ecb, request, &outcome)) return outcome;
  // The file resolved is the file started: no directory on its way may have changed since.
  return StartResolvedProgram(request.szProgram, request.szExchangePath) >= 32 ? kStartedHere : kNotStarted;
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
  HANDLE file = OpenAnswerFile(exchangePath);
  const DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  if (held != nullptr) *held = error == ERROR_SHARING_VIOLATION;
  if (error == ERROR_BAD_FILE_TYPE) {
    *resultCode = kUnusableAnswer;
    *answerSize = ANSWER_AREA_AT;
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
    ULONGLONG size = 0;
    // Shorter than 4 bytes (or not measurable): an empty answer area.
    *answerSize = !MeasureFile(file, &size) || size < ANSWER_AREA_AT ? ANSWER_AREA_AT : size;
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
  return state != KARVEL_PROGRAM_EXITED && state != KARVEL_PROGRAM_UNANSWERED;
}

// TRUE only when the host says the program that had the request gave no answer and none will
// come (a resident instance whose handler failed, or that ended mid-request): the wait need not
// go on to its time-out.
bool HostSaysNoAnswer(EXTENSION_CONTROL_BLOCK* ecb) {
  DWORD state = KARVEL_PROGRAM_RUNNING;
  return ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_KARVEL_PROGRAM_STATE, &state, nullptr, nullptr) &&
         state == KARVEL_PROGRAM_UNANSWERED;
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

// When a wait gives up: the site's time-out, counted in milliseconds of a clock that never goes
// back; without one, the third change of the local clock's minute.
struct WaitDeadline {
  bool bSiteTimeout;
  DWORD dwStarted;
  DWORD dwLimit;  // the site's time-out in milliseconds
  WORD wMinute;
  int nMinuteChanges;
};

void BeginDeadline(int64_t siteTimeout, WaitDeadline* deadline) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  deadline->wMinute = now.wMinute;
  deadline->nMinuteChanges = 0;
  deadline->bSiteTimeout = siteTimeout >= 0;
  deadline->dwStarted = GetTickCount();
  deadline->dwLimit = siteTimeout >= 0 ? TimeoutMilliseconds(siteTimeout) : 0;
}

bool DeadlinePassed(WaitDeadline* deadline) {
  if (deadline->bSiteTimeout) return GetTickCount() - deadline->dwStarted >= deadline->dwLimit;
  SYSTEMTIME now;
  GetLocalTime(&now);
  if (now.wMinute != deadline->wMinute) {
    deadline->wMinute = now.wMinute;
    ++deadline->nMinuteChanges;
  }
  return deadline->nMinuteChanges > kMinuteChangesAllowed;
}

// How long a wait may pause, at most `longest`, before the site's time-out: one shorter than a
// pause ends when it says, not at the end of the pause.
DWORD PauseBeforeDeadline(const WaitDeadline& deadline, DWORD longest) {
  if (!deadline.bSiteTimeout) return longest;
  const DWORD spent = GetTickCount() - deadline.dwStarted;
  return spent >= deadline.dwLimit ? 0 : std::min(longest, deadline.dwLimit - spent);
}

// A wait for the answer: the watch on the file, when it was last looked at, whether it may have
// changed since, and when the client was last asked after.
struct AnswerWait {
  EXTENSION_CONTROL_BLOCK* pEcb;
  LPCSTR szExchangePath;
  WaitDeadline deadline;
  HANDLE hWatch;
  DWORD dwLooked;
  BOOL bMayHaveChanged;
  DWORD dwHeldPause;  // while the file is found held open: the pause before the next look
  DWORD dwClientChecked;
  bool bHostStarted;  // the host started the program, and may say that no answer will come
};

// The file is watched from here on, and looked at once: what changed before the watch began is
// found by that look, what changes after it by the watch.
void BeginAnswerWait(EXTENSION_CONTROL_BLOCK* ecb, const ExchangeRequest& request, const WaitDeadline& deadline,
                     AnswerWait* wait) {
  wait->pEcb = ecb;
  wait->szExchangePath = request.szExchangePath;
  wait->deadline = deadline;
  wait->dwClientChecked = wait->deadline.dwStarted;
  wait->hWatch = BeginFileWatch(request.szExchangePath);
  wait->dwLooked = GetTickCount();
  wait->bMayHaveChanged = TRUE;
  wait->dwHeldPause = 0;
}

// The look, when one is due (the file may have changed, or kLookMilliseconds went by): true when
// it is answered. A file found held open is looked at again after a pause that doubles.
bool LookWhenDue(AnswerWait* wait, BYTE* resultCode, ULONGLONG* answerSize, HANDLE* keep) {
  if (!wait->bMayHaveChanged && GetTickCount() - wait->dwLooked < kLookMilliseconds) return false;
  wait->dwLooked = GetTickCount();
  bool held = false;
  const bool answered = LookForAnswer(wait->szExchangePath, resultCode, answerSize, &held, keep);
  wait->dwHeldPause = !held                    ? 0
                      : wait->dwHeldPause == 0 ? kPollMilliseconds
                                               : std::min(wait->dwHeldPause * 2, kHeldLookMaxMilliseconds);
  return answered;
}

// True when the server says the client has left, asked at most every kClientCheckMilliseconds.
bool ClientLeft(AnswerWait* wait) {
  if (GetTickCount() - wait->dwClientChecked < kClientCheckMilliseconds) return false;
  wait->dwClientChecked = GetTickCount();
  return !ClientConnected(wait->pEcb);
}

// Waits for a change of the file, at most `longest` milliseconds (less while it is held open).
void PauseForChange(AnswerWait* wait, DWORD longest) {
  const DWORD pause = wait->dwHeldPause != 0 ? std::min(wait->dwHeldPause, longest) : longest;
  wait->bMayHaveChanged = WaitForFileChange(wait->hWatch, pause, kPollMilliseconds) || wait->dwHeldPause != 0;
}

// The wait for a native program's answer: until the file is answered (it stays open in *answer),
// the deadline passes or the client leaves.
BackendOutcome WaitForAnswer(AnswerWait* wait, ULONGLONG* answerSize, HANDLE* answer) {
  for (;;) {
    if (DeadlinePassed(&wait->deadline)) return kTimedOut;
    BYTE resultCode = 0;
    if (LookWhenDue(wait, &resultCode, answerSize, answer)) return OutcomeOf(resultCode);
    if (wait->bHostStarted && HostSaysNoAnswer(wait->pEcb)) {
      // Its last write came before its word: one more look.
      return LookForAnswer(wait->szExchangePath, &resultCode, answerSize, nullptr, answer) ? OutcomeOf(resultCode)
                                                                                           : kExitedUnanswered;
    }
    if (ClientLeft(wait)) return kClientGone;
    PauseForChange(wait, PauseBeforeDeadline(wait->deadline, kWatchMilliseconds));
  }
}

// The wait for the answer of a Windows program under Wine. Linux readers see a file a Wine program
// still writes in place: a marked answer is read once the program has ended (LetAnswerSettle), and
// opened anew by the reply. The program's end is asked after every kWineWatchMilliseconds: one
// that ended without an answer gives none later (its last write came before its end: one more
// look), and the wait ends with kExitedUnanswered.
BackendOutcome WaitForWineAnswer(AnswerWait* wait, ULONGLONG* answerSize) {
  for (;;) {
    if (DeadlinePassed(&wait->deadline)) return kTimedOut;
    BYTE resultCode = 0;
    if (LookWhenDue(wait, &resultCode, answerSize, nullptr)) {
      LetAnswerSettle(wait->pEcb, wait->szExchangePath, &resultCode, answerSize);
      return OutcomeOf(resultCode);
    }
    if (!ProgramRunning(wait->pEcb)) {
      return LookForAnswer(wait->szExchangePath, &resultCode, answerSize) ? OutcomeOf(resultCode) : kExitedUnanswered;
    }
    if (ClientLeft(wait)) return kClientGone;
    PauseForChange(wait, kWineWatchMilliseconds);
  }
}

AnswerKind AnswerKindOf(BackendOutcome outcome) {
  switch (outcome) {
    case kAnsweredPage: return kPageAnswer;
    case kAnsweredUrl: return kUrlAnswer;
    case kAnsweredFile: return kFileAnswer;
    default: return kOtherAnswer;
  }
}

}  // namespace

DWORD TimeoutMilliseconds(int64_t milliseconds) {
  if (milliseconds <= 0) return 0;
  constexpr DWORD kLongestTickWait = 0xFFFFFFFFu;  // the most a difference of two ticks can tell
  return milliseconds < kLongestTickWait ? static_cast<DWORD>(milliseconds) : kLongestTickWait;
}

BackendOutcome RunBackend(EXTENSION_CONTROL_BLOCK* ecb, const ExchangeRequest& request, ULONGLONG* answerSize,
                          HANDLE* answer) {
  *answer = INVALID_HANDLE_VALUE;
  const LaunchOutcome launched = Launch(ecb, request);
  if (launched == kNotStarted || launched == kHostBusy || launched == kHostClientGone) {
    return launched == kHostBusy ? kServerBusy : launched == kHostClientGone ? kClientGoneUnstarted : kLaunchFailed;
  }
  // Only a program the host started runs under Wine: it is the host that runs it there.
  const bool underWine = launched == kStartedByHost && request.bUnderWine;
  const int64_t timeout = request.settings.nBackendTimeoutMs;
  // The deadline counts from the start, the first wait for the program's end included.
  WaitDeadline deadline{};
  BeginDeadline(timeout, &deadline);
  BYTE endCode = 0;
  if (launched == kStartedByHost && !underWine &&
      AnsweredByItsEnd(ecb, request.szExchangePath,
                       timeout >= 0 ? std::min(TimeoutMilliseconds(timeout), kEndFirstMilliseconds)
                                    : kEndFirstMilliseconds,
                       &endCode, answerSize, answer)) {
    ReportWaitEnded(ecb, OutcomeOf(endCode));
    return OutcomeOf(endCode);
  }
  AnswerWait wait{};
  BeginAnswerWait(ecb, request, deadline, &wait);
  wait.bHostStarted = launched == kStartedByHost;
  const BackendOutcome result = underWine ? WaitForWineAnswer(&wait, answerSize) : WaitForAnswer(&wait, answerSize, answer);
  EndFileWatch(wait.hWatch);
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
    case kExitedUnanswered: {
      // No program received the request, or the one that did has ended: its uploads go with its
      // exchange file.
      const DWORD error = GetLastError();
      DiscardExchangeFiles(request);
      // A program that never resolved failed as the driver found (not there, not allowed, none
      // named); one that resolved could not be started.
      const FailureKind kind = launch == kServerBusy          ? kFailureBusy
                               : launch == kExitedUnanswered  ? kFailureExited
                               : request.szProgram[0] == '\0' ? request.nProgramRefusal
                                                              : kFailureStartFailed;
      return SendFailurePage(ecb, RequestFailure{kind, launch == kServerBusy ? ERROR_TEXT_BUSY : ERROR_TEXT_EXE_LOAD,
                                                 FailedProgramName(request),
                                                 kind == kFailureStartFailed   ? error
                                                 : request.szProgram[0] == '\0' ? request.dwProgramError
                                                                                : 0,
                                                 request.settings.bHttpErrorStatus});
    }
    case kClientGoneUnstarted:
      // Its program never ran: nobody uses its files, nobody waits for a reply.
      DiscardExchangeFiles(request);
      return FailRequest(ecb, request, kFailureClientGone, nullptr);
    case kTimedOut:
    case kClientGone:
      // The program may still be at work on its uploads; only the exchange file goes (a host that
      // stops the program removes the uploads once it has ended).
      DeleteFileA(request.szExchangePath);
      if (launch == kClientGone) return FailRequest(ecb, request, kFailureClientGone, nullptr);  // nobody to answer
      return FailRequest(ecb, request, kFailureTimeOut, ERROR_TEXT_TIME_OUT);
    case kAnsweredPage:
    case kAnsweredUrl:
    case kAnsweredFile:
    case kAnsweredOther:
      result = ReplyWithAnswer(ecb, AnswerKindOf(launch), request, answer, answerSize);
      break;
  }
  // An answered exchange file has served its purpose whatever became of the reply: sent, refused
  // ("Emage Error"), unusable, or cut short by a write that failed or a client that left. It goes
  // here, for every kind of answer. The uploads stay: they are the program's, which may still use them.
  DeleteFileA(request.szExchangePath);
  return result;
}
