#include "tools/dump/dump_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* reason) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *reason = std::string("cannot open it: ") + std::strerror(errno);
    return false;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    *reason = S_ISDIR(info.st_mode) ? "a directory, not an exchange file" : "not a regular file";
    close(fd);
    return false;
  }
  bytes->clear();
  char block[65536];
  for (;;) {
    const ssize_t n = read(fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *reason = std::string("cannot read it: ") + std::strerror(errno);
      close(fd);
      return false;
    }
    if (n == 0) break;
    bytes->append(block, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}
