#include "host/module/ecb_bridge.h"

#include <cstdint>
#include <cstring>

#include <apr_buckets.h>
#include <apr_strings.h>
#include <http_core.h>
#include <http_log.h>
#include <http_protocol.h>
#include <http_request.h>

#include "host/module/client_connection.h"
#include "host/module/connection_registry.h"
#include "host/module/failure_report.h"
#include "host/module/host_errors.h"
#include "host/module/reply.h"
#include "host/module/site_users.h"
#include "host/module/spawner_link.h"

APLOG_USE_MODULE(karvel);

struct RequestContext {
  request_rec* pRequest;
  EXTENSION_CONTROL_BLOCK ecb;
  ScriptPaths paths;
  apr_bucket_brigade* pBodyIn;
  bool bBodyEnded;       // end of body seen, or reading failed
  apr_status_t nBodyError;
  Reply reply;
  ProgramRun program;    // the back-end program the host started for the request
};

namespace {
constexpr DWORD kUnknownLength = 0xFFFFFFFFu;
// Reads from the input filters that bring no byte in a row before the body is taken as ended: a
// filter may return an empty brigade now and then, a body that never comes must not hold the
// request for ever.
constexpr int kEmptyReadsAllowed = 64;

RequestContext* ContextOf(HCONN conn) { return FindConnection(reinterpret_cast<uintptr_t>(conn)); }

// Reads up to `want` body bytes into `out` from Apache's input filters (which undo chunking and
// enforce LimitRequestBody). Returns the bytes delivered; 0 at the end or after a failure, which
// leaves nBodyError set (a clean end, the EOS bucket, leaves it APR_SUCCESS).
apr_size_t ReadBody(RequestContext* context, char* out, apr_size_t want) {
  apr_size_t got = 0;
  int emptyRounds = 0;
  while (got < want && !context->bBodyEnded) {
    apr_bucket_brigade* bb = context->pBodyIn;
    const apr_status_t rv = ap_get_brigade(context->pRequest->input_filters, bb, AP_MODE_READBYTES,
                                           APR_BLOCK_READ, want - got);
    if (rv != APR_SUCCESS) {
      context->bBodyEnded = true;
      context->nBodyError = rv;
      // What is left of the body cannot be read either (the client stalled past Timeout, or went
      // away): the connection ends with this reply, and the reply does not wait a second Timeout
      // to read the body away.
      context->pRequest->connection->keepalive = AP_CONN_CLOSE;
      ap_log_rerror(APLOG_MARK, APLOG_INFO, rv, context->pRequest, "request body ended early");
      break;
    }
    const apr_size_t before = got;
    for (apr_bucket* b = APR_BRIGADE_FIRST(bb); b != APR_BRIGADE_SENTINEL(bb); b = APR_BUCKET_NEXT(b)) {
      if (APR_BUCKET_IS_EOS(b)) {
        context->bBodyEnded = true;
        break;
      }
      const char* data = nullptr;
      apr_size_t length = 0;
      if (apr_bucket_read(b, &data, &length, APR_BLOCK_READ) != APR_SUCCESS) {
        context->bBodyEnded = true;
        context->nBodyError = APR_EGENERAL;
        break;
      }
      // READBYTES never returns more than asked; the bound stays for safety all the same.
      const apr_size_t take = length < want - got ? length : want - got;
      std::memcpy(out + got, data, take);
      got += take;
    }
    apr_brigade_cleanup(bb);
    if (got == before && ++emptyRounds > kEmptyReadsAllowed) {
      // A body that stopped coming did not end: ReadClient reports the failure, so that the
      // extension does not take what came for the whole body (a chunked body has no length to
      // compare with).
      context->bBodyEnded = true;
      context->nBodyError = APR_TIMEUP;
      context->pRequest->connection->keepalive = AP_CONN_CLOSE;
    }
  }
  return got;
}

BOOL WINAPI GetServerVariableCallback(HCONN conn, LPSTR name, LPVOID buffer, LPDWORD size) {
  RequestContext* context = ContextOf(conn);
  if (context == nullptr || name == nullptr || size == nullptr) return FailWithError(ERROR_INVALID_PARAMETER);
  const DWORD room = *size;
  auto failLeavingEmpty = [&](DWORD code) {
    if (buffer != nullptr && room > 0) static_cast<char*>(buffer)[0] = '\0';
    return FailWithError(code);
  };
  const char* value = LookupServerVariable(context->pRequest, &context->paths, name);
  if (value == nullptr) return failLeavingEmpty(ERROR_INVALID_INDEX);
  const size_t needed = std::strlen(value) + 1;
  if (needed > 0xFFFFFFFFu) return failLeavingEmpty(ERROR_INSUFFICIENT_BUFFER);
  if (buffer == nullptr || room < needed) {
    *size = static_cast<DWORD>(needed);
    return failLeavingEmpty(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buffer, value, needed);
  *size = static_cast<DWORD>(needed);
  ClearHostError();
  return TRUE;
}

BOOL WINAPI ReadClientCallback(HCONN conn, LPVOID buffer, LPDWORD size) {
  RequestContext* context = ContextOf(conn);
  if (context == nullptr || size == nullptr || (buffer == nullptr && *size != 0)) {
    return FailWithError(ERROR_INVALID_PARAMETER);
  }
  const apr_size_t got = ReadBody(context, static_cast<char*>(buffer), *size);
  *size = static_cast<DWORD>(got);
  if (got == 0 && context->nBodyError != APR_SUCCESS) {
    // A body over LimitRequestBody is told apart from a client that left: it is refused for its
    // size. Where the input filter answered that itself (its 413 is on its way), the reply is its.
    request_rec* r = context->pRequest;
    if (context->nBodyError == AP_FILTER_ERROR) LeaveReplyToServer(&context->reply, AP_FILTER_ERROR);
    const bool tooLarge =
        ap_map_http_request_error(context->nBodyError, HTTP_BAD_REQUEST) == HTTP_REQUEST_ENTITY_TOO_LARGE ||
        (context->nBodyError == AP_FILTER_ERROR && r->status == HTTP_REQUEST_ENTITY_TOO_LARGE);
    return FailWithError(tooLarge ? ERROR_FILE_TOO_LARGE : ERROR_NETNAME_DELETED);
  }
  ClearHostError();
  return TRUE;
}

BOOL WINAPI WriteClientCallback(HCONN conn, LPVOID buffer, LPDWORD bytes, DWORD reserved) {
  RequestContext* context = ContextOf(conn);
  if (context == nullptr || bytes == nullptr || (buffer == nullptr && *bytes != 0)) {
    return FailWithError(ERROR_INVALID_PARAMETER);
  }
  if ((reserved & ~HSE_IO_SYNC) != 0) return FailWithError(ERROR_INVALID_PARAMETER);  // no async I/O here
  if (!WriteReplyBytes(&context->reply, buffer, *bytes)) {
    *bytes = 0;
    return FALSE;
  }
  ClearHostError();
  return TRUE;
}

// Whether every file a vector sends may be sent for the request's site (SiteMaySendFile).
bool VectorFilesOfSite(request_rec* r, const HSE_RESPONSE_VECTOR* vector) {
  if (vector == nullptr || vector->lpElementArray == nullptr) return true;  // SendVector refuses it
  for (DWORD k = 0; k < vector->nElementCount; ++k) {
    const HSE_VECTOR_ELEMENT& element = vector->lpElementArray[k];
    if (element.ElementType != HSE_VECTOR_ELEMENT_TYPE_FILE_HANDLE) continue;
    const int descriptor = DescriptorOfHandle(element.pvContext);
    if (descriptor >= 0 && !SiteMaySendFile(r, descriptor)) return false;
  }
  return true;
}

// The URL argument: text up to its NUL, or the first *size bytes when no NUL comes before them.
const char* UrlArgument(apr_pool_t* pool, LPVOID buffer, LPDWORD size) {
  if (buffer == nullptr) return nullptr;
  const char* text = static_cast<const char*>(buffer);
  if (size == nullptr || *size == 0) return text;
  return apr_pstrndup(pool, text, *size);
}

BOOL WINAPI ServerSupportFunctionCallback(HCONN conn, DWORD request, LPVOID buffer, LPDWORD size,
                                          LPDWORD dataType) {
  RequestContext* context = ContextOf(conn);
  if (context == nullptr) return FailWithError(ERROR_INVALID_PARAMETER);
  BOOL done = FALSE;
  switch (request) {
    case HSE_REQ_SEND_RESPONSE_HEADER:
      // The header string travels in the data-type argument, as ISAPI lays it down.
      done = SendResponseHeader(&context->reply, static_cast<const char*>(buffer),
                                reinterpret_cast<const char*>(dataType));
      break;
    case HSE_REQ_SEND_URL:
      done = SendLocalUrl(&context->reply, UrlArgument(context->pRequest->pool, buffer, size));
      break;
    case HSE_REQ_SEND_URL_REDIRECT_RESP:
      done = SendRedirect(&context->reply, UrlArgument(context->pRequest->pool, buffer, size));
      break;
    case HSE_REQ_VECTOR_SEND:
      if (!VectorFilesOfSite(context->pRequest, static_cast<const HSE_RESPONSE_VECTOR*>(buffer))) {
        return FailWithError(ERROR_ACCESS_DENIED);
      }
      done = SendVector(&context->reply, static_cast<const HSE_RESPONSE_VECTOR*>(buffer));
      break;
    case HSE_REQ_IS_CONNECTED:
      if (buffer == nullptr) return FailWithError(ERROR_INVALID_PARAMETER);
      *static_cast<BOOL*>(buffer) = ClientConnected(context->pRequest->connection) ? TRUE : FALSE;
      done = TRUE;
      break;
    case HSE_REQ_KARVEL_START_PROGRAM:
      if (ProgramRunning(context->program)) return FailWithError(ERROR_INVALID_PARAMETER);  // one program a request
      done = StartProgramForRequest(context->pRequest, static_cast<KARVEL_PROGRAM_START*>(buffer), &context->program);
      if (!done) return FailWithError(ERROR_INVALID_PARAMETER);
      break;
    case HSE_REQ_KARVEL_PROGRAM_DONE:
      done = ReportProgramDone(context->pRequest, static_cast<const KARVEL_PROGRAM_DONE*>(buffer), &context->program);
      if (!done) return FailWithError(ERROR_INVALID_PARAMETER);
      break;
    case HSE_REQ_KARVEL_FAILURE: {
      if (buffer == nullptr) return FailWithError(ERROR_INVALID_PARAMETER);
      const int errorDocument = TakeFailureReport(context->pRequest, *static_cast<const KARVEL_REQUEST_FAILURE*>(buffer),
                                                  context->program.bFailureLogged);
      context->reply.bFailureTold = true;
      if (errorDocument != 0) LeaveReplyToServer(&context->reply, errorDocument);
      done = TRUE;
      break;
    }
    case HSE_REQ_KARVEL_WARNING:
      if (buffer == nullptr) return FailWithError(ERROR_INVALID_PARAMETER);
      TakeWarningReport(context->pRequest, *static_cast<const KARVEL_REQUEST_WARNING*>(buffer));
      done = TRUE;
      break;
    case HSE_REQ_KARVEL_PROGRAM_STATE:
      done = ProgramState(&context->program, static_cast<DWORD*>(buffer), size);
      if (!done) return FailWithError(ERROR_INVALID_PARAMETER);
      break;
    default:
      return FailWithError(ERROR_INVALID_PARAMETER);
  }
  if (done) ClearHostError();
  return done;
}

// cbTotalBytes: Content-Length, or unknown (0xFFFFFFFF) for a chunked body or one of 4 GiB and more.
DWORD DeclaredBodyLength(request_rec* r, bool* hasBody) {
  *hasBody = true;
  if (apr_table_get(r->headers_in, "Transfer-Encoding") != nullptr) return kUnknownLength;
  const char* declared = apr_table_get(r->headers_in, "Content-Length");
  apr_off_t length = 0;
  if (declared == nullptr || apr_strtoff(&length, declared, nullptr, 10) != APR_SUCCESS || length <= 0) {
    *hasBody = false;  // Apache refused malformed lengths before the handler runs
    return 0;
  }
  return length >= static_cast<apr_off_t>(kUnknownLength) ? kUnknownLength : static_cast<DWORD>(length);
}

char* PoolCopy(apr_pool_t* pool, const char* text) { return apr_pstrdup(pool, text != nullptr ? text : ""); }

// Reads ahead and fills the control block; an HTTP status when the body cannot be read at all.
int PrepareControlBlock(RequestContext* context) {
  request_rec* r = context->pRequest;
  EXTENSION_CONTROL_BLOCK* ecb = &context->ecb;
  bool hasBody = false;
  ecb->cbTotalBytes = DeclaredBodyLength(r, &hasBody);
  ecb->lpbData = static_cast<LPBYTE>(apr_palloc(r->pool, hasBody ? kPreloadBytes : 1));
  ecb->cbAvailable = 0;
  if (hasBody) {
    const apr_size_t got = ReadBody(context, reinterpret_cast<char*>(ecb->lpbData), kPreloadBytes);
    if (got == 0 && context->nBodyError == AP_FILTER_ERROR) return ap_map_http_request_error(context->nBodyError, HTTP_BAD_REQUEST);
    ecb->cbAvailable = static_cast<DWORD>(got);
    // A chunked body that ended within the read-ahead has a known length after all.
    if (ecb->cbTotalBytes == kUnknownLength && context->bBodyEnded && context->nBodyError == APR_SUCCESS) {
      ecb->cbTotalBytes = static_cast<DWORD>(got);
    }
  } else {
    context->bBodyEnded = true;
  }
  ecb->cbSize = sizeof(EXTENSION_CONTROL_BLOCK);
  ecb->dwVersion = (HSE_VERSION_MAJOR << 16) | HSE_VERSION_MINOR;
  ecb->dwHttpStatusCode = 200;
  ecb->lpszMethod = PoolCopy(r->pool, r->method);
  ecb->lpszQueryString = PoolCopy(r->pool, r->args);
  ecb->lpszPathInfo = PoolCopy(r->pool, context->paths.szPathInfo);
  ecb->lpszPathTranslated = PoolCopy(r->pool, context->paths.szPathTranslated);
  ecb->lpszContentType = PoolCopy(r->pool, apr_table_get(r->headers_in, "Content-Type"));
  ecb->GetServerVariable = GetServerVariableCallback;
  ecb->WriteClient = WriteClientCallback;
  ecb->ReadClient = ReadClientCallback;
  ecb->ServerSupportFunction = ServerSupportFunctionCallback;
  return OK;
}

// Keeps a ConnID live exactly as long as HttpExtensionProc runs.
struct ConnectionGuard {
  uintptr_t nId;
  explicit ConnectionGuard(RequestContext* context) : nId(RegisterConnection(context)) {}
  ~ConnectionGuard() {
    if (nId != 0) UnregisterConnection(nId);
  }
  ConnectionGuard(const ConnectionGuard&) = delete;
  ConnectionGuard& operator=(const ConnectionGuard&) = delete;
};
}  // namespace

int RunExtension(request_rec* r, LoadedExtension* extension, const ScriptPaths* paths) {
  auto* context = static_cast<RequestContext*>(apr_pcalloc(r->pool, sizeof(RequestContext)));
  context->pRequest = r;
  context->program.nSocket = -1;
  context->program.nChannel = -1;
  context->paths = *paths;
  context->pBodyIn = apr_brigade_create(r->pool, r->connection->bucket_alloc);
  StartReply(&context->reply, r);
  const int prepared = PrepareControlBlock(context);
  if (prepared != OK) {
    // Refused before the extension ran (the body over the server's limit): noted all the same.
    apr_table_setn(r->notes, "karvel-result", "form-error");
    return prepared;
  }

  DWORD result = HSE_STATUS_ERROR;
  {
    ConnectionGuard connection(context);
    if (connection.nId == 0) return HTTP_SERVICE_UNAVAILABLE;
    context->ecb.ConnID = reinterpret_cast<HCONN>(connection.nId);
    result = extension->pfnHttpExtensionProc(&context->ecb);
  }
  EndProgramRun(r, &context->program);
  if (result == HSE_STATUS_PENDING) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "%s asked for asynchronous completion, which this host does not offer",
                  extension->szPath);
    result = HSE_STATUS_ERROR;
  }
  // Whatever the extension wants logged goes into the request's notes ("%{isapi-log}n").
  const size_t logLength = strnlen(context->ecb.lpszLogData, HSE_LOG_BUFFER_LEN);
  if (logLength > 0) apr_table_setn(r->notes, "isapi-log", apr_pstrndup(r->pool, context->ecb.lpszLogData, logLength));
  return FinishReply(&context->reply, result, extension->szPath);
}
