// The page every failure of a request is answered with.
#ifndef KARVEL_GATEWAY_ERROR_PAGE_H
#define KARVEL_GATEWAY_ERROR_PAGE_H

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

// Sends status "200 Ok" (413 for ERROR_TEXT_TOO_MANY_FIELDS, 503 for ERROR_TEXT_BUSY) with the page
// naming `text` as the header string (its Content-Type line, the empty line and the HTML), sets dwHttpStatusCode to
// that status, and returns HSE_STATUS_ERROR: the browser sees an ordinary page while the server is
// told the request failed.
DWORD SendErrorPage(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR text);

#endif  // KARVEL_GATEWAY_ERROR_PAGE_H
