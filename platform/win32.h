// The Win32 subset that karvel calls, under its Win32 names.
//
// On Windows this is <windows.h> itself. Elsewhere the same names are declared here and implemented
// over POSIX (platform/posix_*.cpp) with the results the callers rely on. Gateway, jpcodec and
// statusfile code include only this header and read the same on both systems.
#ifndef KARVEL_PLATFORM_WIN32_H
#define KARVEL_PLATFORM_WIN32_H

#ifdef _WIN32

#include <windows.h>

// Karvel's additions (not Win32): the path separator of this system, and whether a byte is one.
#define KARVEL_PATH_SEPARATOR '\\'
inline bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }
// wsprintfA writes at most this many bytes, the NUL included.
#define WSPRINTF_LIMIT 1024

#else  // POSIX

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// ---- Types --------------------------------------------------------------------------------------
typedef uint32_t DWORD;
typedef uint64_t ULONGLONG;
typedef int32_t BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef char CHAR;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef LONG* PLONG;
typedef DWORD* LPDWORD;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef unsigned char* LPBYTE;
typedef void* HANDLE;
typedef void* HWND;
typedef void* HGLOBAL;
typedef size_t SIZE_T;

#define WINAPI
// Guarded: APR, which the Apache host includes beside this header, has its own (equal) values.
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define MAX_PATH 260

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

// ---- Error codes (GetLastError) -----------------------------------------------------------------
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_TOO_MANY_OPEN_FILES 4
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_BAD_FORMAT 11
#define ERROR_WRITE_FAULT 29
#define ERROR_READ_FAULT 30
#define ERROR_SHARING_VIOLATION 32
#define ERROR_HANDLE_DISK_FULL 39
#define ERROR_FILE_EXISTS 80
#define ERROR_INVALID_PARAMETER 87
#define ERROR_DISK_FULL 112
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_DIR_NOT_EMPTY 145
#define ERROR_ALREADY_EXISTS 183
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_BAD_FILE_TYPE 222
#define ERROR_FILE_TOO_LARGE 223  // also ReadClient's error for a body over the server's limit
#define ERROR_BUFFER_OVERFLOW 111
#define ERROR_NO_DATA 232
#define ERROR_INVALID_INDEX 1413

DWORD GetLastError();
void SetLastError(DWORD code);

// ---- Files --------------------------------------------------------------------------------------
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu

// Opens or creates `name`. Dispositions: CREATE_NEW fails if the file exists; CREATE_ALWAYS creates
// or truncates (last error ERROR_ALREADY_EXISTS when it existed); OPEN_EXISTING fails if it does not
// exist; OPEN_ALWAYS opens or creates (ERROR_ALREADY_EXISTS when it existed); TRUNCATE_EXISTING
// truncates an existing file. Returns the handle, or INVALID_HANDLE_VALUE with the last error set.
// A read-only open whose share mode lacks FILE_SHARE_WRITE fails with ERROR_SHARING_VIOLATION
// while another process has the file open for writing (where the file system offers leases).
// Other share modes, security attributes, flags and template are accepted and not enforced.
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPVOID security, DWORD disposition,
                   DWORD flags, HANDLE templateFile);
// Reads up to `toRead` bytes; *read gets the count (0 at end of file). TRUE unless the read failed.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPVOID overlapped);
// Writes all `toWrite` bytes or fails: FALSE (e.g. ERROR_DISK_FULL) with *written the bytes that did
// reach the file.
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPVOID overlapped);
// Moves the file pointer; returns the low 32 bits of the new position (the high 32 in *distanceHigh
// when given), or INVALID_SET_FILE_POINTER with the last error set.
DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method);
// Makes the current position the file's end, cutting off what lies beyond it.
BOOL SetEndOfFile(HANDLE file);
BOOL CloseHandle(HANDLE object);
BOOL DeleteFileA(LPCSTR name);
// Copies the bytes of `from` to `to`, replacing `to` unless failIfExists.
BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists);
// Renames `from` to `to`, never replacing a file: FALSE with ERROR_ALREADY_EXISTS when something of
// that name exists (as Windows' MoveFileA), so that a rename cannot overwrite another file.
BOOL MoveFileA(LPCSTR from, LPCSTR to);

// ---- Directories --------------------------------------------------------------------------------
// $TMPDIR, else "/tmp", always ending in '/'. Returns the length without the NUL; when `size` is too
// small nothing is written and the size needed (NUL included) is returned. 0 on failure.
DWORD GetTempPathA(DWORD size, LPSTR buffer);
// Creates `dir` + prefix (its first 3 bytes) + hex number + ".tmp" (a '/' is put between when `dir`
// does not end in a separator) atomically and returns the number, which is never 0; across threads
// and processes no name is returned twice. With `unique` nonzero the name is only formed, nothing is
// created, and `unique` is returned. `out` must hold MAX_PATH bytes; 0 on failure (last error set).
UINT GetTempFileNameA(LPCSTR dir, LPCSTR prefix, UINT unique, LPSTR out);
// $WINDIR, else "/var/lib/karvel". Returns the length without the NUL; when `size` is too small
// nothing is written and the size needed (NUL included) is returned.
UINT GetWindowsDirectoryA(LPSTR buffer, UINT size);

