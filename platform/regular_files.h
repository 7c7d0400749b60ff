// Opening a file that a back-end program controls: the exchange file once the program has it, the
// file an answer names. Such a path may name anything the program chose: a FIFO, whose open would
// wait for a writer that never comes and hold the request's worker with it, a device that never
// ends (/dev/zero), a socket, a directory. Only a regular file is an answer.
#ifndef KARVEL_PLATFORM_REGULAR_FILES_H
#define KARVEL_PLATFORM_REGULAR_FILES_H

#include "platform/win32.h"

// Opens the existing file `name` as CreateFileA(name, access, share, nullptr, OPEN_EXISTING, ...)
// does, share rules included (ERROR_SHARING_VIOLATION while a writer holds it), but only when it is
// a regular file (a symbolic link counts as what it leads to), and without ever waiting on it.
// Anything else is refused, INVALID_HANDLE_VALUE with ERROR_BAD_FILE_TYPE, and never read.
HANDLE OpenRegularFile(LPCSTR name, DWORD access, DWORD share);

// As OpenRegularFile, but a symbolic link at `name` is refused as no regular file, never followed:
// the exchange file a program answered is the file it wrote, not one its link would make the
// server read for it.
HANDLE OpenRegularFileItself(LPCSTR name, DWORD access, DWORD share);

#ifdef _WIN32

// Windows names no FIFO or device by an ordinary path, and refuses to open a directory without
// FILE_FLAG_BACKUP_SEMANTICS; what opens as anything but a disk file (a pipe, CON, NUL, COM1) is
// refused all the same.
inline HANDLE OpenRegularFile(LPCSTR name, DWORD access, DWORD share) {
  HANDLE file = CreateFileA(name, access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_ARCHIVE, nullptr);
  if (file == INVALID_HANDLE_VALUE || GetFileType(file) == FILE_TYPE_DISK) return file;
  CloseHandle(file);
  SetLastError(ERROR_BAD_FILE_TYPE);
  return INVALID_HANDLE_VALUE;
}

// A Windows program renames its answer over the file; no link of a POSIX kind is made there.
inline HANDLE OpenRegularFileItself(LPCSTR name, DWORD access, DWORD share) { return OpenRegularFile(name, access, share); }

#endif  // _WIN32

#endif  // KARVEL_PLATFORM_REGULAR_FILES_H
