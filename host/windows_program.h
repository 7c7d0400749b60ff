// Telling a Windows program from any other, and how a program under Wine names a Linux file.
// Plain POSIX; no Apache.
#ifndef KARVEL_HOST_WINDOWS_PROGRAM_H
#define KARVEL_HOST_WINDOWS_PROGRAM_H

#include <cstddef>

enum WindowsMachine { kNotWindows, kWindows32, kWindows64 };

// Whether the file at `path` is a Windows executable: "MZ", and at the offset in bytes 0x3C-0x3F
// (little-endian) the signature "PE\0\0"; then by the machine field after it, whether it is a
// 64-bit (x86-64) program or another (i386). Its name does not count: an "order.exe" that is a
// script is none, a PE file named otherwise is one.
WindowsMachine WindowsExecutableKind(const char* path);
inline bool IsWindowsExecutable(const char* path) { return WindowsExecutableKind(path) != kNotWindows; }

// The absolute Linux path `path` as a Windows program under Wine opens it: drive Z: (the root of
// the Linux file system in every prefix) and '\' for '/'. False, with nothing written, when `path`
// is not absolute or the result does not fit in `room` bytes with its NUL.
bool WindowsPathOf(const char* path, char* out, size_t room);

#endif  // KARVEL_HOST_WINDOWS_PROGRAM_H
