#include "gateway/backend_run.h"

#include <cstdlib>
#include <cstring>

#include "gateway/error_page.h"
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
// URL answers longer than this are answered like an unreadable answer: an empty URL.
constexpr DWORD kUrlLimit = 8192;

HANDLE OpenForPoll(LPCSTR exchangePath) {
  return CreateFileA(exchangePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_ARCHIVE,
                     nullptr);
}

// Starts the program resolved inside the back-end directory, quoted so that blanks in its path
// cannot make another program run; the exchange file's path follows as the one argument.
bool Launch(LPCSTR backendPath, LPCSTR exchangePath) {
  CHAR directory[MAX_PATH];
  CHAR program[MAX_PATH];
  if (!GetBackendDirectory(directory) || !ResolveProgramInDirectory(directory, backendPath, program, MAX_PATH)) {
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
bool LookForAnswer(LPCSTR exchangePath, BYTE* resultCode, DWORD* answerSize) {
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
    const DWORD size = SetFilePointer(file, 0, nullptr, FILE_END);
    // Shorter than 4 bytes: an empty answer area.
    *answerSize = size < 4 ? 4 : size;
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

DWORD ReplyWithPage(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR exchangePath, DWORD answerSize) {
  CHAR* answer = static_cast<CHAR*>(HeapAlloc(GetProcessHeap(), 0, answerSize + 1));
  if (answer == nullptr) return SendErrorPage(ecb, ERROR_TEXT_TEMP_WRITE);
  ReadAnswer(exchangePath, answer, answerSize);
  CHAR status[] = "200 Ok";
  ecb->dwHttpStatusCode = 200;
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, status, nullptr,
                             reinterpret_cast<LPDWORD>(answer));
  HeapFree(GetProcessHeap(), 0, answer);
  DeleteFileA(exchangePath);
  return HSE_STATUS_SUCCESS;
}

DWORD ReplyWithUrl(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR exchangePath, DWORD answerSize) {
  CHAR empty[1] = {'\0'};
  CHAR* url = answerSize - 4 <= kUrlLimit ? static_cast<CHAR*>(HeapAlloc(GetProcessHeap(), 0, answerSize + 1)) : nullptr;
  if (url != nullptr) ReadAnswer(exchangePath, url, answerSize);
  CHAR* text = url != nullptr ? url : empty;
  DeleteFileA(exchangePath);
  DWORD size = static_cast<DWORD>(std::strlen(text) + 1);
  // A path on this server is delivered by the server itself; anything else is a redirection.
  const DWORD request = text[0] == '/' ? HSE_REQ_SEND_URL : HSE_REQ_SEND_URL_REDIRECT_RESP;
  ecb->ServerSupportFunction(ecb->ConnID, request, text, &size, nullptr);
  if (url != nullptr) HeapFree(GetProcessHeap(), 0, url);
  return HSE_STATUS_SUCCESS;
}

// The bytes of the file the answer names, sent as they are: no status line, no header.
DWORD ReplyWithFile(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR exchangePath, DWORD answerSize) {
  CHAR* path = static_cast<CHAR*>(HeapAlloc(GetProcessHeap(), 0, answerSize + 1));
  if (path == nullptr) return SendErrorPage(ecb, ERROR_TEXT_TEMP_WRITE);
  ReadAnswer(exchangePath, path, answerSize);
  HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_ARCHIVE, nullptr);
  HeapFree(GetProcessHeap(), 0, path);
  if (file == INVALID_HANDLE_VALUE) return SendErrorPage(ecb, ERROR_TEXT_IMAGE);

  const DWORD size = SetFilePointer(file, 0, nullptr, FILE_END);
  BYTE* data = size != INVALID_SET_FILE_POINTER
                   ? static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(size) + 1))
                   : nullptr;
  if (data == nullptr) {
    CloseHandle(file);
    return SendErrorPage(ecb, ERROR_TEXT_IMAGE);
  }
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  DWORD read = 0;
  ReadFile(file, data, size, &read, nullptr);
  CloseHandle(file);
  // Only the bytes actually read go out.
  ecb->WriteClient(ecb->ConnID, data, &read, HSE_IO_SYNC);
  HeapFree(GetProcessHeap(), 0, data);
  DeleteFileA(exchangePath);
  return HSE_STATUS_SUCCESS;
}

}  // namespace

BOOL GetBackendDirectory(CHAR directory[MAX_PATH]) {
  const char* configured = std::getenv("KARVEL_BACKEND_DIR");
  if (configured != nullptr && configured[0] != '\0') {
    if (std::strlen(configured) >= MAX_PATH) return FALSE;
    lstrcpyA(directory, configured);
    return TRUE;
  }
  return GetModuleDirectoryA(reinterpret_cast<const void*>(&GetBackendDirectory), directory, MAX_PATH);
}

int RunBackEnd(LPCSTR backendPath, LPCSTR exchangePath, DWORD* answerSize) {
  // Watching begins before the launch, so no change of the file can come unseen.
  HANDLE watch = BeginFileWatch(exchangePath);
  if (!Launch(backendPath, exchangePath)) {
    EndFileWatch(watch);
    return LAUNCH_FAILED;
  }
  SYSTEMTIME now;
  GetLocalTime(&now);
  WORD minute = now.wMinute;
  int minuteChanges = 0;
  int result = LAUNCH_TIMED_OUT;
  for (;;) {
    GetLocalTime(&now);
    if (now.wMinute != minute) {
      minute = now.wMinute;
      ++minuteChanges;
    }
    if (minuteChanges > kMinuteChangesAllowed) break;
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

void ReadAnswer(LPCSTR exchangePath, CHAR* buffer, DWORD answerSize) {
  buffer[0] = '\0';
  HANDLE file = OpenForPoll(exchangePath);
  if (file == INVALID_HANDLE_VALUE) return;
  SetFilePointer(file, 4, nullptr, FILE_BEGIN);
  DWORD read = 0;
  ReadFile(file, buffer, answerSize - 4, &read, nullptr);
  CloseHandle(file);
  for (DWORD k = 0; k < read; ++k) {
    if (buffer[k] == '\0') buffer[k] = ' ';
  }
  buffer[read] = '\0';
}

DWORD ReplyToRequest(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR backendPath, LPCSTR exchangePath) {
  DWORD answerSize = 4;
  const int launch = RunBackEnd(backendPath, exchangePath, &answerSize);
  switch (launch) {
    case LAUNCH_FAILED:
    case LAUNCH_TIMED_OUT:
      DeleteFileA(exchangePath);
      return SendErrorPage(ecb, launch == LAUNCH_TIMED_OUT ? ERROR_TEXT_TIME_OUT : ERROR_TEXT_EXE_LOAD);
    case 1: return ReplyWithPage(ecb, exchangePath, answerSize);
    case 2: return ReplyWithUrl(ecb, exchangePath, answerSize);
    case 4: return ReplyWithFile(ecb, exchangePath, answerSize);
    default: return HSE_STATUS_ERROR;  // any other result code: nothing is sent, the file stays
  }
}
