// Helpers shared by the POSIX implementations of the Win32 subset; not part of the Win32 surface.
#ifndef KARVEL_PLATFORM_POSIX_INTERNAL_H
#define KARVEL_PLATFORM_POSIX_INTERNAL_H

#include <cstdint>

#include "platform/win32.h"

namespace karvel_posix {

// The Win32 error code for errno `err` from an operation on `path` (nullptr when there is none).
// ENOENT becomes ERROR_PATH_NOT_FOUND when the directory part of `path` is missing, which is the
// distinction Win32 callers test for. Errors without a close Win32 match give `fallback`.
DWORD Win32ErrorFromErrno(int err, const char* path, DWORD fallback);

// The file handle of descriptor `fd`: the descriptor plus one, so that descriptor 0 is not NULL and
// no descriptor is INVALID_HANDLE_VALUE.
inline HANDLE HandleFromFd(int fd) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd) + 1); }

// The kind of program (a WindowsMachine) that this thread's last resolution of a program gave, when
// that resolution was of `path` and its kind is known: the file was looked at as it resolved (its
// identity, size and times unchanged), and the kind is taken once, by the look that follows the
// resolution. NoteResolvedKind keeps the kind found for that resolution's file.
bool ResolvedKind(const char* path, int* kind);
void NoteResolvedKind(const char* path, int kind);

}  // namespace karvel_posix

#endif  // KARVEL_PLATFORM_POSIX_INTERNAL_H
