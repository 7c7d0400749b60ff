// The answered exchange file as the gateway reads it: opened without a wait, measured in 64 bits,
// its answer area behind the 4 bytes of mark and result code. The one place both the wait for the
// answer and the reply open and measure it.
#ifndef KARVEL_GATEWAY_ANSWER_FILE_H
#define KARVEL_GATEWAY_ANSWER_FILE_H

#include "platform/win32.h"

// Where the answer area begins: behind the answered mark, the result code and two bytes.
constexpr DWORD ANSWER_AREA_AT = 4;

// The exchange file, open for reading. The program may have put anything in its place: only a
// regular file is opened, never through a link, and never with a wait (a FIFO's open would wait
// for a writer).
// INVALID_HANDLE_VALUE otherwise, the last error telling why (ERROR_BAD_FILE_TYPE: no regular file;
// ERROR_SHARING_VIOLATION: a writer holds it).
HANDLE OpenAnswerFile(LPCSTR exchangePath);

// The size of the open `file`, all 64 bits (the low 32 of a file of 4 GiB and more tell nothing of
// its size); the file pointer is left at its end. False when it cannot be told.
bool MeasureFile(HANDLE file, ULONGLONG* size);

// The answer area's length: the file's size at the answered mark less the bytes before the area.
inline ULONGLONG AnswerAreaLength(ULONGLONG answerSize) {
  return answerSize > ANSWER_AREA_AT ? answerSize - ANSWER_AREA_AT : 0;
}

#endif  // KARVEL_GATEWAY_ANSWER_FILE_H
