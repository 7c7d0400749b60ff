// The debug-copy build leaves a copy of each finished exchange file beside the back-end program:
// "vcdebug.tmp" when a VCEXE field chose it, else "vbdebug.tmp". A later request overwrites it.
#ifndef KARVEL_GATEWAY_DEBUG_COPY_H
#define KARVEL_GATEWAY_DEBUG_COPY_H

#include "gateway/request_record.h"

// Where the copy goes: the directory of the program that runs (szProgram, resolved inside the
// back-end directory), then the file name. FALSE, and no copy, when the form names no program that
// resolves there, or the path would not fit in 259 bytes.
BOOL DebugCopyPath(const ExchangeRequest& request, CHAR path[MAX_PATH]);

// Copies the exchange file there (private, as the exchange file is), replacing an older copy; a
// failed copy goes unnoticed.
void MakeDebugCopy(const ExchangeRequest& request);

#endif  // KARVEL_GATEWAY_DEBUG_COPY_H
