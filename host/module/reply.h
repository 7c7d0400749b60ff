// The reply of one request as the extension builds it through its callbacks: a header string
// parsed like a CGI answer, body bytes, a complete "HTTP/" response, raw bytes whose type is
// sniffed, a local URL or a redirection. Body bytes are held until 1 MiB has gathered, so an
// ordinary reply goes out whole with its Content-Length; a longer one streams (chunked on HTTP/1.1).
// That framing is the server's alone: an answer's own length, transfer coding and connection
// headers are dropped, and each of its headers goes out whole, as the one header it was written as.
#ifndef KARVEL_HOST_REPLY_H
#define KARVEL_HOST_REPLY_H

#include <cstddef>

#include <httpd.h>

#include "isapi/httpext.h"

enum ReplyKind {
  kReplyNothing,     // nothing decided yet
  kReplyStarted,     // status and headers set; body bytes may follow
  kReplyLocalUrl,    // served by an internal redirect; nothing more may be sent
  kReplyRedirect,    // a 302 with Location goes out when the request ends
  kReplyBroken,      // the extension's headers were unusable: Apache's 500 page goes out
  kReplyByServer,    // Apache answers itself: the site's error document for a failure's status,
                     // or the error its input filters sent already
};

struct Reply {
  request_rec* pRequest;
  apr_bucket_brigade* pHeld;  // body bytes not yet passed to the output filters
  size_t nHeld;
  ReplyKind nKind;
  bool bPassed;               // something went down the output filters already
  bool bClientGone;           // a pass failed: the client is not listening any more
  int nServerStatus;   // kReplyByServer: the status Apache answers with its document
  bool bFailureTold;          // the extension told how the request failed: its page needs no log line
};

void StartReply(Reply* reply, request_rec* r);

// HSE_REQ_SEND_RESPONSE_HEADER: `status` "NNN text" (nullptr: 200), `headers` a CGI-style header
// block and, after its empty line, the first body bytes (nullptr: none). FALSE with
// ERROR_INVALID_PARAMETER when a reply was already started or the status is not 200-599.
BOOL SendResponseHeader(Reply* reply, const char* status, const char* headers);

// WriteClient: after a header these are body bytes; as the first output, bytes that begin with
// "HTTP/" are a whole response, other bytes the body of a 200 reply typed by their content.
// FALSE (ERROR_NETNAME_DELETED) when the client is gone, ERROR_INVALID_PARAMETER after a URL answer.
BOOL WriteReplyBytes(Reply* reply, const void* data, size_t size);

// A file's bytes, `length` of them from `offset` (0: to its end), as WriteReplyBytes would send them
// but without reading them into memory: the reply takes a descriptor of its own and Apache sends
// the file as it sends static files (sendfile where enabled). FALSE with ERROR_INVALID_PARAMETER
// for what is no regular file or a range beyond its end.
BOOL WriteReplyFile(Reply* reply, int descriptor, apr_off_t offset, apr_off_t length);

// HSE_REQ_VECTOR_SEND, synchronous only: with HSE_IO_SEND_HEADERS the status and header block as
// SendResponseHeader takes them, then each memory element as WriteReplyBytes and each file element
// (a file HANDLE) as WriteReplyFile. A malformed vector is refused (FALSE) before anything is sent.
BOOL SendVector(Reply* reply, const HSE_RESPONSE_VECTOR* vector);

// HSE_REQ_SEND_URL: Apache serves `url` (a local path, query kept) as a GET in place of this
// request. HSE_REQ_SEND_URL_REDIRECT_RESP: a 302 to `url`. Both refuse (FALSE,
// ERROR_INVALID_PARAMETER) a URL with control characters, an empty one, or a reply already begun.
BOOL SendLocalUrl(Reply* reply, const char* url);
BOOL SendRedirect(Reply* reply, const char* url);

// The reply, not begun yet, is Apache's own: its error document for `status`, or with
// AP_FILTER_ERROR the error an input filter answered already (a body over LimitRequestBody). What
// the extension sends after is taken and dropped, and the handler returns `status`.
void LeaveReplyToServer(Reply* reply, int status);

// Ends the reply after HttpExtensionProc returned `result`; the handler's return value.
// `extensionName` names the extension in the error log.
int FinishReply(Reply* reply, DWORD result, const char* extensionName);

#endif  // KARVEL_HOST_REPLY_H
