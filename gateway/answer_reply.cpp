#include "gateway/answer_reply.h"

#include <cstring>

#include "gateway/error_page.h"
#include "gateway/request_settings.h"
#include "platform/regular_files.h"
#include "platform/windows_paths.h"

namespace {

constexpr DWORD kAnswerAreaAt = 4;

// The exchange file is the program's until it answered: only a regular file is read, never waited on.
HANDLE OpenAnswer(LPCSTR exchangePath) { return OpenRegularFile(exchangePath, GENERIC_READ, FILE_SHARE_READ); }

// The answer area's length: the file's size at the answered mark less the 4 bytes before it.
ULONGLONG AreaLength(ULONGLONG answerSize) { return answerSize > kAnswerAreaAt ? answerSize - kAnswerAreaAt : 0; }

DWORD NextBlockLength(ULONGLONG left, DWORD limit) { return left < limit ? static_cast<DWORD>(left) : limit; }

// Reads up to `count` bytes; the count read (0 after a failure or at the end of the file).
DWORD ReadBlock(HANDLE file, CHAR* block, DWORD count) {
  DWORD read = 0;
  if (count == 0 || !ReadFile(file, block, count, &read, nullptr)) return 0;
  return read;
}

// A page travels as text: its NULs are sent as blanks.
void BlankNuls(CHAR* block, DWORD count) {
  for (CHAR* at = block; (at = static_cast<CHAR*>(std::memchr(at, '\0', block + count - at))) != nullptr;) *at++ = ' ';
}

// The file's size, 64 bits; false when it cannot be told.
bool FileSize(HANDLE file, ULONGLONG* size) {
  LONG high = 0;
  SetLastError(ERROR_SUCCESS);
  const DWORD low = SetFilePointer(file, 0, &high, FILE_END);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS) return false;
  *size = (static_cast<ULONGLONG>(static_cast<DWORD>(high)) << 32) | low;
  return SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0;
}

// The whole file in one call, for the server to send as it sends its own files. FALSE when the
// server does not take it (it then sent nothing).
BOOL HandFileToServer(EXTENSION_CONTROL_BLOCK* ecb, HANDLE file, ULONGLONG size) {
  HSE_VECTOR_ELEMENT element{};
  element.ElementType = HSE_VECTOR_ELEMENT_TYPE_FILE_HANDLE;
  element.pvContext = file;
  element.cbOffset = 0;
  element.cbSize = size;
  HSE_RESPONSE_VECTOR vector{};
  vector.dwFlags = HSE_IO_SYNC;
  vector.nElementCount = 1;
  vector.lpElementArray = &element;
  return ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_VECTOR_SEND, &vector, nullptr, nullptr);
}

// The file's bytes with WriteClient, block by block, until `size` bytes went out, the file ends
// early or the client is gone.
void StreamFile(EXTENSION_CONTROL_BLOCK* ecb, HANDLE file, ULONGLONG size, CHAR* block) {
  for (ULONGLONG left = size; left > 0;) {
    DWORD count = ReadBlock(file, block, NextBlockLength(left, ANSWER_BLOCK_BYTES));
    if (count == 0 || !ecb->WriteClient(ecb->ConnID, block, &count, HSE_IO_SYNC)) return;
    left -= count;
  }
}

}  // namespace

DWORD ReadAnswer(LPCSTR exchangePath, HANDLE answer, CHAR* buffer, DWORD bufferSize, ULONGLONG answerSize) {
  buffer[0] = '\0';
  HANDLE file = answer != INVALID_HANDLE_VALUE ? answer : OpenAnswer(exchangePath);
  if (file == INVALID_HANDLE_VALUE) return 0;
  DWORD read = 0;
  if (SetFilePointer(file, kAnswerAreaAt, nullptr, FILE_BEGIN) == kAnswerAreaAt) {
    read = ReadBlock(file, buffer, NextBlockLength(AreaLength(answerSize), bufferSize - 1));
  }
  if (file != answer) CloseHandle(file);
  BlankNuls(buffer, read);
  buffer[read] = '\0';
  return read;
}

