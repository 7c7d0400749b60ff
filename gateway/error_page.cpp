#include "gateway/error_page.h"

DWORD SendErrorPage(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR text) {
  // On the stack rather than the heap: running out of memory must not cost the page. The texts are
  // short and fixed, far below wsprintfA's 1024-byte limit.
  CHAR page[2000];
  wsprintfA(page, "Content-Type: text/html\r\n\r\n<BODY>%s%s%s%s",
            "<center><HEAD><TITLE>V_KARVEL</TITLE></HEAD><P></P><P></P><P>", "<H1>SERVER ERROR!!!</P><P>", text,
            "</H1></P></center></BODY>");
  const bool refused = lstrcmpA(text, ERROR_TEXT_TOO_MANY_FIELDS) == 0;
  CHAR status[40];
  lstrcpyA(status, refused ? "413 Request Entity Too Large" : "200 Ok");
  ecb->dwHttpStatusCode = refused ? 413 : 200;
  // The header string travels in the data-type argument, as the interface lays it down.
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, status, nullptr,
                             reinterpret_cast<LPDWORD>(page));
  return HSE_STATUS_ERROR;
}
