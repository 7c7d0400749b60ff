// Where back-end programs may come from. A form names the program a request starts, so only
// programs inside one directory run: karvel's own rule, built on each system's path functions.
#ifndef KARVEL_PLATFORM_PROGRAM_PATH_H
#define KARVEL_PLATFORM_PROGRAM_PATH_H

#include "platform/win32.h"

// The directory of the module (shared library, DLL or program) that holds `address`, without a
// trailing separator. FALSE when it cannot be told or does not fit in `size` bytes.
BOOL GetModuleDirectoryA(const void* address, LPSTR directory, DWORD size);

// Resolves `requested` (relative paths against `directory`), following ".." and symbolic links,
// into `resolved`; TRUE only when the result is a regular, executable file inside `directory`
// (or below it) and fits in `size` bytes. Otherwise the last error says why: ERROR_FILE_NOT_FOUND
// or ERROR_PATH_NOT_FOUND when nothing is there, ERROR_ACCESS_DENIED when what is there lies
// outside or may not run, ERROR_FILENAME_EXCED_RANGE when it does not fit.
BOOL ResolveProgramInDirectory(LPCSTR directory, LPCSTR requested, LPSTR resolved, DWORD size);

// Starts `program`, as ResolveProgramInDirectory gave it, with `argument` as its one argument,
// without a shell, and does not wait for it: the file that runs is the file found at `program` now,
// and a directory on its way that was replaced by a symbolic link since it was resolved makes the
// start fail rather than run a program elsewhere. WinExec's results: above 31 when it started.
UINT StartResolvedProgram(LPCSTR program, LPCSTR argument);

#ifndef _WIN32

// Opens `path` (absolute, without a symbolic link on the way: as ResolveProgramInDirectory gives
// it) for starting it through the descriptor: each directory on the way is opened without
// following a link, so one replaced by a link after the check fails the open (ELOOP, ENOTDIR)
// rather than lead elsewhere; a file that is no regular file fails with EACCES. A close-on-exec
// O_PATH descriptor, or -1 with errno.
int OpenProgramWithoutLinks(const char* path);
// The same for a directory ("/" included): a close-on-exec O_PATH descriptor, or -1 with errno.
int OpenDirectoryWithoutLinks(const char* path);

// Whether the file of `program` (a descriptor from OpenProgramWithoutLinks) begins with "#!": a
// script is started through its descriptor kept open, the interpreter reading it at /dev/fd/N.
bool ProgramIsScript(int program);

#endif

#ifdef _WIN32

inline BOOL GetModuleDirectoryA(const void* address, LPSTR directory, DWORD size) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCSTR>(address), &module)) {
    return FALSE;
  }
  CHAR path[MAX_PATH];
  DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return FALSE;
  while (length > 0 && !IsPathSeparator(path[length - 1])) --length;
  if (length < 2 || length > size) return FALSE;
  path[length - 1] = '\0';
  lstrcpyA(directory, path);
  return TRUE;
}

inline BOOL ResolveProgramInDirectory(LPCSTR directory, LPCSTR requested, LPSTR resolved, DWORD size) {
  CHAR root[MAX_PATH];
  CHAR candidate[2 * MAX_PATH + 2];
  CHAR full[MAX_PATH];
  if (directory == nullptr || requested == nullptr || requested[0] == '\0') {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  const DWORD rootLength = GetFullPathNameA(directory, MAX_PATH, root, nullptr);
  if (rootLength == 0 || rootLength >= MAX_PATH - 1) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  if (!IsPathSeparator(root[rootLength - 1])) lstrcatA(root, "\\");
  const bool absolute = IsPathSeparator(requested[0]) || (requested[0] != '\0' && requested[1] == ':');
  if (lstrlenA(root) + lstrlenA(requested) + 1 > static_cast<int>(sizeof candidate)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  lstrcpyA(candidate, absolute ? "" : root);
  lstrcatA(candidate, requested);
  const DWORD fullLength = GetFullPathNameA(candidate, MAX_PATH, full, nullptr);
  if (fullLength == 0 || fullLength >= MAX_PATH || fullLength + 1 > size) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  // Inside means below the directory, compared without regard to case as Windows names are.
  const int prefixLength = lstrlenA(root);
  if (static_cast<int>(fullLength) <= prefixLength) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const CHAR kept = full[prefixLength];
  full[prefixLength] = '\0';
  const bool inside = lstrcmpiA(full, root) == 0;
  full[prefixLength] = kept;
  const DWORD attributes = GetFileAttributesA(full);
  // GetFileAttributesA tells why a file is not there itself.
  if (inside && attributes == INVALID_FILE_ATTRIBUTES) return FALSE;
  if (!inside || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  lstrcpyA(resolved, full);
  return TRUE;
}

// Windows keeps a program's file from being replaced while it runs, not from the check to the
// start: the path is started as it was resolved, quoted so that blanks in it cannot make another
// program run.
inline UINT StartResolvedProgram(LPCSTR program, LPCSTR argument) {
  const size_t length = static_cast<size_t>(lstrlenA(program)) + static_cast<size_t>(lstrlenA(argument)) + 4;
  CHAR* commandLine = static_cast<CHAR*>(HeapAlloc(GetProcessHeap(), 0, length));
  if (commandLine == nullptr) return 0;
  lstrcpyA(commandLine, "\"");
  lstrcatA(commandLine, program);
  lstrcatA(commandLine, "\" ");
  lstrcatA(commandLine, argument);
  const UINT started = WinExec(commandLine, SW_HIDE);
  HeapFree(GetProcessHeap(), 0, commandLine);
  return started;
}

#endif  // _WIN32

#endif  // KARVEL_PLATFORM_PROGRAM_PATH_H
