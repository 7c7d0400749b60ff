#include "host/module/reply.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <apr_buckets.h>
#include <apr_strings.h>
#include <http_core.h>
#include <http_log.h>
#include <http_protocol.h>
#include <http_request.h>
#include <util_script.h>

#include "host/module/content_sniff.h"
#include "host/module/host_errors.h"
#include "host/module/reply_text.h"
#include "isapi/httpext.h"

APLOG_USE_MODULE(karvel);

namespace {
constexpr size_t kHoldBytes = 1024 * 1024;
// Bytes of a file read to tell a whole "HTTP/" response (and its header block) or the file's type.
constexpr size_t kFilePrefixBytes = 64 * 1024;

bool PassHeld(Reply* reply) {
  if (reply->bClientGone) return false;
  reply->bPassed = true;
  const apr_status_t rv = ap_pass_brigade(reply->pRequest->output_filters, reply->pHeld);
  apr_brigade_cleanup(reply->pHeld);
  reply->nHeld = 0;
  if (rv != APR_SUCCESS) reply->bClientGone = true;
  return rv == APR_SUCCESS;
}

BOOL AppendBody(Reply* reply, const char* data, size_t size) {
  if (reply->bClientGone) return FailWithError(ERROR_NETNAME_DELETED);
  if (size == 0) return TRUE;
  apr_bucket_alloc_t* list = reply->pRequest->connection->bucket_alloc;
  if (reply->nHeld + size <= kHoldBytes) {
    // Copied: the caller's buffer is only lent for this call.
    if (size <= APR_BUCKET_BUFF_SIZE) {
      apr_brigade_write(reply->pHeld, nullptr, nullptr, data, size);
    } else {
      char* copy = static_cast<char*>(std::malloc(size));
      if (copy == nullptr) return FailWithError(ERROR_NOT_ENOUGH_MEMORY);
      std::memcpy(copy, data, size);
      APR_BRIGADE_INSERT_TAIL(reply->pHeld, apr_bucket_heap_create(copy, size, std::free, list));
    }
    reply->nHeld += size;
    return TRUE;
  }
  // Too much to hold: what is held and these bytes go out now. The filters copy what they keep.
  APR_BRIGADE_INSERT_TAIL(reply->pHeld, apr_bucket_transient_create(data, size, list));
  return PassHeld(reply) ? TRUE : FailWithError(ERROR_NETNAME_DELETED);
}

// True when every header of the block reads as the one header it was written as (see
// NextHeaderLine); the block is walked once before Apache sees any of it, so that an unusable block
// sets no header at all.
bool HeaderBlockUsable(const char* text, const char* end) {
  HeaderCursor cursor{text, end, false, false};
  char line[MAX_STRING_LEN];
  while (NextHeaderLine(line, MAX_STRING_LEN - 1, &cursor) == 1 && line[0] != '\n' && line[0] != '\0') {
  }
  return !cursor.bUnusable;
}

// The server frames the response alone: a length, a transfer coding or a connection header of the
// answer's would frame it otherwise (the client would read the rest of a longer body as the answer
// to its next request). Apache computes the length of a reply it holds whole and chunks one it
// streams.
void DropFramingHeaders(request_rec* r) {
  for (int k = 0; FramingHeaderName(k) != nullptr; ++k) {
    apr_table_unset(r->headers_out, FramingHeaderName(k));
    apr_table_unset(r->err_headers_out, FramingHeaderName(k));
  }
}

// Sets status and headers from a status and a CGI-style block; returns where the body starts.
const char* ApplyHeaderBlock(Reply* reply, int code, const char* status, const char* text, const char* end) {
  request_rec* r = reply->pRequest;
  r->status = code;
  // A status text that could end the status line early goes out as Apache's own text for the code.
  r->status_line = (status != nullptr && status[3] == ' ' && UsableStatusText(status)) ? apr_pstrdup(r->pool, status)
                                                                                         : nullptr;
  reply->nKind = kReplyStarted;
  if (text == nullptr || !StartsWithHeaderBlock(text, end)) return text;
  if (!HeaderBlockUsable(text, end)) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "extension reply header unusable: a line is no header or too long");
    reply->nKind = kReplyBroken;
    return end;
  }
  HeaderCursor cursor{text, end, false, false};
  char failedLine[MAX_STRING_LEN] = "";
  const int scanned = ap_scan_script_header_err_core_ex(r, failedLine, NextHeaderLine, &cursor, APLOG_MODULE_INDEX);
  DropFramingHeaders(r);
  if (scanned == HTTP_INTERNAL_SERVER_ERROR) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "extension reply header unusable: %s", failedLine);
    reply->nKind = kReplyBroken;
    return end;
  }
  if (scanned != OK) r->status = scanned;  // e.g. 304 from the answer's own Last-Modified
  // A Location without a status of its own redirects, as a CGI answer does.
  if (r->status == HTTP_OK && apr_table_get(r->headers_out, "Location") != nullptr) {
    r->status = HTTP_MOVED_TEMPORARILY;
    r->status_line = nullptr;
  }
  return cursor.pNext;
}

