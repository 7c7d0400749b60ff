// The second half of a request: start the back-end program on the finished exchange file, wait
// for its answer, and reply with a page, a URL or a file's bytes.
#ifndef KARVEL_GATEWAY_BACKEND_RUN_H
#define KARVEL_GATEWAY_BACKEND_RUN_H

#include "gateway/exchange_file.h"
#include "isapi/httpext.h"

// Launch results of RunBackend besides the result codes 1, 2 and 4.
#define LAUNCH_FAILED (-2)
#define LAUNCH_TIMED_OUT (-3)
#define LAUNCH_BUSY (-4)         // the host had no slot for the program in time: it did not run
#define LAUNCH_CLIENT_GONE (-5)  // the client left while the request waited
#define LAUNCH_EXITED (-6)       // a program under Wine ended without answering
#define LAUNCH_OTHER_RESULT 99

// The directory the request's program must lie in: the site's, else the default (the environment's
// KARVEL_BACKEND_DIR, else the module's directory). FALSE when it cannot be told.
BOOL RequestBackendDirectory(const ExchangeRequest& request, CHAR directory[MAX_PATH]);

// Starts the request's program (resolved inside its back-end directory; anything else is a failed
// start) with the exchange file's path as its one argument, without a shell: through the host
// where it offers to (HSE_REQ_KARVEL_START_PROGRAM), else itself. Then polls the file until its byte 0
// is '9' (answered), until the site's time-out (nBackendTimeout seconds) or, without one, the third
// change of the local clock's minute, or until the server says the client has left. A program the
// host runs under Wine is also watched for its end: one that ends without answering ends the wait
// (LAUNCH_EXITED), and an answer it marked is read once it has ended (or after kWineSettleMs), since
// Linux readers see a file a Wine program still writes in place. Writes the
// file's size at the answer to *answerSize (all 64 bits). Returns 1, 2 or 4 (the result code), 99
// for any other code, LAUNCH_FAILED, LAUNCH_BUSY, LAUNCH_TIMED_OUT, LAUNCH_CLIENT_GONE or
// LAUNCH_EXITED; a host that
// started the program is told how the wait ended.
int RunBackend(EXTENSION_CONTROL_BLOCK* ecb, const ExchangeRequest& request, ULONGLONG* answerSize);

// The finished command line's program runs on the request, and the reply follows its answer (see
// answer_reply.h). The exchange file is deleted on the paths that end with it; when the program
// cannot be started, its uploads go too. Returns HSE_STATUS_SUCCESS or HSE_STATUS_ERROR.
DWORD ReplyToRequest(EXTENSION_CONTROL_BLOCK* ecb, const ExchangeRequest& request);

#endif  // KARVEL_GATEWAY_BACKEND_RUN_H
