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
// (or below it) and fits in `size` bytes.
BOOL ResolveProgramInDirectory(LPCSTR directory, LPCSTR requested, LPSTR resolved, DWORD size);

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
  if (directory == nullptr || requested == nullptr || requested[0] == '\0') return FALSE;
  const DWORD rootLength = GetFullPathNameA(directory, MAX_PATH, root, nullptr);
  if (rootLength == 0 || rootLength >= MAX_PATH - 1) return FALSE;
  if (!IsPathSeparator(root[rootLength - 1])) lstrcatA(root, "\\");
  const bool absolute = IsPathSeparator(requested[0]) || (requested[0] != '\0' && requested[1] == ':');
  if (lstrlenA(root) + lstrlenA(requested) + 1 > static_cast<int>(sizeof candidate)) return FALSE;
  lstrcpyA(candidate, absolute ? "" : root);
  lstrcatA(candidate, requested);
  const DWORD fullLength = GetFullPathNameA(candidate, MAX_PATH, full, nullptr);
  if (fullLength == 0 || fullLength >= MAX_PATH || fullLength + 1 > size) return FALSE;
  // Inside means below the directory, compared without regard to case as Windows names are.
  const int prefixLength = lstrlenA(root);
  if (static_cast<int>(fullLength) <= prefixLength) return FALSE;
  const CHAR kept = full[prefixLength];
  full[prefixLength] = '\0';
  const bool inside = lstrcmpiA(full, root) == 0;
  full[prefixLength] = kept;
  const DWORD attributes = GetFileAttributesA(full);
  if (!inside || attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return FALSE;
  lstrcpyA(resolved, full);
  return TRUE;
}

#endif  // _WIN32

#endif  // KARVEL_PLATFORM_PROGRAM_PATH_H
