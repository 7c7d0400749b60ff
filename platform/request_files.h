// The files of one request in the shared temporary directory: karvel's own helpers. A request's
// exchange file and upload directory are named by 64 random bits, so no client can guess another
// request's names from its own and the names never run out (GetTempFileNameA has 65 535, and a
// name taken by a file that stays is gone for good). A request that ends without a back-end ever
// seeing its files removes them again.
#ifndef KARVEL_PLATFORM_REQUEST_FILES_H
#define KARVEL_PLATFORM_REQUEST_FILES_H

#include "platform/win32.h"

// Hex digits of the random part of a name.
#define REQUEST_NAME_DIGITS 16

// Creates `directory` + `prefix` + 16 random hex digits + ".tmp" as a new, empty file (mode 0600
// on POSIX), never taking a name that exists. `directory` ends in a separator or is extended by
// one. Writes the path to `out` (MAX_PATH bytes). With `file`, the new file stays open there for
// writing (others may read it): its writer need not open it again, which would cost another
// look-up in the shared directory and, opened to truncate, force its blocks to disk at close on
// ext4. FALSE, `out` empty, *file INVALID_HANDLE_VALUE and the last error set, when the path would
// not fit or the file cannot be created.
BOOL CreateRequestFile(LPCSTR directory, LPCSTR prefix, LPSTR out, HANDLE* file = nullptr);

// Creates a request's pair of names under one new random number: first the upload directory
// "VCU" + 16 hex digits + ".tmp" (mode 0700 on POSIX) in `uploadRoot` (the site's upload
// directory; null or empty: `directory` itself), then the file "VC" + the same digits + ".tmp" in
// `directory` (as CreateRequestFile makes it, open in *file). The directory comes first so that
// nobody who sees the file appear can take the directory's name before it: a name taken by
// someone else, of either, makes both be tried anew under another number, so no name whose
// upload directory stands already is ever used. Writes the paths to `filePath` and `uploadPath`
// (MAX_PATH bytes each). FALSE, both empty, *file INVALID_HANDLE_VALUE and the last error set,
// when either would not fit or they cannot be created. Without `makeUploadDirectory` (a request
// with no body, whose uploads could come only from its query string) the directory's name is only
// checked to be free, not made: the two calls on the shared directory it saves are most of what
// the pair costs there, and the form reader makes the directory on a first upload, failing that
// upload should the name have been taken since. A directory whose ACL lets a site's user in is
// made all the same (made later, it would keep that user out). *uploadDirectoryMade (where given)
// tells whether it was made.
BOOL CreateRequestPair(LPCSTR directory, LPSTR filePath, LPSTR uploadPath, HANDLE* file,
                       LPCSTR uploadRoot = nullptr, BOOL makeUploadDirectory = TRUE,
                       BOOL* uploadDirectoryMade = nullptr);

// The directory request files go to when the site names none, ending in a separator: the
// system's temporary directory (GetTempPathA), unless other users may write to it (a shared,
// sticky /tmp): then the server user's own directory inside it, "karvel-<uid>", made mode 0700
// when missing. One that exists but is not a directory of the server's user, of mode 0700, is
// refused: someone else put it there, and could read or take every request's names. FALSE, the
// last error set, when no such directory can be had or the path does not fit in MAX_PATH.
BOOL GetServerTempPath(CHAR out[MAX_PATH]);

// Deletes the files directly inside `directory`, then the directory; sub-directories stay (and
// keep it). TRUE when the directory is gone.
BOOL RemoveRequestDirectory(LPCSTR directory);

#ifdef _WIN32

#include <ntsecapi.h>  // RtlGenRandom (advapi32): the system's random source

inline BOOL CreateRequestFile(LPCSTR directory, LPCSTR prefix, LPSTR out, HANDLE* file) {
  out[0] = '\0';
  if (file != nullptr) *file = INVALID_HANDLE_VALUE;
  const int dirLength = lstrlenA(directory);
  const bool addSeparator = dirLength > 0 && !IsPathSeparator(directory[dirLength - 1]);
  const int prefixLength = lstrlenA(prefix);
  if (dirLength + (addSeparator ? 1 : 0) + prefixLength + REQUEST_NAME_DIGITS + 4 + 1 > MAX_PATH) {
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return FALSE;
  }
  CHAR path[MAX_PATH];
  for (int attempt = 0; attempt < 16; ++attempt) {
    unsigned long long number = 0;
    if (!RtlGenRandom(&number, sizeof number)) return FALSE;
    wsprintfA(path, "%s%s%s%08lX%08lX.tmp", directory, addSeparator ? "\\" : "", prefix,
              static_cast<unsigned long>(number >> 32), static_cast<unsigned long>(number & 0xFFFFFFFFu));
    HANDLE made = CreateFileA(path, GENERIC_WRITE, file != nullptr ? FILE_SHARE_READ : 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (made != INVALID_HANDLE_VALUE) {
      if (file != nullptr) {
        *file = made;
      } else {
        CloseHandle(made);
      }
      lstrcpyA(out, path);
      return TRUE;
    }
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) return FALSE;
  }
  return FALSE;
}

