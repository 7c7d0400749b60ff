// The second half of a request: start the back-end program on the finished exchange file, wait
// for its answer, and reply with a page, a URL or a file's bytes.
#ifndef KARVEL_GATEWAY_BACKEND_RUN_H
#define KARVEL_GATEWAY_BACKEND_RUN_H

#include "isapi/httpext.h"

// Launch results of RunBackEnd besides the result codes 1, 2 and 4.
#define LAUNCH_FAILED (-2)
#define LAUNCH_TIMED_OUT (-3)
#define LAUNCH_OTHER_RESULT 99

// The directory back-end programs must lie in: $KARVEL_BACKEND_DIR, else the directory of the
// module holding the extension. FALSE when neither can be told.
BOOL GetBackendDirectory(CHAR directory[MAX_PATH]);

// Starts `backendPath` (resolved inside the back-end directory; anything else is a failed start)
// with the exchange file's path as its one argument, without a shell, and polls the file until its
// byte 0 is '9' (answered) or the local clock's minute has changed three times. Writes the file's
// size at that moment to *answerSize. Returns 1, 2 or 4 (the result code), 99 for any other code,
// LAUNCH_FAILED or LAUNCH_TIMED_OUT.
int RunBackEnd(LPCSTR backendPath, LPCSTR exchangePath, DWORD* answerSize);

// Reads the answer area (from byte 4, answerSize - 4 bytes at most) into `buffer`, which holds at
// least answerSize - 3 bytes, NULs turned into blanks and a NUL behind the bytes read. An exchange
// file that cannot be opened gives an empty string.
void ReadAnswer(LPCSTR exchangePath, CHAR* buffer, DWORD answerSize);

// RunBackEnd, then the reply by its result; deletes the exchange file on the paths that end with
// it. Returns HSE_STATUS_SUCCESS or HSE_STATUS_ERROR.
DWORD ReplyToRequest(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR backendPath, LPCSTR exchangePath);

#endif  // KARVEL_GATEWAY_BACKEND_RUN_H
