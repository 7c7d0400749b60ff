// GetLastError / SetLastError: one value per thread, as on Windows. Also the errno translation the
// other POSIX files use to set it.
#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "platform/posix_internal.h"
#include "platform/host_error.h"
#include "platform/win32.h"

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;

// True when the directory that would hold `path` exists (the current directory for a bare name).
// Unknown (allocation failed) counts as existing, so the caller reports the plainer "file not found".
bool ParentDirectoryExists(const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return true;
  size_t length = (slash == path) ? 1 : static_cast<size_t>(slash - path);  // "/name" lives in "/"
  char* parent = static_cast<char*>(std::malloc(length + 1));
  if (parent == nullptr) return true;
  std::memcpy(parent, path, length);
  parent[length] = '\0';
  struct stat info;
  bool exists = stat(parent, &info) == 0 && S_ISDIR(info.st_mode);
  std::free(parent);
  return exists;
}
}  // namespace

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD code) { t_lastError = code; }

namespace karvel_posix {

DWORD Win32ErrorFromErrno(int err, const char* path, DWORD fallback) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return (path != nullptr && !ParentDirectoryExists(path)) ? ERROR_PATH_NOT_FOUND
                                                               : ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ELOOP:
      return ERROR_PATH_NOT_FOUND;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
      return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EFBIG:
#ifdef EDQUOT
    case EDQUOT:
#endif
      return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EINVAL:
    case ESPIPE:
    case EOVERFLOW:
      return ERROR_INVALID_PARAMETER;
    default:
      return fallback;
  }
}

}  // namespace karvel_posix

DWORD GetHostLastError() {
  using HostLastError = DWORD (*)();
  // The server's export, where the process has one (mod_karvel does); looked up once.
  static const HostLastError host = reinterpret_cast<HostLastError>(dlsym(RTLD_DEFAULT, "KarvelHostLastError"));
  return host != nullptr ? host() : GetLastError();
}