inline BOOL CreateRequestPair(LPCSTR directory, LPSTR filePath, LPSTR uploadPath, HANDLE* file, LPCSTR uploadRoot,
                              BOOL makeUploadDirectory, BOOL* uploadDirectoryMade) {
  if (uploadDirectoryMade != nullptr) *uploadDirectoryMade = FALSE;
  filePath[0] = '\0';
  uploadPath[0] = '\0';
  *file = INVALID_HANDLE_VALUE;
  if (uploadRoot == nullptr || uploadRoot[0] == '\0') uploadRoot = directory;
  const int dirLength = lstrlenA(directory);
  const bool addSeparator = dirLength > 0 && !IsPathSeparator(directory[dirLength - 1]);
  const int rootLength = lstrlenA(uploadRoot);
  const bool addRootSeparator = rootLength > 0 && !IsPathSeparator(uploadRoot[rootLength - 1]);
  if (dirLength + (addSeparator ? 1 : 0) + 2 + REQUEST_NAME_DIGITS + 4 + 1 > MAX_PATH ||
      rootLength + (addRootSeparator ? 1 : 0) + 3 + REQUEST_NAME_DIGITS + 4 + 1 > MAX_PATH) {
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return FALSE;
  }
  CHAR uploads[MAX_PATH];
  CHAR path[MAX_PATH];
  for (int attempt = 0; attempt < 16; ++attempt) {
    unsigned long long number = 0;
    if (!RtlGenRandom(&number, sizeof number)) return FALSE;
    const unsigned long high = static_cast<unsigned long>(number >> 32);
    const unsigned long low = static_cast<unsigned long>(number & 0xFFFFFFFFu);
    wsprintfA(uploads, "%s%sVCU%08lX%08lX.tmp", uploadRoot, addRootSeparator ? "\\" : "", high, low);
    wsprintfA(path, "%s%sVC%08lX%08lX.tmp", directory, addSeparator ? "\\" : "", high, low);
    if (!makeUploadDirectory) {
      if (GetFileAttributesA(uploads) != INVALID_FILE_ATTRIBUTES) continue;
      if (GetLastError() != ERROR_FILE_NOT_FOUND) return FALSE;
    } else if (!CreateDirectoryA(uploads, nullptr)) {
      if (GetLastError() == ERROR_ALREADY_EXISTS) continue;
      return FALSE;
    }
    HANDLE made = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (made == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (makeUploadDirectory) RemoveDirectoryA(uploads);
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
      SetLastError(error);
      return FALSE;
    }
    *file = made;
    lstrcpyA(filePath, path);
    lstrcpyA(uploadPath, uploads);
    if (uploadDirectoryMade != nullptr) *uploadDirectoryMade = makeUploadDirectory;
    return TRUE;
  }
  SetLastError(ERROR_FILE_EXISTS);
  return FALSE;
}

// Windows keeps each user's temporary directory private already.
inline BOOL GetServerTempPath(CHAR out[MAX_PATH]) {
  const DWORD length = GetTempPathA(MAX_PATH, out);
  return length != 0 && length < MAX_PATH;
}

inline BOOL RemoveRequestDirectory(LPCSTR directory) {
  CHAR pattern[MAX_PATH + 4];
  const int length = lstrlenA(directory);
  if (length == 0 || length + 3 > MAX_PATH) return FALSE;
  lstrcpyA(pattern, directory);
  lstrcatA(pattern, IsPathSeparator(directory[length - 1]) ? "*" : "\\*");
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern, &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      CHAR file[2 * MAX_PATH];
      lstrcpyA(file, pattern);
      file[lstrlenA(file) - 1] = '\0';  // the directory with its separator
      if (lstrlenA(file) + lstrlenA(found.cFileName) < MAX_PATH) {
        lstrcatA(file, found.cFileName);
        DeleteFileA(file);
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  return RemoveDirectoryA(directory);
}

#endif  // _WIN32

#endif  // KARVEL_PLATFORM_REQUEST_FILES_H
