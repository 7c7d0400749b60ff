// Helpers shared by the POSIX implementations of the Win32 subset; not part of the Win32 surface.
#ifndef KARVEL_PLATFORM_POSIX_INTERNAL_H
#define KARVEL_PLATFORM_POSIX_INTERNAL_H

#include "platform/win32.h"

namespace karvel_posix {

// The Win32 error code for errno `err` from an operation on `path` (nullptr when there is none).
// ENOENT becomes ERROR_PATH_NOT_FOUND when the directory part of `path` is missing, which is the
// distinction Win32 callers test for. Errors without a close Win32 match give `fallback`.
DWORD Win32ErrorFromErrno(int err, const char* path, DWORD fallback);

}  // namespace karvel_posix

#endif  // KARVEL_PLATFORM_POSIX_INTERNAL_H
