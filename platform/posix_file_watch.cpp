// File events over inotify. One inotify instance per watch; instances are limited per user, so a
// failure to get one falls back to pausing.
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/file_watch.h"

namespace {

HANDLE HandleFromFd(int fd) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd) + 1); }
int FdFromHandle(HANDLE watch) { return static_cast<int>(reinterpret_cast<intptr_t>(watch) - 1); }

}  // namespace

HANDLE BeginFileWatch(LPCSTR path) {
  if (path == nullptr) return nullptr;
  std::string directory(path);
  const size_t slash = directory.rfind('/');
  directory = slash == std::string::npos ? "." : (slash == 0 ? "/" : directory.substr(0, slash));
  const int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd < 0) return nullptr;
  if (inotify_add_watch(fd, directory.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB) < 0) {
    close(fd);
    return nullptr;
  }
  return HandleFromFd(fd);
}

void WaitForFileChange(HANDLE watch, DWORD milliseconds, DWORD pauseMilliseconds) {
  if (watch == nullptr) {
    Sleep(pauseMilliseconds);
    return;
  }
  const int fd = FdFromHandle(watch);
  pollfd events{fd, POLLIN, 0};
  if (poll(&events, 1, static_cast<int>(milliseconds)) > 0) {
    // Drain what came: the caller looks at the file again whatever it was.
    char buffer[4096];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
  }
}

void EndFileWatch(HANDLE watch) {
  if (watch != nullptr) close(FdFromHandle(watch));
}