// "HTTP/1.1 200 OK\r\n" ...: the status part ("200 OK") in the pool and where the line ends, or nullptr.
const char* SplitStatusLine(apr_pool_t* pool, const char* text, const char* end, const char** lineEnd) {
  const char* status = nullptr;
  const char* statusEnd = nullptr;
  if (!FindStatusLine(text, end, &status, &statusEnd, lineEnd)) return nullptr;
  return apr_pstrndup(pool, status, static_cast<size_t>(statusEnd - status));
}
}  // namespace

void LeaveReplyToServer(Reply* reply, int status) {
  if (reply->nKind != kReplyNothing) return;
  reply->nKind = kReplyByServer;
  reply->nServerStatus = status;
}

void StartReply(Reply* reply, request_rec* r) {
  *reply = Reply{};
  reply->pRequest = r;
  reply->pHeld = apr_brigade_create(r->pool, r->connection->bucket_alloc);
  reply->nKind = kReplyNothing;
}

BOOL SendResponseHeader(Reply* reply, const char* status, const char* headers) {
  if (reply->nKind == kReplyByServer) return TRUE;
  if (reply->nKind != kReplyNothing) return FailWithError(ERROR_INVALID_PARAMETER);
  const int code = ParseStatus(status);
  if (code == 0) return FailWithError(ERROR_INVALID_PARAMETER);
  const char* end = headers ? headers + std::strlen(headers) : nullptr;
  const char* body = ApplyHeaderBlock(reply, code, status, headers, end);
  if (reply->nKind == kReplyBroken) return FailWithError(ERROR_INVALID_PARAMETER);
  return body != nullptr ? AppendBody(reply, body, static_cast<size_t>(end - body)) : TRUE;
}

namespace {
// The first output without a header of the extension's: bytes that begin with "HTTP/" are a whole
// response (status line, header block, body), others the body of a 200 reply typed by the bytes.
// Returns where the body begins among them; nullptr when the response's header is unusable.
const char* StartRawReply(Reply* reply, const char* bytes, size_t size) {
  request_rec* r = reply->pRequest;
  const char* end = bytes + size;
  const char* lineEnd = nullptr;
  const char* status = (size >= 5 && std::memcmp(bytes, "HTTP/", 5) == 0)
                           ? SplitStatusLine(r->pool, bytes, end, &lineEnd) : nullptr;
  if (status != nullptr) {
    const char* body = ApplyHeaderBlock(reply, ParseStatus(status), status, lineEnd, end);
    return reply->nKind == kReplyBroken ? nullptr : body;
  }
  r->status = HTTP_OK;
  ap_set_content_type(r, SniffContentType(r->pool, bytes, size));
  reply->nKind = kReplyStarted;
  return bytes;
}

// Unread body bytes would be taken for the next request on a kept-alive connection, so they are
// read away; not when the connection ends with this reply anyway (the body could not be read, and
// reading it again would hold the reply for another Timeout).
void DiscardUnreadBody(request_rec* r) {
  if (r->connection->keepalive != AP_CONN_CLOSE) ap_discard_request_body(r);
}

apr_status_t CloseDescriptor(void* data) {
  close(static_cast<int>(reinterpret_cast<intptr_t>(data)));
  return APR_SUCCESS;
}
}  // namespace

