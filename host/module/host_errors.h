// The error code of the host's last failed callback on this thread, as an extension on Windows
// reads it with GetLastError. An extension built with our platform layer keeps its own last-error
// slot, so on Linux the host offers the code through the exported KarvelHostLastError().
#ifndef KARVEL_HOST_HOST_ERRORS_H
#define KARVEL_HOST_HOST_ERRORS_H

#include "isapi/karvel_host.h"

#ifndef ERROR_INVALID_INDEX
#define ERROR_INVALID_INDEX 1413
#endif
#ifndef ERROR_NO_DATA
#define ERROR_NO_DATA 232
#endif
#ifndef ERROR_NETNAME_DELETED
#define ERROR_NETNAME_DELETED 64
#endif

// Records `code` for this thread and returns FALSE, so a failing callback can
// `return FailWithError(...)`.
BOOL FailWithError(DWORD code);
void ClearHostError();

#endif  // KARVEL_HOST_HOST_ERRORS_H