// Creates the directory `path` (mode 0700 on POSIX: uploads are private to the server). FALSE with
// ERROR_ALREADY_EXISTS when something of that name exists, ERROR_PATH_NOT_FOUND when its parent
// does not.
BOOL CreateDirectoryA(LPCSTR path, LPVOID security);
// Removes the directory `path` if it is empty; FALSE (last error set) otherwise.
BOOL RemoveDirectoryA(LPCSTR path);

// ---- Process start ------------------------------------------------------------------------------
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
// Starts a program and does not wait for it. The program is the first token of `cmdLine` (quoted, or
// the shortest blank-ended prefix naming an existing file, or up to the first blank); everything after
// the blank that follows it is passed as ONE argument, never split further and never seen by a shell.
// The program runs in a session of its own with default signal handling, reads standard input from
// /dev/null, keeps standard output and error, and inherits no other descriptors. When it ends it is
// reaped by a thread of this process within a few milliseconds (no zombie stays). Returns a value
// above 31 on success, else ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_BAD_FORMAT or 0.
UINT WinExec(LPCSTR cmdLine, UINT show);

// Suspends the calling thread for at least `milliseconds`.
void Sleep(DWORD milliseconds);

// ---- Clock --------------------------------------------------------------------------------------
struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
typedef SYSTEMTIME* LPSYSTEMTIME;
void GetLocalTime(LPSYSTEMTIME time);
// Milliseconds of a clock that never goes back (not the time of day), wrapping at 2^32.
DWORD GetTickCount();

// ---- Memory -------------------------------------------------------------------------------------
#define HEAP_ZERO_MEMORY 0x00000008u
#define GMEM_FIXED 0x0000u
#define GMEM_MOVEABLE 0x0002u
#define GMEM_ZEROINIT 0x0040u
#define GHND (GMEM_MOVEABLE | GMEM_ZEROINIT)
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)

HANDLE GetProcessHeap();
// NULL when the memory cannot be had; HEAP_ZERO_MEMORY zero-fills.
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID memory);
// Resizes `memory` to `bytes`, its contents kept up to the smaller size (moved when it must);
// NULL, and `memory` untouched, when the memory cannot be had. No flags are supported (0).
LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID memory, SIZE_T bytes);
// NULL on failure; GMEM_ZEROINIT zero-fills. Lock gives the address, Unlock returns FALSE when the
// block is no longer locked, Free returns NULL on success.
HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
LPVOID GlobalLock(HGLOBAL memory);
BOOL GlobalUnlock(HGLOBAL memory);
HGLOBAL GlobalFree(HGLOBAL memory);

// ---- Strings ------------------------------------------------------------------------------------
int lstrlenA(LPCSTR s);  // NULL counts as empty
int lstrcmpA(LPCSTR a, LPCSTR b);
int lstrcmpiA(LPCSTR a, LPCSTR b);  // ASCII letters compare without case
LPSTR lstrcpyA(LPSTR to, LPCSTR from);
LPSTR lstrcatA(LPSTR to, LPCSTR from);
// Windows formatting (%d %i %u %x %X %c %s with '-', '0', '#', width, precision; 'l' and 'h' are
// 32- and 16-bit as on Windows). Writes at most 1024 bytes, the NUL included; returns the count
// written without the NUL.
int wsprintfA(LPSTR out, LPCSTR format, ...);
int wvsprintfA(LPSTR out, LPCSTR format, va_list args);
#define WSPRINTF_LIMIT 1024

// ---- User interface -----------------------------------------------------------------------------
#define MB_OK 0x00000000u
#define MB_ICONSTOP 0x00000010u
#define MB_ICONWARNING 0x00000030u
#define IDOK 1
// There is no desktop on a server: writes one line "caption: text" to standard error; returns IDOK.
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// ---- Karvel's additions (not Win32) -------------------------------------------------------------
#define KARVEL_PATH_SEPARATOR '/'
// Where the system looks for "the last backslash" of a path, POSIX paths may use either.
inline bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }
// A file HANDLE is its descriptor plus one (so descriptor 0 is not NULL): the host needs the
// descriptor of a file an extension hands it to send. -1 for what cannot be a file handle.
inline int DescriptorOfHandle(HANDLE file) {
  const intptr_t value = reinterpret_cast<intptr_t>(file);
  return (file == nullptr || file == INVALID_HANDLE_VALUE || value < 1 || value - 1 > 0x7FFFFFFF)
             ? -1 : static_cast<int>(value - 1);
}

#endif  // _WIN32

#endif  // KARVEL_PLATFORM_WIN32_H