DWORD ReplyWithPage(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR exchangePath, HANDLE answer, ULONGLONG answerSize) {
  CHAR* block = static_cast<CHAR*>(HeapAlloc(GetProcessHeap(), 0, ANSWER_BLOCK_BYTES + 1));
  if (block == nullptr) {
    if (answer != INVALID_HANDLE_VALUE) CloseHandle(answer);
    return SendErrorPage(ecb, ERROR_TEXT_TEMP_WRITE);
  }
  // An exchange file that cannot be opened again gives an empty header-and-data string.
  HANDLE file = answer != INVALID_HANDLE_VALUE ? answer : OpenAnswer(exchangePath);
  ULONGLONG left = AreaLength(answerSize);
  DWORD count = 0;
  if (file != INVALID_HANDLE_VALUE && SetFilePointer(file, kAnswerAreaAt, nullptr, FILE_BEGIN) == kAnswerAreaAt) {
    count = ReadBlock(file, block, NextBlockLength(left, ANSWER_BLOCK_BYTES));
  }
  BlankNuls(block, count);
  block[count] = '\0';
  CHAR status[] = "200 Ok";
  ecb->dwHttpStatusCode = 200;
  // The header string travels in the data-type argument, as the interface lays it down.
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, status, nullptr,
                             reinterpret_cast<LPDWORD>(block));
  left -= count;
  while (left > 0 && count > 0) {
    count = ReadBlock(file, block, NextBlockLength(left, ANSWER_BLOCK_BYTES));
    BlankNuls(block, count);
    DWORD sent = count;
    if (count == 0 || !ecb->WriteClient(ecb->ConnID, block, &sent, HSE_IO_SYNC)) break;
    left -= count;
  }
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  HeapFree(GetProcessHeap(), 0, block);
  return HSE_STATUS_SUCCESS;
}

DWORD ReplyWithUrl(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR exchangePath, HANDLE answer, ULONGLONG answerSize) {
  CHAR url[ANSWER_URL_LIMIT + 1];
  url[0] = '\0';
  if (AreaLength(answerSize) <= ANSWER_URL_LIMIT) ReadAnswer(exchangePath, answer, url, sizeof url, answerSize);
  if (answer != INVALID_HANDLE_VALUE) CloseHandle(answer);
  DWORD size = static_cast<DWORD>(std::strlen(url) + 1);
  // A path on this server is delivered by the server itself; anything else is a redirection.
  const DWORD request = url[0] == '/' ? HSE_REQ_SEND_URL : HSE_REQ_SEND_URL_REDIRECT_RESP;
  ecb->ServerSupportFunction(ecb->ConnID, request, url, &size, nullptr);
  return HSE_STATUS_SUCCESS;
}

DWORD ReplyWithFile(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR exchangePath, HANDLE answer, ULONGLONG answerSize) {
  CHAR path[ANSWER_PATH_LIMIT + 1];
  path[0] = '\0';
  if (AreaLength(answerSize) <= ANSWER_PATH_LIMIT) ReadAnswer(exchangePath, answer, path, sizeof path, answerSize);
  if (answer != INVALID_HANDLE_VALUE) CloseHandle(answer);
  // A Windows program under Wine names its file as Windows does ("C:\\out\\chart.gif"): the prefix's
  // drives say where that lies here.
  CHAR prefix[MAX_PATH];
  CHAR mapped[ANSWER_PATH_LIMIT + 1];
  if (IsDrivePath(path) && WinePrefixFor(ecb, prefix) && WineDrivePath(prefix, path, mapped, sizeof mapped)) {
    lstrcpyA(path, mapped);
  }
  // Opened for writing too, as it always was: a file the server may not change is not sent. Only
  // a regular file is sent: a FIFO would hold the reply, a device (/dev/zero) would never end.
  HANDLE file = path[0] == '\0' ? INVALID_HANDLE_VALUE
                                : OpenRegularFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
  if (file == INVALID_HANDLE_VALUE) return SendErrorPage(ecb, ERROR_TEXT_IMAGE);
  ULONGLONG size = 0;
  CHAR* block = nullptr;
  if (!FileSize(file, &size)) {
    CloseHandle(file);
    return SendErrorPage(ecb, ERROR_TEXT_IMAGE);
  }
  if (size == 0) {
    DWORD none = 0;
    ecb->WriteClient(ecb->ConnID, path, &none, HSE_IO_SYNC);
  } else if (!HandFileToServer(ecb, file, size)) {
    block = static_cast<CHAR*>(HeapAlloc(GetProcessHeap(), 0, ANSWER_BLOCK_BYTES));
    if (block == nullptr) {
      CloseHandle(file);
      return SendErrorPage(ecb, ERROR_TEXT_IMAGE);
    }
    StreamFile(ecb, file, size, block);
    HeapFree(GetProcessHeap(), 0, block);
  }
  CloseHandle(file);
  return HSE_STATUS_SUCCESS;
}
