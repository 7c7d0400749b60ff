#include "gateway/answer_reply.h"

#include <cstring>

#include "gateway/answer_file.h"
#include "gateway/error_page.h"
#include "gateway/wine_request.h"
#include "platform/host_error.h"
#include "platform/regular_files.h"

namespace {

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

// Reads the answer area of an answer of `answerSize` bytes into `buffer`, at most `bufferSize` - 1
// bytes, NULs turned into blanks and a NUL behind the bytes read; an answer that could not be
// opened gives an empty string.
void ReadAnswerText(HANDLE answer, CHAR* buffer, DWORD bufferSize, ULONGLONG answerSize) {
  buffer[0] = '\0';
  if (answer == INVALID_HANDLE_VALUE) return;
  DWORD read = 0;
  if (SetFilePointer(answer, ANSWER_AREA_AT, nullptr, FILE_BEGIN) == ANSWER_AREA_AT) {
    read = ReadBlock(answer, buffer, NextBlockLength(AnswerAreaLength(answerSize), bufferSize - 1));
  }
  BlankNuls(buffer, read);
  buffer[read] = '\0';
}

DWORD ReplyWithPage(EXTENSION_CONTROL_BLOCK* ecb, const ExchangeRequest& request, HANDLE file, ULONGLONG answerSize) {
  CHAR* block = static_cast<CHAR*>(HeapAlloc(GetProcessHeap(), 0, ANSWER_BLOCK_BYTES + 1));
  if (block == nullptr) return FailRequest(ecb, request, kFailureAnswer, ERROR_TEXT_TEMP_WRITE);
  ULONGLONG left = AnswerAreaLength(answerSize);
  DWORD count = 0;
  if (file != INVALID_HANDLE_VALUE && SetFilePointer(file, ANSWER_AREA_AT, nullptr, FILE_BEGIN) == ANSWER_AREA_AT) {
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
  HeapFree(GetProcessHeap(), 0, block);
  return HSE_STATUS_SUCCESS;
}

DWORD ReplyWithUrl(EXTENSION_CONTROL_BLOCK* ecb, CHAR* url) {
  DWORD size = static_cast<DWORD>(std::strlen(url) + 1);
  // A path on this server is delivered by the server itself; anything else is a redirection.
  const DWORD request = url[0] == '/' ? HSE_REQ_SEND_URL : HSE_REQ_SEND_URL_REDIRECT_RESP;
  ecb->ServerSupportFunction(ecb->ConnID, request, url, &size, nullptr);
  return HSE_STATUS_SUCCESS;
}

DWORD ReplyWithFile(EXTENSION_CONTROL_BLOCK* ecb, const ExchangeRequest& request, CHAR path[ANSWER_PATH_LIMIT + 1]) {
  // A Windows program under Wine names its file as Windows does.
  MapWineAnswerPath(request.settings.szWinePrefix, path, ANSWER_PATH_LIMIT + 1);
  // Opened for writing too, as it always was: a file the server may not change is not sent. Only
  // a regular file is sent: a FIFO would hold the reply, a device (/dev/zero) would never end.
  HANDLE file = path[0] == '\0' ? INVALID_HANDLE_VALUE
                                : OpenRegularFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
  if (file == INVALID_HANDLE_VALUE) return FailRequest(ecb, request, kFailureAnswer, ERROR_TEXT_IMAGE);
  ULONGLONG size = 0;
  CHAR* block = nullptr;
  if (!MeasureFile(file, &size) || SetFilePointer(file, 0, nullptr, FILE_BEGIN) != 0) {
    CloseHandle(file);
    return FailRequest(ecb, request, kFailureAnswer, ERROR_TEXT_IMAGE);
  }
  if (size == 0) {
    DWORD none = 0;
    ecb->WriteClient(ecb->ConnID, path, &none, HSE_IO_SYNC);
  } else if (!HandFileToServer(ecb, file, size)) {
    // The server refused the file for the site (it is not the site's to send): nothing went out.
    if (GetHostLastError() == ERROR_ACCESS_DENIED) {
      CloseHandle(file);
      return FailRequest(ecb, request, kFailureAnswer, ERROR_TEXT_IMAGE);
    }
    block = static_cast<CHAR*>(HeapAlloc(GetProcessHeap(), 0, ANSWER_BLOCK_BYTES));
    if (block == nullptr) {
      CloseHandle(file);
      return FailRequest(ecb, request, kFailureAnswer, ERROR_TEXT_IMAGE);
    }
    StreamFile(ecb, file, size, block);
    HeapFree(GetProcessHeap(), 0, block);
  }
  CloseHandle(file);
  return HSE_STATUS_SUCCESS;
}

}  // namespace

DWORD ReplyWithAnswer(EXTENSION_CONTROL_BLOCK* ecb, AnswerKind kind, const ExchangeRequest& request, HANDLE answer,
                      ULONGLONG answerSize) {
  LPCSTR exchangePath = request.szExchangePath;
  // The answer is opened here when the wait did not keep it (a Wine program's, measured again once
  // it settled); an answer of no kind is not read at all.
  HANDLE file = answer != INVALID_HANDLE_VALUE || kind == kOtherAnswer ? answer : OpenAnswerFile(exchangePath);
  DWORD result = HSE_STATUS_ERROR;
  // A URL or a path is read whole before the answer is closed; a longer one is read as none.
  CHAR text[ANSWER_URL_LIMIT > ANSWER_PATH_LIMIT ? ANSWER_URL_LIMIT + 1 : ANSWER_PATH_LIMIT + 1];
  text[0] = '\0';
  const DWORD limit = kind == kUrlAnswer ? ANSWER_URL_LIMIT : ANSWER_PATH_LIMIT;
  if (kind == kPageAnswer) {
    result = ReplyWithPage(ecb, request, file, answerSize);
  } else if ((kind == kUrlAnswer || kind == kFileAnswer) && AnswerAreaLength(answerSize) <= limit) {
    ReadAnswerText(file, text, limit + 1, answerSize);
  }
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (kind == kUrlAnswer) result = ReplyWithUrl(ecb, text);
  if (kind == kFileAnswer) result = ReplyWithFile(ecb, request, text);
  return result;
}