BOOL WriteReplyBytes(Reply* reply, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  switch (reply->nKind) {
    case kReplyByServer:
      return TRUE;  // the failure page's bytes: Apache's document goes out instead
    case kReplyStarted:
      return AppendBody(reply, bytes, size);
    case kReplyNothing:
      break;
    default:
      return FailWithError(ERROR_INVALID_PARAMETER);
  }
  const char* body = StartRawReply(reply, bytes, size);
  if (body == nullptr) return FailWithError(ERROR_INVALID_PARAMETER);
  return AppendBody(reply, body, static_cast<size_t>(bytes + size - body));
}

BOOL WriteReplyFile(Reply* reply, int descriptor, apr_off_t offset, apr_off_t length) {
  if (reply->nKind != kReplyNothing && reply->nKind != kReplyStarted) return FailWithError(ERROR_INVALID_PARAMETER);
  if (reply->bClientGone) return FailWithError(ERROR_NETNAME_DELETED);
  request_rec* r = reply->pRequest;
  struct stat info;
  if (descriptor < 0 || offset < 0 || fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode) ||
      offset > info.st_size) {
    return FailWithError(ERROR_INVALID_PARAMETER);
  }
  if (length == 0) length = info.st_size - offset;  // to the end, as ISAPI's 0 means
  if (length > info.st_size - offset) return FailWithError(ERROR_INVALID_PARAMETER);
  // The extension closes its handle when the call returns; the reply goes out later, from a
  // descriptor of the request's own.
  const int own = fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return FailWithError(ERROR_NOT_ENOUGH_MEMORY);
  apr_pool_cleanup_register(r->pool, reinterpret_cast<void*>(static_cast<intptr_t>(own)), CloseDescriptor,
                            apr_pool_cleanup_null);
  if (reply->nKind == kReplyNothing) {
    // The file's first bytes decide what it is, as WriteClient's bytes would.
    const size_t want = static_cast<size_t>(length < static_cast<apr_off_t>(kFilePrefixBytes) ? length : kFilePrefixBytes);
    char* prefix = static_cast<char*>(apr_palloc(r->pool, want + 1));
    ssize_t got;
    do {
      got = pread(own, prefix, want, offset);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return FailWithError(ERROR_READ_FAULT);
    const char* body = StartRawReply(reply, prefix, static_cast<size_t>(got));
    if (body == nullptr) return FailWithError(ERROR_INVALID_PARAMETER);
    offset += body - prefix;
    length -= body - prefix;
  }
  // Sent as Apache sends a static file under the same settings: sendfile where EnableSendfile is
  // on, memory maps where EnableMMAP is.
  const auto* core = static_cast<const core_dir_config*>(ap_get_core_module_config(r->per_dir_config));
  apr_file_t* file = nullptr;
  int descriptorCopy = own;
  if (apr_os_file_put(&file, &descriptorCopy, APR_FOPEN_READ | AP_SENDFILE_ENABLED(core->enable_sendfile), r->pool) !=
      APR_SUCCESS) {
    return FailWithError(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (length > 0) {
    apr_brigade_insert_file(reply->pHeld, file, offset, length, r->pool);
    for (apr_bucket* e = APR_BRIGADE_FIRST(reply->pHeld); e != APR_BRIGADE_SENTINEL(reply->pHeld); e = APR_BUCKET_NEXT(e)) {
      if (APR_BUCKET_IS_FILE(e)) apr_bucket_file_enable_mmap(e, core->enable_mmap != ENABLE_MMAP_OFF);
    }
  }
  return TRUE;
}

BOOL SendVector(Reply* reply, const HSE_RESPONSE_VECTOR* vector) {
  if (vector == nullptr || (vector->dwFlags & HSE_IO_ASYNC) != 0 || (vector->nElementCount > 0 && vector->lpElementArray == nullptr)) {
    return FailWithError(ERROR_INVALID_PARAMETER);
  }
  const bool headers = (vector->dwFlags & HSE_IO_SEND_HEADERS) != 0;
  // Everything is checked before anything goes out: a refused call has sent nothing.
  if (headers && (vector->pszStatus == nullptr || reply->nKind != kReplyNothing)) return FailWithError(ERROR_INVALID_PARAMETER);
  for (DWORD k = 0; k < vector->nElementCount; ++k) {
    const HSE_VECTOR_ELEMENT& element = vector->lpElementArray[k];
    const bool memory = element.ElementType == HSE_VECTOR_ELEMENT_TYPE_MEMORY_BUFFER;
    if ((memory && (element.pvContext == nullptr || element.cbSize == 0)) ||
        (!memory && (element.ElementType != HSE_VECTOR_ELEMENT_TYPE_FILE_HANDLE ||
                     DescriptorOfHandle(element.pvContext) < 0 || element.cbOffset > 0x7FFFFFFFFFFFFFFFull ||
                     element.cbSize > 0x7FFFFFFFFFFFFFFFull))) {
      return FailWithError(ERROR_INVALID_PARAMETER);
    }
  }
  if (headers && !SendResponseHeader(reply, vector->pszStatus, vector->pszHeaders)) return FALSE;
  for (DWORD k = 0; k < vector->nElementCount; ++k) {
    const HSE_VECTOR_ELEMENT& element = vector->lpElementArray[k];
    const BOOL sent = element.ElementType == HSE_VECTOR_ELEMENT_TYPE_MEMORY_BUFFER
                          ? WriteReplyBytes(reply, static_cast<const char*>(element.pvContext) + element.cbOffset,
                                            static_cast<size_t>(element.cbSize))
                          : WriteReplyFile(reply, DescriptorOfHandle(element.pvContext),
                                           static_cast<apr_off_t>(element.cbOffset),
                                           static_cast<apr_off_t>(element.cbSize));
    if (!sent) return FALSE;
  }
  if (vector->dwFlags & HSE_IO_DISCONNECT_AFTER_SEND) reply->pRequest->connection->keepalive = AP_CONN_CLOSE;
  return TRUE;
}

BOOL SendLocalUrl(Reply* reply, const char* url) {
  if (reply->nKind != kReplyNothing || !UsableUrl(url) || url[0] != '/') {
    return FailWithError(ERROR_INVALID_PARAMETER);
  }
  request_rec* r = reply->pRequest;
  // The new request is a GET and cannot read this one's body, so it is read away first.
  DiscardUnreadBody(r);
  r->method = "GET";
  r->method_number = M_GET;
  apr_table_unset(r->headers_in, "Content-Length");
  apr_table_unset(r->headers_in, "Transfer-Encoding");
  reply->nKind = kReplyLocalUrl;
  ap_internal_redirect(apr_pstrdup(r->pool, url), r);
  return TRUE;
}

BOOL SendRedirect(Reply* reply, const char* url) {
  if (reply->nKind != kReplyNothing || !UsableUrl(url)) return FailWithError(ERROR_INVALID_PARAMETER);
  apr_table_set(reply->pRequest->headers_out, "Location", url);
  reply->nKind = kReplyRedirect;
  return TRUE;
}

int FinishReply(Reply* reply, DWORD result, const char* extensionName) {
  request_rec* r = reply->pRequest;
  const bool failed = result != HSE_STATUS_SUCCESS && result != HSE_STATUS_SUCCESS_AND_KEEP_CONN;
  switch (reply->nKind) {
    case kReplyByServer:
      DiscardUnreadBody(r);
      return reply->nServerStatus;
    case kReplyNothing:
      if (!failed) return OK;  // an empty 200
      // A failure the extension told (its client left: no page) has its line already.
      if (!reply->bFailureTold) {
        ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "%s answered %u without a reply", extensionName,
                      static_cast<unsigned>(result));
      }
      return HTTP_INTERNAL_SERVER_ERROR;
    case kReplyBroken:
      return HTTP_INTERNAL_SERVER_ERROR;
    case kReplyRedirect:
      DiscardUnreadBody(r);
      return HTTP_MOVED_TEMPORARILY;
    case kReplyLocalUrl:
      return OK;
    case kReplyStarted:
      break;
  }
  if (failed && !reply->bFailureTold) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "%s answered %u after its reply (sent as it stands)",
                  extensionName, static_cast<unsigned>(result));
  }
  DiscardUnreadBody(r);
  APR_BRIGADE_INSERT_TAIL(reply->pHeld, apr_bucket_eos_create(r->connection->bucket_alloc));
  PassHeld(reply);
  return OK;
}
