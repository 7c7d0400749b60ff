#include "gateway/error_page.h"

namespace {
// The failures that are refusals rather than pages: their status, and a header line before the
// page's own.
struct Refusal {
  LPCSTR text, status, header;
  DWORD code;
};
const Refusal kRefusals[] = {
    {ERROR_TEXT_TOO_MANY_FIELDS, "413 Request Entity Too Large", "", 413},
    {ERROR_TEXT_BUSY, "503 Service Unavailable", "Retry-After: 10\r\n", 503},
};
}  // namespace

DWORD SendErrorPage(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR text) {
  Refusal page{text, "200 Ok", "", 200};
  for (const Refusal& refusal : kRefusals) {
    if (lstrcmpA(text, refusal.text) == 0) page = refusal;
  }
  // On the stack rather than the heap: running out of memory must not cost the page. The texts are
  // short and fixed, far below wsprintfA's 1024-byte limit.
  CHAR body[2000];
  wsprintfA(body, "%sContent-Type: text/html\r\n\r\n<BODY>%s%s%s%s", page.header,
            "<center><HEAD><TITLE>V_KARVEL</TITLE></HEAD><P></P><P></P><P>", "<H1>SERVER ERROR!!!</P><P>", text,
            "</H1></P></center></BODY>");
  CHAR status[40];
  lstrcpyA(status, page.status);
  ecb->dwHttpStatusCode = page.code;
  // The header string travels in the data-type argument, as the interface lays it down.
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, status, nullptr,
                             reinterpret_cast<LPDWORD>(body));
  return HSE_STATUS_ERROR;
}
