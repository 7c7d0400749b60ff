// The page every failure of a request is answered with.
#ifndef KARVEL_GATEWAY_ERROR_PAGE_H
#define KARVEL_GATEWAY_ERROR_PAGE_H

#include "isapi/httpext.h"

// The failure texts, as the browser shows them.
#define ERROR_TEXT_TEMP_OPEN "TempOenError"
#define ERROR_TEXT_TEMP_WRITE "TempWriteError"
#define ERROR_TEXT_KEY_CREATE "KeyCreateError"
#define ERROR_TEXT_EXE_LOAD "EXE Load Error(Exe Load Error)"
#define ERROR_TEXT_TIME_OUT "EXE Load Error(Time Out)"
#define ERROR_TEXT_IMAGE "Emage Error"

// Sends status "200 Ok" with the page naming `text` as the header string (its Content-Type line,
// the empty line and the HTML), sets dwHttpStatusCode to 200, and returns HSE_STATUS_ERROR: the
// browser sees an ordinary page while the server is told the request failed.
DWORD SendErrorPage(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR text);

#endif  // KARVEL_GATEWAY_ERROR_PAGE_H
