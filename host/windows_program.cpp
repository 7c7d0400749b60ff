#include "host/windows_program.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace {

constexpr off_t kPeOffsetField = 0x3C;
constexpr unsigned kMachineAmd64 = 0x8664;

bool ReadAt(int fd, off_t offset, void* buffer, size_t size) {
  return pread(fd, buffer, size, offset) == static_cast<ssize_t>(size);
}

}  // namespace

WindowsMachine WindowsExecutableKind(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return kNotWindows;
  uint8_t dosMagic[2] = {0, 0};
  uint8_t offsetBytes[4] = {0, 0, 0, 0};
  uint8_t header[6] = {0, 0, 0, 0, 0, 0};  // "PE\0\0" and the machine
  WindowsMachine kind = kNotWindows;
  if (ReadAt(fd, 0, dosMagic, sizeof dosMagic) && dosMagic[0] == 'M' && dosMagic[1] == 'Z' &&
      ReadAt(fd, kPeOffsetField, offsetBytes, sizeof offsetBytes)) {
    const uint32_t peOffset = offsetBytes[0] | offsetBytes[1] << 8 | offsetBytes[2] << 16 |
                              static_cast<uint32_t>(offsetBytes[3]) << 24;
    // A header cut after its signature is still Windows'; Wine judges the rest.
    if (ReadAt(fd, static_cast<off_t>(peOffset), header, 4) && std::memcmp(header, "PE\0\0", 4) == 0) {
      const bool machineRead = ReadAt(fd, static_cast<off_t>(peOffset) + 4, header + 4, 2);
      kind = machineRead && (header[4] | header[5] << 8) == kMachineAmd64 ? kWindows64 : kWindows32;
    }
  }
  close(fd);
  return kind;
}

bool WindowsPathOf(const char* path, char* out, size_t room) {
  const size_t length = std::strlen(path);
  if (path[0] != '/' || length + 3 > room) return false;
  out[0] = 'Z';
  out[1] = ':';
  for (size_t k = 0; k <= length; ++k) out[2 + k] = path[k] == '/' ? '\\' : path[k];
  return true;
}
