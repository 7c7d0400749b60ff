// The page every failure of a request is answered with, and how the failure is told to the host
// and its operator: the access log's word for it, the status its page goes with, the log line's
// reason.
#ifndef KARVEL_GATEWAY_ERROR_PAGE_H
#define KARVEL_GATEWAY_ERROR_PAGE_H

#include <cstdint>

#include "isapi/httpext.h"

// The failure texts, as the browser shows them.
inline constexpr char ERROR_TEXT_TEMP_OPEN[] = "TempOenError";
inline constexpr char ERROR_TEXT_TEMP_WRITE[] = "TempWriteError";
inline constexpr char ERROR_TEXT_KEY_CREATE[] = "KeyCreateError";
inline constexpr char ERROR_TEXT_EXE_LOAD[] = "EXE Load Error(Exe Load Error)";
inline constexpr char ERROR_TEXT_TIME_OUT[] = "EXE Load Error(Time Out)";
inline constexpr char ERROR_TEXT_IMAGE[] = "Emage Error";
// A form with more fields than the site allows; sent with status 413, so that clients and proxies
// see the refusal too, and nothing of the request reaches a back-end.
inline constexpr char ERROR_TEXT_TOO_MANY_FIELDS[] = "TooManyFieldsError";
// No slot for another back-end program came free in time; sent with status 503 and Retry-After.
inline constexpr char ERROR_TEXT_BUSY[] = "EXE Load Error(Server Busy)";

// What went wrong, as the operator tells failures apart. Each has its access-log word (the
// host's note karvel-result) and the status its page goes with when the site asks for statuses
// that say what happened (KarvelErrorStatus http); the page's text stays what it always was.
enum FailureKind : int32_t {
  kFailureSettings,        // a site setting could not be read or does not fit     not-allowed 502
  kFailureTempFile,        // the exchange file or an upload could not be made or written  temp-error 500
  kFailureBodyCut,         // the body did not arrive whole                         form-error 400
  kFailureBodyTooLarge,    // the server's limit on the body's size refused it      form-error 413
  kFailureFormUnreadable,  // a field name of 256 bytes or more, or no memory for the form  form-error 400
  kFailureTooManyFields,   // more fields than the site allows                      too-many-fields 413
  kFailureNoBackendField,  // the form names no program (no VCEXE or VBEXE value)   no-backend-field 400
  kFailureNotFound,        // no such program in the back-end directory             not-found 502
  kFailureNotAllowed,      // outside the back-end directory, or no file that may run  not-allowed 502
  kFailureStartFailed,     // it could not be started                               start-failed 502
  kFailureBusy,            // no slot came free in time                             503 503
  kFailureExited,          // it ended without an answer                            exited 502
  kFailureTimeOut,         // no answer in time                                     timeout 504
  kFailureAnswer,          // its answer cannot be sent ("Emage Error")             answer-error 500
  kFailureClientGone,      // the client left before its page: none is sent         client-gone -
  kFailureKindCount
};

// The status, access-log word and reason of a kind of failure.
struct FailureClass {
  DWORD dwStatus;      // with KarvelErrorStatus http
  LPCSTR szStatusLine; // its status line's text
  LPCSTR szResult;     // the note karvel-result
  LPCSTR szReason;     // the log line's words
};
const FailureClass& ClassOfFailure(FailureKind kind);

// One failed request, as SendFailurePage tells it.
struct RequestFailure {
  FailureKind nKind;
  LPCSTR szText;       // the page's text (one of the ERROR_TEXT_*); unused for kFailureClientGone
  LPCSTR szProgram;    // the program the form named, as the log shows it; null or "" for none
  DWORD dwError;       // the system's error code behind it, 0 when there is none
  bool bHttpStatus;    // the site's KarvelErrorStatus is http
};

// Tells the host how the request failed (HSE_REQ_KARVEL_FAILURE; a host that does not know it
// ignores it), writes the text and the program into lpszLogData, and sends the page: with status
// "200 Ok" (413 for ERROR_TEXT_TOO_MANY_FIELDS, 503 and Retry-After for ERROR_TEXT_BUSY, as always),
// or with bHttpStatus the kind's status, which a host of ours may answer with its own error
// document. Sets dwHttpStatusCode to the status and returns HSE_STATUS_ERROR: the server is told
// the request failed. kFailureClientGone sends nothing.
DWORD SendFailurePage(EXTENSION_CONTROL_BLOCK* ecb, const RequestFailure& failure);

// The page for `text` alone, its kind told by the text (the statuses as they always were).
DWORD SendErrorPage(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR text);

#endif  // KARVEL_GATEWAY_ERROR_PAGE_H
