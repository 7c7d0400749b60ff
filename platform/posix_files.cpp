// File handles over POSIX descriptors: CreateFileA, OpenRegularFile, ReadFile, WriteFile, SetFilePointer,
// SetEndOfFile, CloseHandle, DeleteFileA, CopyFileA, MoveFileA.
//
// A handle is the descriptor plus one, so descriptor 0 does not become NULL and no descriptor can
// become INVALID_HANDLE_VALUE (-1). Every descriptor is opened close-on-exec, so programs started by
// WinExec never inherit the server's files.
#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdint>
#include <limits>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix_internal.h"
#include "platform/regular_files.h"
#include "platform/win32.h"

using karvel_posix::HandleFromFd;
using karvel_posix::Win32ErrorFromErrno;

namespace {

// Mode of newly created files before the umask, like the default of open(2) users.
constexpr mode_t kNewFileMode = 0666;
// Largest single read/write request, below SSIZE_MAX on every platform.
constexpr size_t kMaxChunk = size_t{1} << 30;
// Bound on retries when another process creates or deletes the file between two open attempts.
constexpr int kMaxOpenRaces = 64;

// The descriptor of `file`, or -1 (last error ERROR_INVALID_HANDLE) when it cannot be one.
int FdFromHandle(HANDLE file) {
  intptr_t value = reinterpret_cast<intptr_t>(file);
  if (file == nullptr || file == INVALID_HANDLE_VALUE || value < 1 || value - 1 > INT_MAX) {
    SetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  return static_cast<int>(value - 1);
}

int OpenNoInterrupt(const char* name, int flags, mode_t mode) {
  int fd;
  do {
    fd = open(name, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Opens per the Win32 disposition. *existed tells whether the file was there before; the create
// dispositions try both ways in turn so that the answer is exact even when the file appears or
// vanishes concurrently.
int OpenWithDisposition(const char* name, int accessFlags, DWORD disposition, bool* existed) {
  *existed = false;
  switch (disposition) {
    case CREATE_NEW:
      return OpenNoInterrupt(name, accessFlags | O_CREAT | O_EXCL, kNewFileMode);
    case OPEN_EXISTING:
      *existed = true;
      return OpenNoInterrupt(name, accessFlags, 0);
    case TRUNCATE_EXISTING:
      *existed = true;
      return OpenNoInterrupt(name, accessFlags | O_TRUNC, 0);
    case CREATE_ALWAYS:
    case OPEN_ALWAYS: {
      int existingFlags = accessFlags | (disposition == CREATE_ALWAYS ? O_TRUNC : 0);
      for (int attempt = 0; attempt < kMaxOpenRaces; ++attempt) {
        int fd = OpenNoInterrupt(name, accessFlags | O_CREAT | O_EXCL, kNewFileMode);
        if (fd >= 0 || errno != EEXIST) return fd;
        fd = OpenNoInterrupt(name, existingFlags, 0);
        if (fd >= 0) {
          *existed = true;
          return fd;
        }
        if (errno != ENOENT) return -1;
      }
      errno = EEXIST;
      return -1;
    }
    default:
      errno = EINVAL;
      return -1;
  }
}

// Reads until `size` bytes or end of file; returns the count, or -1 with errno (partial count in
// *done).
ssize_t ReadFully(int fd, char* buffer, size_t size, size_t* done) {
  *done = 0;
  while (*done < size) {
    size_t chunk = size - *done;
    if (chunk > kMaxChunk) chunk = kMaxChunk;
    ssize_t n = read(fd, buffer + *done, chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    *done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(*done);
}

// Writes all `size` bytes; returns false with errno when that fails (*done holds what was written).
bool WriteFully(int fd, const char* buffer, size_t size, size_t* done) {
  *done = 0;
  while (*done < size) {
    size_t chunk = size - *done;
    if (chunk > kMaxChunk) chunk = kMaxChunk;
    ssize_t n = write(fd, buffer + *done, chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {  // no progress and no error: the device takes no more
      errno = ENOSPC;
      return false;
    }
    *done += static_cast<size_t>(n);
  }
  return true;
}


// Windows refuses a read-only open that does not share writing while another handle writes the
// file; pollers rely on it to never read an answer half-written. POSIX has no share modes, but a
// read lease is refused (EAGAIN) exactly while some process has the file open for writing. The
// lease is dropped at once; should a writer open the file in that instant, the kernel signals this
// process with SIGURG, which is ignored by default (the default SIGIO would end a server). Where
// the file system offers no leases, or the file belongs to someone else, the open goes ahead.
bool SomeoneWrites(int fd) {
  if (fcntl(fd, F_SETSIG, SIGURG) != 0) return false;
  if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    fcntl(fd, F_SETLEASE, F_UNLCK);
    return false;
  }
  return errno == EAGAIN;
}

// Clears O_NONBLOCK once a file is known to be regular, whose reads and writes never wait anyway.
bool Blocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// False, with the last error set, when `name` is something other than a regular file, or (unless
// `mayBeMissing`) nothing at all: such a name is never opened.
bool NothingButAFileAt(const char* name, bool mayBeMissing) {
  struct stat info;
  if (stat(name, &info) != 0) {
    if (mayBeMissing && errno == ENOENT) return true;
    SetLastError(Win32ErrorFromErrno(errno, name, ERROR_ACCESS_DENIED));
    return false;
  }
  if (S_ISREG(info.st_mode)) return true;
  SetLastError(ERROR_ACCESS_DENIED);
  return false;
}

// A read-only open that does not share writing finds a writer holding the file: the descriptor is
// closed and the open fails as Win32's would, with a sharing violation.
bool HeldByAWriter(int fd, int accessFlags, DWORD share) {
  if (accessFlags != O_RDONLY || (share & FILE_SHARE_WRITE) != 0 || !SomeoneWrites(fd)) return false;
  close(fd);
  SetLastError(ERROR_SHARING_VIOLATION);
  return true;
}

}  // namespace

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPVOID, DWORD disposition, DWORD, HANDLE) {
  if (name == nullptr || name[0] == '\0') {
    SetLastError(name == nullptr ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  bool wantRead = (access & GENERIC_READ) != 0;
  bool wantWrite = (access & GENERIC_WRITE) != 0;
  // Truncation changes the file, which Win32 allows only through a handle opened for writing.
  if (disposition == TRUNCATE_EXISTING && !wantWrite) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  int accessFlags = wantWrite ? (wantRead ? O_RDWR : O_WRONLY) : O_RDONLY;

  bool existed = false;
  int fd = OpenWithDisposition(name, accessFlags, disposition, &existed);
  if (fd < 0) {
    SetLastError(Win32ErrorFromErrno(errno, name, ERROR_ACCESS_DENIED));
    return INVALID_HANDLE_VALUE;
  }
  // Win32 refuses to open a directory as a file; POSIX would hand out a descriptor that fails later.
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (HeldByAWriter(fd, accessFlags, share)) return INVALID_HANDLE_VALUE;
  bool reportExisting = existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS);
  SetLastError(reportExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return HandleFromFd(fd);
}

namespace {

HANDLE OpenRegular(LPCSTR name, DWORD access, DWORD share, bool followLink) {
  if (name == nullptr || name[0] == '\0') {
    SetLastError(name == nullptr ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // Looked at before the open, so that nothing but a regular file is ever opened: opening a device
  // can do things of its own, opening a FIFO waits.
  struct stat info;
  if ((followLink ? stat(name, &info) : lstat(name, &info)) != 0) {
    SetLastError(Win32ErrorFromErrno(errno, name, ERROR_ACCESS_DENIED));
    return INVALID_HANDLE_VALUE;
  }
  if (!S_ISREG(info.st_mode)) {
    SetLastError(ERROR_BAD_FILE_TYPE);
    return INVALID_HANDLE_VALUE;
  }
  const bool wantRead = (access & GENERIC_READ) != 0;
  const bool wantWrite = (access & GENERIC_WRITE) != 0;
  const int accessFlags = wantWrite ? (wantRead ? O_RDWR : O_WRONLY) : O_RDONLY;
  // Without waiting, should the name lead elsewhere by the time of the open; what was opened decides.
  int fd = OpenNoInterrupt(name, accessFlags | O_NONBLOCK | O_NOCTTY | (followLink ? 0 : O_NOFOLLOW), 0);
  if (fd < 0 && errno == ELOOP && !followLink) {
    SetLastError(ERROR_BAD_FILE_TYPE);  // a link put there since the look
    return INVALID_HANDLE_VALUE;
  }
  if (fd < 0) {
    // A lease another process holds answers EWOULDBLOCK to a non-blocking open: someone writes it.
    SetLastError(errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : Win32ErrorFromErrno(errno, name, ERROR_ACCESS_DENIED));
    return INVALID_HANDLE_VALUE;
  }
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    SetLastError(ERROR_BAD_FILE_TYPE);
    return INVALID_HANDLE_VALUE;
  }
  // A regular file's reads never wait; the handle then behaves as every other.
  if (!Blocking(fd)) {
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (HeldByAWriter(fd, accessFlags, share)) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);
  return HandleFromFd(fd);
}

}  // namespace

HANDLE OpenRegularFile(LPCSTR name, DWORD access, DWORD share) { return OpenRegular(name, access, share, true); }

HANDLE OpenRegularFileItself(LPCSTR name, DWORD access, DWORD share) { return OpenRegular(name, access, share, false); }

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPVOID overlapped) {
  if (read != nullptr) *read = 0;
  int fd = FdFromHandle(file);
  if (fd < 0) return FALSE;
  // Overlapped reads carry their own file offset; reading at the current position instead would
  // return the wrong bytes without any sign of it.
  if (overlapped != nullptr || (buffer == nullptr && toRead > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  size_t done = 0;
  ssize_t result = ReadFully(fd, static_cast<char*>(buffer), toRead, &done);
  if (read != nullptr) *read = static_cast<DWORD>(done);
  if (result < 0) {
    SetLastError(Win32ErrorFromErrno(errno, nullptr, ERROR_READ_FAULT));
    return FALSE;
  }
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPVOID overlapped) {
  if (written != nullptr) *written = 0;
  int fd = FdFromHandle(file);
  if (fd < 0) return FALSE;
  if (overlapped != nullptr || (buffer == nullptr && toWrite > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  size_t done = 0;
  bool ok = WriteFully(fd, static_cast<const char*>(buffer), toWrite, &done);
  if (written != nullptr) *written = static_cast<DWORD>(done);
  if (!ok) {
    SetLastError(Win32ErrorFromErrno(errno, nullptr, ERROR_WRITE_FAULT));
    return FALSE;
  }
  return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
  int fd = FdFromHandle(file);
  if (fd < 0) return INVALID_SET_FILE_POINTER;
  // Without a high part the distance is a signed 32-bit value; with one, the two form a signed
  // 64-bit value.
  int64_t move = (distanceHigh == nullptr)
                     ? static_cast<int64_t>(distance)
                     : static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh))
                                             << 32) |
                                            static_cast<uint32_t>(distance));
  // The target is computed first so that a failing call leaves the position where it was.
  int64_t base = 0;
  if (method == FILE_CURRENT) {
    off_t current = lseek(fd, 0, SEEK_CUR);
    if (current < 0) {
      SetLastError(Win32ErrorFromErrno(errno, nullptr, ERROR_INVALID_PARAMETER));
      return INVALID_SET_FILE_POINTER;
    }
    base = current;
  } else if (method == FILE_END) {
    struct stat info;
    if (fstat(fd, &info) != 0) {
      SetLastError(Win32ErrorFromErrno(errno, nullptr, ERROR_INVALID_PARAMETER));
      return INVALID_SET_FILE_POINTER;
    }
    base = info.st_size;
  } else if (method != FILE_BEGIN) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  int64_t target;
  // A position that cannot be reported (negative, or beyond 32 bits without a high part) fails,
  // as on Win32.
  if (__builtin_add_overflow(base, move, &target) || target < 0 ||
      (distanceHigh == nullptr && target >= static_cast<int64_t>(INVALID_SET_FILE_POINTER)) ||
      target > static_cast<int64_t>(std::numeric_limits<off_t>::max())) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  off_t reached = lseek(fd, static_cast<off_t>(target), SEEK_SET);
  if (reached < 0) {
    SetLastError(Win32ErrorFromErrno(errno, nullptr, ERROR_INVALID_PARAMETER));
    return INVALID_SET_FILE_POINTER;
  }
  uint64_t position = static_cast<uint64_t>(reached);
  if (distanceHigh != nullptr) *distanceHigh = static_cast<LONG>(static_cast<uint32_t>(position >> 32));
  // A low part equal to INVALID_SET_FILE_POINTER is valid with a high part; callers tell it from a
  // failure by the last error, so success must clear it.
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(position & 0xFFFFFFFFu);
}

BOOL SetEndOfFile(HANDLE file) {
  int fd = FdFromHandle(file);
  if (fd < 0) return FALSE;
  off_t position = lseek(fd, 0, SEEK_CUR);
  if (position < 0 || ftruncate(fd, position) != 0) {
    SetLastError(Win32ErrorFromErrno(errno, nullptr, ERROR_ACCESS_DENIED));
    return FALSE;
  }
  return TRUE;
}

BOOL CloseHandle(HANDLE object) {
  int fd = FdFromHandle(object);
  if (fd < 0) return FALSE;
  // On Linux the descriptor is released even when close reports EINTR, so it is never retried.
  if (close(fd) != 0 && errno != EINTR) {
    SetLastError(Win32ErrorFromErrno(errno, nullptr, ERROR_INVALID_HANDLE));
    return FALSE;
  }
  return TRUE;
}

BOOL DeleteFileA(LPCSTR name) {
  if (name == nullptr || name[0] == '\0') {
    SetLastError(name == nullptr ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (unlink(name) != 0) {
    SetLastError(Win32ErrorFromErrno(errno, name, ERROR_ACCESS_DENIED));
    return FALSE;
  }
  return TRUE;
}

BOOL MoveFileA(LPCSTR from, LPCSTR to) {
  if (from == nullptr || to == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return TRUE;
  int failure = errno;
  // A file system without the flag: a new link fails where a name exists, the old name then goes.
  if (failure == EINVAL || failure == ENOSYS) {
    if (link(from, to) == 0) {
      unlink(from);
      return TRUE;
    }
    failure = errno;
  }
  SetLastError(failure == EEXIST ? ERROR_ALREADY_EXISTS : Win32ErrorFromErrno(failure, from, ERROR_ACCESS_DENIED));
  return FALSE;
}

BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists) {
  if (from == nullptr || to == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Files only, at both ends, and no open that waits: a FIFO put where the copy goes (the debug
  // copy lies in a back-end's directory) would hold the caller until someone read it, a device
  // would take or give bytes without end.
  if (!NothingButAFileAt(from, false) || !NothingButAFileAt(to, true)) return FALSE;
  int in = OpenNoInterrupt(from, O_RDONLY | O_NONBLOCK | O_NOCTTY, 0);
  if (in < 0) {
    SetLastError(Win32ErrorFromErrno(errno, from, ERROR_ACCESS_DENIED));
    return FALSE;
  }
  struct stat source;
  if (fstat(in, &source) != 0 || !S_ISREG(source.st_mode) || !Blocking(in)) {
    close(in);
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // The copy gets the source's permissions, as Windows copies its attributes: a copy of a private
  // file stays private, also when it replaces an older copy. Truncation waits until the target is
  // known not to be the source itself, which it would wipe.
  const mode_t permissions = source.st_mode & 0777;
  int out = OpenNoInterrupt(to, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | (failIfExists ? O_EXCL : 0), permissions);
  if (out < 0) {
    SetLastError(Win32ErrorFromErrno(errno, to, ERROR_ACCESS_DENIED));
    close(in);
    return FALSE;
  }
  struct stat target;
  if (fstat(out, &target) != 0 || !S_ISREG(target.st_mode) || !Blocking(out) ||
      (target.st_dev == source.st_dev && target.st_ino == source.st_ino)) {
    close(out);
    close(in);
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }

  if (ftruncate(out, 0) != 0 || fchmod(out, permissions) != 0) {
    SetLastError(Win32ErrorFromErrno(errno, nullptr, ERROR_ACCESS_DENIED));
    close(out);
    close(in);
    return FALSE;
  }
  bool ok = true;
  char chunk[32 * 1024];
  for (;;) {
    size_t got = 0;
    if (ReadFully(in, chunk, sizeof chunk, &got) < 0) {
      SetLastError(Win32ErrorFromErrno(errno, nullptr, ERROR_READ_FAULT));
      ok = false;
      break;
    }
    size_t put = 0;
    if (got > 0 && !WriteFully(out, chunk, got, &put)) {
      SetLastError(Win32ErrorFromErrno(errno, nullptr, ERROR_WRITE_FAULT));
      ok = false;
      break;
    }
    if (got < sizeof chunk) break;  // ReadFully stops short only at end of file
  }
  // Some file systems report a failed write-back only at close.
  if (close(out) != 0 && errno != EINTR && ok) {
    SetLastError(Win32ErrorFromErrno(errno, nullptr, ERROR_WRITE_FAULT));
    ok = false;
  }
  close(in);
  // A partial copy must not be mistaken for the file; like Win32, the failed target is removed.
  if (!ok) unlink(to);
  return ok ? TRUE : FALSE;
}
