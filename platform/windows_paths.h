// Windows paths that reach the server from back-end programs run under Wine (a form's
// "C:\apps\order.exe", an answer naming "Z:\tmp\chart.gif"), as files of this system. On Windows
// such paths are the files themselves: there is nothing to map, and these answer FALSE.
#ifndef KARVEL_PLATFORM_WINDOWS_PATHS_H
#define KARVEL_PLATFORM_WINDOWS_PATHS_H

#include "platform/win32.h"

// Whether `path` begins with a drive: a letter, ':' and '\' or '/'.
inline bool IsDrivePath(LPCSTR path) {
  return path != nullptr && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
         path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

// The absolute path `path` as a program under Wine opens it: drive Z: (the root of this file
// system in every prefix) and '\' for '/'. FALSE, with nothing written, when `path` is not absolute
// or the result does not fit in `room` bytes with its NUL.
inline BOOL WindowsPathOf(LPCSTR path, LPSTR out, size_t room) {
  size_t length = 0;
  while (path[length] != '\0') ++length;
  if (path[0] != '/' || length + 3 > room) return FALSE;
  out[0] = 'Z';
  out[1] = ':';
  for (size_t k = 0; k <= length; ++k) out[2 + k] = path[k] == '/' ? '\\' : path[k];
  return TRUE;
}

// Maps `windowsPath` through `table`, lines "WINDOWS-DIRECTORY|DIRECTORY" (the operator's
// KarvelWindowsPath settings): the longest Windows directory that begins the path, compared without
// regard to case and with '\' and '/' alike, is replaced by its directory, and the rest is found
// there as Windows would find it (each name exactly, else without regard to case). TRUE with the
// result in `out` (`size` bytes); FALSE when no line matches or it does not fit.
BOOL MapWindowsPath(LPCSTR table, LPCSTR windowsPath, LPSTR out, DWORD size);

// Maps `windowsPath` through the drive letters of the Wine prefix `prefix` (its dosdevices links,
// the letter in either case), the rest found as MapWindowsPath finds it.
BOOL WineDrivePath(LPCSTR prefix, LPCSTR windowsPath, LPSTR out, DWORD size);

enum WindowsMachine { kNotWindows, kWindows32, kWindows64 };

// Whether the file at `path` is a Windows executable: "MZ", and at the offset in bytes 0x3C-0x3F
// (little-endian) the signature "PE\0\0"; then by the machine field after it, whether it is a
// 64-bit (x86-64) program or another (i386). Its name does not count: an "order.exe" that is a
// script is none, a PE file named otherwise is one.
WindowsMachine WindowsExecutableKind(LPCSTR path);
inline BOOL IsWindowsProgramFile(LPCSTR path) { return WindowsExecutableKind(path) != kNotWindows; }

#ifdef _WIN32
inline BOOL MapWindowsPath(LPCSTR, LPCSTR, LPSTR, DWORD) { return FALSE; }
inline BOOL WineDrivePath(LPCSTR, LPCSTR, LPSTR, DWORD) { return FALSE; }
inline WindowsMachine WindowsExecutableKind(LPCSTR) { return kNotWindows; }
#endif

#endif  // KARVEL_PLATFORM_WINDOWS_PATHS_H
