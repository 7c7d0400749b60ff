// The debug-copy build leaves a copy of each finished exchange file for the back-end's author:
// "vcdebug.tmp" when a VCEXE field chose the program, else "vbdebug.tmp", in the site's debug-copy
// directory (KarvelDebugCopyDir) where it has one, else beside the back-end program. A later
// request overwrites it.
#ifndef KARVEL_GATEWAY_DEBUG_COPY_H
#define KARVEL_GATEWAY_DEBUG_COPY_H

#include "gateway/request_record.h"
#include "isapi/httpext.h"

// Where the copy goes: the site's debug-copy directory (settings.szDebugCopyDirectory), else the
// directory of the program that runs (szProgram, resolved inside the back-end directory); then the
// file name. FALSE, and no copy, when the site's directory could not be read, when without one the
// form names no program that resolves, or when the path would not fit in 259 bytes. A form never
// chooses where the server writes the request's data.
BOOL DebugCopyPath(const ExchangeRequest& request, CHAR path[MAX_PATH]);

// Copies the exchange file there (private, as the exchange file is), replacing an older copy. A
// copy that cannot be made where it should is told to the host as a warning (where, and the
// system's error); the request goes on as if it had been made.
void MakeDebugCopy(EXTENSION_CONTROL_BLOCK* ecb, const ExchangeRequest& request);

#endif  // KARVEL_GATEWAY_DEBUG_COPY_H
