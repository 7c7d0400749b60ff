// The second half of a request: start the back-end program on the finished exchange file, wait
// for its answer, and reply with a page, a URL or a file's bytes.
#ifndef KARVEL_GATEWAY_BACKEND_RUN_H
#define KARVEL_GATEWAY_BACKEND_RUN_H

#include "gateway/request_record.h"
#include "isapi/httpext.h"

// How a request's wait for its back-end ended: the answer's result code, or why there is none.
enum BackendOutcome : int {
  kAnsweredPage = 1,        // result code '1': a page
  kAnsweredUrl = 2,         // '2': a URL
  kAnsweredFile = 4,        // '4': a file's bytes
  kAnsweredOther = 99,      // any other code, or no regular file in the exchange file's place: nothing is sent
  kLaunchFailed = -2,       // the program could not be started
  kTimedOut = -3,           // no answer in time
  kServerBusy = -4,         // the host had no slot for the program in time: it did not run
  kClientGone = -5,         // the client left while the request waited
  kExitedUnanswered = -6,   // a program under Wine ended without answering
  kClientGoneUnstarted = -7,  // the client left while the request waited for a slot: it did not run
};

// Starts the request's program (szProgram, resolved inside its back-end directory; none is a failed
// start) with the exchange file's path as its one argument, without a shell: through the host
// where it offers to (HSE_REQ_KARVEL_START_PROGRAM, told whether it runs under Wine), else itself.
// Then polls the file until its byte 0 is '9' (answered), until the site's time-out (nBackendTimeoutMs) or, without one, the third change of the local clock's minute, or until the server says
// the client has left. A program the host runs under Wine is also watched for its end: one that ends without answering ends the wait
// (kExitedUnanswered), and an answer it marked is read once it has ended (at most 2 s later), since
// Linux readers see a file a Wine program still writes in place. Writes the file's size at the
// answer to *answerSize (all 64 bits), and to *answer the file as it was found answered, open for
// reading (the caller's to close; INVALID_HANDLE_VALUE where it was closed again). A host that
// started the program is told how the wait ended.
BackendOutcome RunBackend(EXTENSION_CONTROL_BLOCK* ecb, const ExchangeRequest& request, ULONGLONG* answerSize,
                          HANDLE* answer);

// A site's time-out of `milliseconds` (0 or more) in the milliseconds the wait counts on a 32-bit
// tick clock: a time-out longer than that clock can tell (about 49 days) waits as long as it can,
// never a wrapped, shorter time.
DWORD TimeoutMilliseconds(int64_t milliseconds);

// The finished command line's program runs on the request, and the reply follows its answer (see
// answer_reply.h). The exchange file is deleted on every path, answered or not; when the program
// cannot be started or ended unanswered, its uploads go too (an answered program's stay its own).
// Returns HSE_STATUS_SUCCESS or HSE_STATUS_ERROR.
DWORD ReplyToRequest(EXTENSION_CONTROL_BLOCK* ecb, const ExchangeRequest& request);

#endif  // KARVEL_GATEWAY_BACKEND_RUN_H
