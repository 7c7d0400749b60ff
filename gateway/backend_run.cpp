#include "gateway/backend_run.h"

#include <cstdlib>
#include <cstring>

#include "gateway/answer_reply.h"
#include "gateway/error_page.h"
#include "gateway/request_settings.h"
#include "platform/file_watch.h"
#include "platform/program_path.h"

namespace {

constexpr BYTE kAnsweredMark = '9';
constexpr int kMinuteChangesAllowed = 2;
// Between two looks at the exchange file the request waits for a change in its directory (the
// back-end's rename or close), at most kWatchMilliseconds so that the clock is read often enough;
// without file events it pauses kPollMilliseconds, short enough that a reply follows its answer
// at once, long enough that a waiting request costs next to nothing.
constexpr DWORD kWatchMilliseconds = 50;
constexpr DWORD kPollMilliseconds = 2;

HANDLE OpenForPoll(LPCSTR exchangePath) {
  return CreateFileA(exchangePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_ARCHIVE,
                     nullptr);
}

// Starts the program resolved inside the back-end directory, quoted so that blanks in its path
// cannot make another program run; the exchange file's path follows as the one argument.
bool Launch(const ExchangeRequest& request) {
  CHAR directory[MAX_PATH];
  CHAR program[MAX_PATH];
  LPCSTR exchangePath = request.szExchangePath;
  if (!RequestBackendDirectory(request, directory) ||
      !ResolveProgramInDirectory(directory, request.szBackendPath, program, MAX_PATH)) {
    return false;
  }
  const size_t length = std::strlen(program) + std::strlen(exchangePath) + 4;
  CHAR* commandLine = static_cast<CHAR*>(HeapAlloc(GetProcessHeap(), 0, length));
  if (commandLine == nullptr) return false;
  lstrcpyA(commandLine, "\"");
  lstrcatA(commandLine, program);
  lstrcatA(commandLine, "\" ");
  lstrcatA(commandLine, exchangePath);
  const UINT started = WinExec(commandLine, SW_HIDE);
  HeapFree(GetProcessHeap(), 0, commandLine);
  return started >= 32;
}

// One look at the exchange file: true when it is answered, with its result code and size.
bool LookForAnswer(LPCSTR exchangePath, BYTE* resultCode, ULONGLONG* answerSize) {
  HANDLE file = OpenForPoll(exchangePath);
  if (file == INVALID_HANDLE_VALUE) {
    GetLastError();  // held open by the back-end, or not there: look again later
    return false;
  }
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
  CloseHandle(file);
  return answered;
}

int LaunchResultOf(BYTE resultCode) {
  switch (resultCode) {
    case '1': return 1;
    case '2': return 2;
    case '4': return 4;
    default: return LAUNCH_OTHER_RESULT;
  }
}

}  // namespace

BOOL RequestBackendDirectory(const ExchangeRequest& request, CHAR directory[MAX_PATH]) {
  if (request.szBackendDirectory[0] == '\0') return BackendDirectoryFor(nullptr, directory);
  lstrcpyA(directory, request.szBackendDirectory);
  return TRUE;
}

int RunBackEnd(const ExchangeRequest& request, ULONGLONG* answerSize) {
  LPCSTR exchangePath = request.szExchangePath;
  // Watching begins before the launch, so no change of the file can come unseen.
  HANDLE watch = BeginFileWatch(exchangePath);
  if (!Launch(request)) {
    EndFileWatch(watch);
    return LAUNCH_FAILED;
  }
  SYSTEMTIME now;
  GetLocalTime(&now);
  WORD minute = now.wMinute;
  int minuteChanges = 0;
  // A site's own time-out counts milliseconds of a clock that never goes back.
  const DWORD started = GetTickCount();
  const DWORD limit = request.nBackendTimeout >= 0 ? static_cast<DWORD>(request.nBackendTimeout) * 1000u : 0;
  int result = LAUNCH_TIMED_OUT;
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
    if (LookForAnswer(exchangePath, &resultCode, answerSize)) {
      result = LaunchResultOf(resultCode);
      break;
    }
    WaitForFileChange(watch, kWatchMilliseconds, kPollMilliseconds);
  }
  EndFileWatch(watch);
  return result;
}

DWORD ReplyToRequest(EXTENSION_CONTROL_BLOCK* ecb, const ExchangeRequest& request) {
  ULONGLONG answerSize = 4;
  const int launch = RunBackEnd(request, &answerSize);
  switch (launch) {
    case LAUNCH_FAILED:
      // No program received the request: its uploads go with its exchange file.
      DiscardExchangeFiles(request);
      return SendErrorPage(ecb, ERROR_TEXT_EXE_LOAD);
    case LAUNCH_TIMED_OUT:
      // The program may still be at work on its uploads; only the exchange file goes.
      DeleteFileA(request.szExchangePath);
      return SendErrorPage(ecb, ERROR_TEXT_TIME_OUT);
    case 1: return ReplyWithPage(ecb, request.szExchangePath, answerSize);
    case 2: return ReplyWithUrl(ecb, request.szExchangePath, answerSize);
    case 4: return ReplyWithFile(ecb, request.szExchangePath, answerSize);
    default: return HSE_STATUS_ERROR;  // any other result code: nothing is sent, the file stays
  }
}
