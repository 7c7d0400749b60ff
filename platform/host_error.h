// The error code of the server's last failed callback on this thread. On Windows that is
// GetLastError, which the server sets. Here the extension keeps its own last-error slot, apart
// from the server's: a host of ours offers its code through KarvelHostLastError, which is looked
// up once; under another host it is this extension's own GetLastError.
#ifndef KARVEL_PLATFORM_HOST_ERROR_H
#define KARVEL_PLATFORM_HOST_ERROR_H

#include "platform/win32.h"

#ifdef _WIN32
inline DWORD GetHostLastError() { return GetLastError(); }
#else
DWORD GetHostLastError();
#endif

#endif  // KARVEL_PLATFORM_HOST_ERROR_H
