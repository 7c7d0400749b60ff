// CreateRequestFile, CreateRequestPair, GetServerTempPath and RemoveRequestDirectory over POSIX:
// names from getrandom(2), files created with O_EXCL, directories emptied with readdir.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/posix_internal.h"
#include "platform/request_files.h"
#include "platform/test_hooks.h"

using karvel_posix::Win32ErrorFromErrno;

namespace {

// Request files hold form data: nobody but the server's user reads them.
constexpr mode_t kRequestFileMode = 0600;
constexpr mode_t kRequestDirectoryMode = 0700;
// A taken name among 2^64 is next to impossible; a few tries cover a planted one.
constexpr int kAttempts = 16;

// The group-class bits a request's file (and directory) are made with in `directory`: none, unless
// its default ACL decides who may read what is made inside (the directory of a site whose programs
// run as their own user): the group-class bits are then the ACL's mask, which must let its named
// users in. Such a directory has no group of its own, nor room for others.
mode_t SharedBits(const char* directory, mode_t bits) {
  return getxattr(directory, "system.posix_acl_default", nullptr, 0) > 0 ? bits : 0;
}

bool RandomNumber(uint64_t* number) {
  uint8_t* at = reinterpret_cast<uint8_t*>(number);
  size_t got = 0;
  while (got < sizeof *number) {
    const ssize_t n = getrandom(at + got, sizeof *number - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// The digits of a new request name, from the system's random source; false (its error set) when
// that cannot be read.
karvel_test::RequestDigitsSource g_digitsSource = nullptr;

bool NextDigits(unsigned long long* digits) {
  if (g_digitsSource != nullptr) {
    *digits = g_digitsSource();
    return true;
  }
  uint64_t number = 0;
  if (!RandomNumber(&number)) {
    SetLastError(Win32ErrorFromErrno(errno, nullptr, ERROR_ACCESS_DENIED));
    return false;
  }
  *digits = static_cast<unsigned long long>(number);
  return true;
}

}  // namespace

void karvel_test::SetRequestDigitsSource(RequestDigitsSource source) { g_digitsSource = source; }

BOOL CreateRequestFile(LPCSTR directory, LPCSTR prefix, LPSTR out, HANDLE* file) {
  if (file != nullptr) *file = INVALID_HANDLE_VALUE;
  if (directory == nullptr || prefix == nullptr || out == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  out[0] = '\0';
  const size_t dirLength = std::strlen(directory);
  const bool addSeparator = dirLength > 0 && !IsPathSeparator(directory[dirLength - 1]);
  const size_t length = dirLength + (addSeparator ? 1 : 0) + std::strlen(prefix) + REQUEST_NAME_DIGITS + 4;
  if (length + 1 > MAX_PATH) {
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return FALSE;
  }
  char path[MAX_PATH];
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    unsigned long long digits = 0;
    if (!NextDigits(&digits)) return FALSE;
    std::snprintf(path, sizeof path, "%s%s%s%016llX.tmp", directory, addSeparator ? "/" : "", prefix, digits);
    int fd;
    do {
      fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kRequestFileMode | SharedBits(directory, 060));
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      if (file != nullptr) {
        *file = karvel_posix::HandleFromFd(fd);
      } else {
        close(fd);
      }
      std::memcpy(out, path, length + 1);
      SetLastError(ERROR_SUCCESS);
      return TRUE;
    }
    if (errno != EEXIST) {
      SetLastError(Win32ErrorFromErrno(errno, path, ERROR_ACCESS_DENIED));
      return FALSE;
    }
  }
  SetLastError(ERROR_FILE_EXISTS);
  return FALSE;
}

BOOL CreateRequestPair(LPCSTR directory, LPSTR filePath, LPSTR uploadPath, HANDLE* file, LPCSTR uploadRoot,
                       BOOL makeUploadDirectory, BOOL* uploadDirectoryMade) {
  *file = INVALID_HANDLE_VALUE;
  if (uploadDirectoryMade != nullptr) *uploadDirectoryMade = FALSE;
  if (directory == nullptr || filePath == nullptr || uploadPath == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  filePath[0] = '\0';
  uploadPath[0] = '\0';
  if (uploadRoot == nullptr || uploadRoot[0] == '\0') uploadRoot = directory;
  const size_t dirLength = std::strlen(directory);
  const char* separator = dirLength > 0 && !IsPathSeparator(directory[dirLength - 1]) ? "/" : "";
  const size_t rootLength = std::strlen(uploadRoot);
  const char* rootSeparator = rootLength > 0 && !IsPathSeparator(uploadRoot[rootLength - 1]) ? "/" : "";
  const size_t fileLength = dirLength + std::strlen(separator) + 2 + REQUEST_NAME_DIGITS + 4;
  const size_t uploadLength = rootLength + std::strlen(rootSeparator) + 3 + REQUEST_NAME_DIGITS + 4;
  if (fileLength + 1 > MAX_PATH || uploadLength + 1 > MAX_PATH) {
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return FALSE;
  }
  char uploads[MAX_PATH];
  char path[MAX_PATH];
  // Each directory's own ACL decides for what is made in it.
  const mode_t sharedFile = SharedBits(directory, 060);
  const mode_t sharedDirectory =
      std::strcmp(uploadRoot, directory) == 0 ? (sharedFile != 0 ? 070 : 0) : SharedBits(uploadRoot, 070);
  // A directory a site's user is let into is made now, with the bits that let it in: one made on a
  // first upload would keep that user out.
  if (sharedDirectory != 0) makeUploadDirectory = TRUE;
  // A name only kept free is in an upload directory that must take it all the same: one that is
  // not a directory the server may write to refuses the pair, as the directory's making would.
  // (In the exchange file's own directory, the file's making tells.)
  if (!makeUploadDirectory && std::strcmp(uploadRoot, directory) != 0) {
    struct stat root{};
    int refusal = 0;
    if (stat(uploadRoot, &root) != 0) {
      refusal = errno;
    } else if (!S_ISDIR(root.st_mode)) {
      refusal = ENOTDIR;
    } else if (access(uploadRoot, W_OK | X_OK) != 0) {
      refusal = errno;
    }
    if (refusal != 0) {
      SetLastError(Win32ErrorFromErrno(refusal, uploadRoot, ERROR_ACCESS_DENIED));
      return FALSE;
    }
  }
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    unsigned long long digits = 0;
    if (!NextDigits(&digits)) return FALSE;
    std::snprintf(uploads, sizeof uploads, "%s%sVCU%016llX.tmp", uploadRoot, rootSeparator, digits);
    std::snprintf(path, sizeof path, "%s%sVC%016llX.tmp", directory, separator, digits);
    struct stat taken{};
    if (!makeUploadDirectory) {
      if (lstat(uploads, &taken) == 0) continue;
      if (errno != ENOENT) {
        SetLastError(Win32ErrorFromErrno(errno, uploads, ERROR_ACCESS_DENIED));
        return FALSE;
      }
    } else if (mkdir(uploads, kRequestDirectoryMode | sharedDirectory) != 0) {
      if (errno == EEXIST) continue;
      SetLastError(Win32ErrorFromErrno(errno, uploads, ERROR_ACCESS_DENIED));
      return FALSE;
    }
    int fd;
    do {
      fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kRequestFileMode | sharedFile);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      const int error = errno;
      if (makeUploadDirectory) rmdir(uploads);
      if (error == EEXIST) continue;
      SetLastError(Win32ErrorFromErrno(error, path, ERROR_ACCESS_DENIED));
      return FALSE;
    }
    *file = karvel_posix::HandleFromFd(fd);
    std::memcpy(filePath, path, fileLength + 1);
    std::memcpy(uploadPath, uploads, uploadLength + 1);
    if (uploadDirectoryMade != nullptr) *uploadDirectoryMade = makeUploadDirectory;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  SetLastError(ERROR_FILE_EXISTS);
  return FALSE;
}

BOOL GetServerTempPath(CHAR out[MAX_PATH]) {
  CHAR base[MAX_PATH];
  const DWORD length = GetTempPathA(MAX_PATH, base);
  if (length == 0 || length >= MAX_PATH) {
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return FALSE;
  }
  struct stat shared{};
  // A directory only the server's user (or its group) writes to needs nothing of its own inside.
  if (stat(base, &shared) != 0 || !S_ISDIR(shared.st_mode) || (shared.st_mode & S_IWOTH) == 0) {
    std::memcpy(out, base, length + 1);
    return TRUE;
  }
  const uid_t self = geteuid();
  CHAR own[MAX_PATH];
  const int ownLength = std::snprintf(own, sizeof own, "%skarvel-%lu", base, static_cast<unsigned long>(self));
  if (ownLength < 0 || static_cast<size_t>(ownLength) + 2 > MAX_PATH) {
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return FALSE;
  }
  if (mkdir(own, kRequestDirectoryMode) != 0 && errno != EEXIST) {
    SetLastError(Win32ErrorFromErrno(errno, own, ERROR_ACCESS_DENIED));
    return FALSE;
  }
  // Looked at through a descriptor that follows no link: a link planted under the name is refused.
  const int fd = open(own, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat info{};
  const bool ours = fd >= 0 && fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == self &&
                    (info.st_mode & 07777) == kRequestDirectoryMode;
  if (fd >= 0) close(fd);
  if (!ours) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  own[ownLength] = '/';
  own[ownLength + 1] = '\0';
  std::memcpy(out, own, static_cast<size_t>(ownLength) + 2);
  return TRUE;
}

BOOL RemoveRequestDirectory(LPCSTR directory) {
  if (directory == nullptr || directory[0] == '\0') {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  // Through a descriptor of the directory itself, so a name swapped in meanwhile is not followed.
  const int dirFd = open(directory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dirFd >= 0) {
    if (DIR* listing = fdopendir(dirFd)) {
      while (const dirent* entry = readdir(listing)) {
        // unlinkat without AT_REMOVEDIR leaves directories (and "." and "..") alone.
        unlinkat(dirfd(listing), entry->d_name, 0);
      }
      closedir(listing);
    } else {
      close(dirFd);
    }
  }
  if (rmdir(directory) != 0) {
    SetLastError(Win32ErrorFromErrno(errno, directory, ERROR_ACCESS_DENIED));
    return FALSE;
  }
  return TRUE;
}
