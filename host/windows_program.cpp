#include "host/windows_program.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace {

constexpr off_t kPeOffsetField = 0x3C;

bool ReadAt(int fd, off_t offset, void* buffer, size_t size) {
  return pread(fd, buffer, size, offset) == static_cast<ssize_t>(size);
}

}  // namespace

bool IsWindowsExecutable(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  uint8_t dosMagic[2] = {0, 0};
  uint8_t offsetBytes[4] = {0, 0, 0, 0};
  uint8_t signature[4] = {0, 0, 0, 0};
  bool windows = ReadAt(fd, 0, dosMagic, sizeof dosMagic) && dosMagic[0] == 'M' && dosMagic[1] == 'Z' &&
                 ReadAt(fd, kPeOffsetField, offsetBytes, sizeof offsetBytes);
  if (windows) {
    const uint32_t peOffset = offsetBytes[0] | offsetBytes[1] << 8 | offsetBytes[2] << 16 |
                              static_cast<uint32_t>(offsetBytes[3]) << 24;
    windows = ReadAt(fd, static_cast<off_t>(peOffset), signature, sizeof signature) &&
              std::memcmp(signature, "PE\0\0", 4) == 0;
  }
  close(fd);
  return windows;
}

bool WindowsPathOf(const char* path, char* out, size_t room) {
  const size_t length = std::strlen(path);
  if (path[0] != '/' || length + 3 > room) return false;
  out[0] = 'Z';
  out[1] = ':';
  for (size_t k = 0; k <= length; ++k) out[2 + k] = path[k] == '/' ? '\\' : path[k];
  return true;
}
