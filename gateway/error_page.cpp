#include "gateway/error_page.h"

#include "isapi/karvel_host.h"

namespace {

const FailureClass kClasses[kFailureKindCount] = {
    {502, "502 Bad Gateway", "not-allowed", "a site setting cannot be read or does not fit"},
    {500, "500 Internal Server Error", "temp-error", "the exchange file or an upload cannot be made or written"},
    {400, "400 Bad Request", "form-error", "the request body did not arrive whole"},
    {413, "413 Request Entity Too Large", "form-error", "the request body is over the server's limit"},
    {400, "400 Bad Request", "form-error", "the form cannot be read (a field name of 256 bytes or more, or no memory)"},
    {413, "413 Request Entity Too Large", "too-many-fields", "the form sends more fields than KarvelMaxFields allows"},
    {400, "400 Bad Request", "no-backend-field", "the form names no program (no VCEXE or VBEXE value)"},
    {502, "502 Bad Gateway", "not-found", "no such program in the back-end directory"},
    {502, "502 Bad Gateway", "not-allowed",
     "the program lies outside the back-end directory, or is no file the server may run"},
    {502, "502 Bad Gateway", "start-failed", "the program could not be started"},
    {503, "503 Service Unavailable", "503", "no slot for another program came free in time"},
    {502, "502 Bad Gateway", "exited", "the program ended without an answer"},
    {504, "504 Gateway Timeout", "timeout", "the program did not answer in time"},
    {500, "500 Internal Server Error", "answer-error", "the program's answer cannot be sent"},
    {0, "", "client-gone", "the client left before its reply"},
};

// The statuses the pages always had: 200, but for the two refusals clients and proxies must see.
struct LegacyStatus {
  LPCSTR text, status, header;
  DWORD code;
};
const LegacyStatus kLegacyRefusals[] = {
    {ERROR_TEXT_TOO_MANY_FIELDS, "413 Request Entity Too Large", "", 413},
    {ERROR_TEXT_BUSY, "503 Service Unavailable", "Retry-After: 10\r\n", 503},
};
constexpr char kRetryAfter[] = "Retry-After: 10\r\n";

// The kind a text alone tells, for callers that know no more.
FailureKind KindOfText(LPCSTR text) {
  if (lstrcmpA(text, ERROR_TEXT_TOO_MANY_FIELDS) == 0) return kFailureTooManyFields;
  if (lstrcmpA(text, ERROR_TEXT_BUSY) == 0) return kFailureBusy;
  if (lstrcmpA(text, ERROR_TEXT_TIME_OUT) == 0) return kFailureTimeOut;
  if (lstrcmpA(text, ERROR_TEXT_IMAGE) == 0) return kFailureAnswer;
  if (lstrcmpA(text, ERROR_TEXT_KEY_CREATE) == 0) return kFailureNoBackendField;
  if (lstrcmpA(text, ERROR_TEXT_EXE_LOAD) == 0) return kFailureStartFailed;
  return kFailureTempFile;
}

// Copies at most size - 1 bytes of `text` and ends them.
void CopyCut(LPSTR out, LPCSTR text, int size) {
  int k = 0;
  for (; k + 1 < size && text[k] != '\0'; ++k) out[k] = text[k];
  out[k] = '\0';
}

// "TEXT PROGRAM" into the log data, cut to its room.
void FillLogData(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR text, LPCSTR program) {
  CopyCut(ecb->lpszLogData, text, HSE_LOG_BUFFER_LEN);
  if (program == nullptr || program[0] == '\0') return;
  const int used = lstrlenA(ecb->lpszLogData);
  if (used + 2 >= HSE_LOG_BUFFER_LEN) return;
  ecb->lpszLogData[used] = ' ';
  CopyCut(ecb->lpszLogData + used + 1, program, HSE_LOG_BUFFER_LEN - used - 1);
}

}  // namespace

const FailureClass& ClassOfFailure(FailureKind kind) {
  return kClasses[kind >= 0 && kind < kFailureKindCount ? kind : kFailureTempFile];
}

DWORD SendFailurePage(EXTENSION_CONTROL_BLOCK* ecb, const RequestFailure& failure) {
  const FailureClass& kind = ClassOfFailure(failure.nKind);
  const bool page = failure.nKind != kFailureClientGone && failure.szText != nullptr;
  LegacyStatus sent{failure.szText, "200 Ok", "", 200};
  if (failure.bHttpStatus) {
    sent = LegacyStatus{failure.szText, kind.szStatusLine, failure.nKind == kFailureBusy ? kRetryAfter : "",
                        kind.dwStatus};
  } else if (page) {
    for (const LegacyStatus& refusal : kLegacyRefusals) {
      if (lstrcmpA(failure.szText, refusal.text) == 0) sent = refusal;
    }
  }
  // Copies the host may read however it likes: the request's own strings stay untouched.
  CHAR result[32], program[MAX_PATH], reason[160];
  CopyCut(result, kind.szResult, static_cast<int>(sizeof result));
  CopyCut(program, failure.szProgram != nullptr ? failure.szProgram : "", static_cast<int>(sizeof program));
  CopyCut(reason, kind.szReason, static_cast<int>(sizeof reason));
  KARVEL_REQUEST_FAILURE told{result,          page ? failure.szText : nullptr,
                              program[0] != '\0' ? program : nullptr,
                              reason,          failure.dwError,
                              page ? sent.code : 0,
                              failure.bHttpStatus ? TRUE : FALSE};
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_KARVEL_FAILURE, &told, nullptr, nullptr);
  FillLogData(ecb, page ? failure.szText : kind.szResult, program);
  if (!page) return HSE_STATUS_ERROR;
  // On the stack rather than the heap: running out of memory must not cost the page. The texts are
  // short and fixed, far below wsprintfA's 1024-byte limit.
  CHAR body[2000];
  wsprintfA(body, "%sContent-Type: text/html\r\n\r\n<BODY>%s%s%s%s", sent.header,
            "<center><HEAD><TITLE>V_KARVEL</TITLE></HEAD><P></P><P></P><P>", "<H1>SERVER ERROR!!!</P><P>",
            failure.szText, "</H1></P></center></BODY>");
  CHAR status[40];
  CopyCut(status, sent.status, static_cast<int>(sizeof status));
  ecb->dwHttpStatusCode = sent.code;
  // The header string travels in the data-type argument, as the interface lays it down.
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, status, nullptr,
                             reinterpret_cast<LPDWORD>(body));
  return HSE_STATUS_ERROR;
}

DWORD SendErrorPage(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR text) {
  return SendFailurePage(ecb, RequestFailure{KindOfText(text), text, nullptr, 0, false});
}
