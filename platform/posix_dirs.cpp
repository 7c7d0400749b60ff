// Well-known directories and temporary names: GetTempPathA, GetTempFileNameA, GetWindowsDirectoryA,
// CreateDirectoryA.
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix_internal.h"
#include "platform/win32.h"

using karvel_posix::Win32ErrorFromErrno;

namespace {

constexpr const char* kDefaultTempDir = "/tmp";
// Where the gateway keeps what would live under the Windows directory on Windows.
constexpr const char* kDefaultWindowsDir = "/var/lib/karvel";
// Temporary-file numbers are 1..0xFFFF; 0 means "none" to the callers.
constexpr uint32_t kTempNumbers = 0xFFFF;
// Temporary files hold request data; other users of a shared /tmp have no business reading them.
constexpr mode_t kTempFileMode = 0600;

// The value of environment variable `name` when set and non-empty, else `fallback`.
const char* EnvironmentOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return (value != nullptr && value[0] != '\0') ? value : fallback;
}

// Win32 buffer contract: when `value` (plus an optional trailing '/') and its NUL fit in `size`,
// copies them and returns the length without the NUL; otherwise writes nothing and returns the size
// needed with the NUL.
DWORD CopyWithSizeContract(const char* value, bool addSlash, char* buffer, DWORD size) {
  size_t length = std::strlen(value) + (addSlash ? 1 : 0);
  if (length >= UINT32_MAX) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  if (buffer == nullptr || length + 1 > size) return static_cast<DWORD>(length + 1);
  size_t valueLength = std::strlen(value);
  std::memcpy(buffer, value, valueLength);
  if (addSlash) buffer[valueLength] = '/';
  buffer[length] = '\0';
  return static_cast<DWORD>(length);
}

// Number of uppercase hex digits `value` takes without padding (at least one).
size_t HexDigits(uint32_t value) {
  size_t digits = 1;
  while (value >= 16) {
    value >>= 4;
    ++digits;
  }
  return digits;
}

// Writes `value` in uppercase hex without padding; returns the end of what was written.
char* PutHex(char* at, uint32_t value) {
  static const char kDigits[] = "0123456789ABCDEF";
  size_t digits = HexDigits(value);
  for (size_t i = digits; i-- > 0;) {
    at[i] = kDigits[value & 0xF];
    value >>= 4;
  }
  return at + digits;
}

// 64 bits so the count never wraps: a wrap would repeat one number and skip another, and the search
// could then miss the last free one.
std::atomic<uint64_t> g_nextTempNumber{0};
std::atomic<pid_t> g_seededFor{0};

// Different processes (a forked child included) start at different numbers, so they rarely collide;
// O_EXCL still settles any collision that happens.
uint32_t ProcessSeed(pid_t pid) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  uint64_t mixed = (static_cast<uint64_t>(static_cast<uint32_t>(pid)) << 32) ^
                   static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 20);
  mixed ^= mixed >> 33;
  mixed *= 0xFF51AFD7ED558CCDull;
  mixed ^= mixed >> 33;
  mixed *= 0xC4CEB9FE1A85EC53ull;
  mixed ^= mixed >> 33;
  return static_cast<uint32_t>(mixed);
}

// The next candidate number, 1..0xFFFF. Threads share one counter, so they try different numbers.
uint32_t NextTempNumber() {
  pid_t pid = getpid();
  if (g_seededFor.load() != pid) {
    g_nextTempNumber.store(ProcessSeed(pid));
    g_seededFor.store(pid);
  }
  return static_cast<uint32_t>(g_nextTempNumber.fetch_add(1) % kTempNumbers) + 1;
}

}  // namespace

DWORD GetTempPathA(DWORD size, LPSTR buffer) {
  const char* dir = EnvironmentOr("TMPDIR", kDefaultTempDir);
  size_t length = std::strlen(dir);
  return CopyWithSizeContract(dir, dir[length - 1] != '/', buffer, size);
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
  return CopyWithSizeContract(EnvironmentOr("WINDIR", kDefaultWindowsDir), false, buffer, size);
}

UINT GetTempFileNameA(LPCSTR dir, LPCSTR prefix, UINT unique, LPSTR out) {
  if (dir == nullptr || out == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (prefix == nullptr) prefix = "";
  size_t dirLength = std::strlen(dir);
  // An empty directory means the current one; putting '/' there would mean the root instead.
  bool addSlash = dirLength > 0 && !IsPathSeparator(dir[dirLength - 1]);
  size_t prefixLength = strnlen(prefix, 3);
  uint32_t fixedNumber = unique & kTempNumbers;  // only the low 16 bits name the file, as on Win32
  // Generated numbers may take up to 4 digits; the check does not depend on which one comes up.
  size_t digits = (unique != 0) ? HexDigits(fixedNumber) : 4;
  if (dirLength + (addSlash ? 1 : 0) + prefixLength + digits + 4 + 1 > MAX_PATH) {
    out[0] = '\0';
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return 0;
  }

  char name[MAX_PATH];
  char* numberAt = name;
  std::memcpy(numberAt, dir, dirLength);
  numberAt += dirLength;
  if (addSlash) *numberAt++ = '/';
  std::memcpy(numberAt, prefix, prefixLength);
  numberAt += prefixLength;

  if (unique != 0) {
    std::memcpy(PutHex(numberAt, fixedNumber), ".tmp", 5);
    std::memcpy(out, name, std::strlen(name) + 1);
    return unique;
  }

  for (uint32_t attempt = 0; attempt < kTempNumbers; ++attempt) {
    uint32_t number = NextTempNumber();
    std::memcpy(PutHex(numberAt, number), ".tmp", 5);
    int fd;
    do {
      fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kTempFileMode);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      close(fd);
      std::memcpy(out, name, std::strlen(name) + 1);
      return number;
    }
    if (errno != EEXIST) {
      out[0] = '\0';
      SetLastError(Win32ErrorFromErrno(errno, name, ERROR_ACCESS_DENIED));
      return 0;
    }
  }
  out[0] = '\0';
  SetLastError(ERROR_FILE_EXISTS);
  return 0;
}

BOOL CreateDirectoryA(LPCSTR path, LPVOID) {
  if (path == nullptr || path[0] == '\0') {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (mkdir(path, 0700) != 0) {
    SetLastError(errno == EEXIST ? ERROR_ALREADY_EXISTS : Win32ErrorFromErrno(errno, path, ERROR_ACCESS_DENIED));
    return FALSE;
  }
  return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR path) {
  if (path == nullptr || path[0] == '\0') {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (rmdir(path) != 0) {
    SetLastError(errno == ENOTEMPTY || errno == EEXIST ? ERROR_DIR_NOT_EMPTY
                                                       : Win32ErrorFromErrno(errno, path, ERROR_ACCESS_DENIED));
    return FALSE;
  }
  return TRUE;
}
