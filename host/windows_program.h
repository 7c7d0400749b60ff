// Telling a Windows program from any other, and how a program under Wine names a Linux file.
// Plain POSIX; no Apache.
#ifndef KARVEL_HOST_WINDOWS_PROGRAM_H
#define KARVEL_HOST_WINDOWS_PROGRAM_H

#include <cstddef>

// Whether the file at `path` is a Windows executable: "MZ", and at the offset in bytes 0x3C-0x3F
// (little-endian) the signature "PE\0\0". Its name does not count: an "order.exe" that is a script
// is none, a PE file named otherwise is one.
bool IsWindowsExecutable(const char* path);

// The absolute Linux path `path` as a Windows program under Wine opens it: drive Z: (the root of
// the Linux file system in every prefix) and '\' for '/'. False, with nothing written, when `path`
// is not absolute or the result does not fit in `room` bytes with its NUL.
bool WindowsPathOf(const char* path, char* out, size_t room);

#endif  // KARVEL_HOST_WINDOWS_PROGRAM_H
