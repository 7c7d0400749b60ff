// File events over inotify, on the watched file itself: many requests wait at once in the same
// temporary directory, and a watch on the directory would wake every one of them for every file
// any of them touches. One inotify instance per watch; instances are limited per user, so a
// failure to get one falls back to pausing.
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/file_watch.h"

namespace {

// Written in place (modified, closed after writing, attributes) or replaced: a file renamed over
// it, or it deleted, ends the watch on the old file.
constexpr uint32_t kFileEvents = IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

struct FileWatch {
  int fd;
  bool bArmed;  // a watch on the file at szPath is in place
  char szPath[1];  // the file's path, allocated to its length
};

void Arm(FileWatch* watch) {
  watch->bArmed = inotify_add_watch(watch->fd, watch->szPath, kFileEvents) >= 0;
}

}  // namespace

HANDLE BeginFileWatch(LPCSTR path) {
  if (path == nullptr) return nullptr;
  const size_t length = std::strlen(path);
  auto* watch = static_cast<FileWatch*>(std::malloc(sizeof(FileWatch) + length));
  if (watch == nullptr) return nullptr;
  std::memcpy(watch->szPath, path, length + 1);
  watch->fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (watch->fd < 0) {
    std::free(watch);
    return nullptr;
  }
  Arm(watch);
  if (!watch->bArmed) {
    close(watch->fd);
    std::free(watch);
    return nullptr;
  }
  return watch;
}

void WaitForFileChange(HANDLE handle, DWORD milliseconds, DWORD pauseMilliseconds) {
  auto* watch = static_cast<FileWatch*>(handle);
  if (watch == nullptr) {
    Sleep(pauseMilliseconds);
    return;
  }
  // The file was replaced since the last wait and its successor is still unanswered: watch it.
  if (!watch->bArmed) Arm(watch);
  if (!watch->bArmed) {
    Sleep(pauseMilliseconds);
    return;
  }
  pollfd events{watch->fd, POLLIN, 0};
  if (poll(&events, 1, static_cast<int>(milliseconds)) <= 0) return;
  // Drain what came; the caller looks at the file again whatever it was.
  alignas(inotify_event) char buffer[4096];
  ssize_t got;
  while ((got = read(watch->fd, buffer, sizeof buffer)) > 0) {
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->mask & IN_IGNORED) watch->bArmed = false;  // the watched file is gone
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

void EndFileWatch(HANDLE handle) {
  auto* watch = static_cast<FileWatch*>(handle);
  if (watch == nullptr) return;
  close(watch->fd);
  std::free(watch);
}
