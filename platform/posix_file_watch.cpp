// File events over inotify, on the watched file itself: many requests wait at once in the same
// temporary directory, and a watch on the directory would wake every one of them for every file
// any of them touches. The kernel allows a user only a few inotify instances (128 by default), far
// fewer than a server has waiting requests, so the process keeps one instance for all its watches:
// a thread reads its events and wakes the one waiter whose file changed, through that waiter's own
// eventfd. Where no instance can be had, a wait is a pause.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/file_watch.h"

namespace {

// Written in place (modified, closed after writing, attributes) or replaced: a file renamed over
// it, or it deleted, ends the watch on the old file.
constexpr uint32_t kFileEvents = IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

struct FileWatch {
  int wakeFd;      // eventfd: the reader thread counts events here
  int wd;          // the inotify watch on the file, -1 when not armed
  char szPath[1];  // the file's path, allocated to its length
};

// The process's one inotify instance and the watches on it, by watch descriptor.
struct Watcher {
  std::mutex lock;
  int fd = -1;
  std::unordered_map<int, FileWatch*> watches;
};

void ReadEvents(Watcher* watcher) {
  alignas(inotify_event) char buffer[8192];
  for (;;) {
    const ssize_t got = read(watcher->fd, buffer, sizeof buffer);
    if (got <= 0) continue;  // interrupted; the instance lives as long as the process
    std::lock_guard<std::mutex> guard(watcher->lock);
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      const auto found = watcher->watches.find(event->wd);
      if (found != watcher->watches.end()) {
        const uint64_t one = 1;
        (void)!write(found->second->wakeFd, &one, sizeof one);
        // The watched file is gone (replaced or deleted): the waiter arms again on its successor.
        if (event->mask & IN_IGNORED) {
          found->second->wd = -1;
          watcher->watches.erase(found);
        }
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

// The watcher, its instance and reader thread made on first use; null where inotify is missing.
Watcher* TheWatcher() {
  // Never destroyed: waits may run while the process exits.
  static Watcher* watcher = [] {
    const int fd = inotify_init1(IN_CLOEXEC);
    if (fd < 0) return static_cast<Watcher*>(nullptr);
    auto* made = new Watcher();
    made->fd = fd;
    std::thread(ReadEvents, made).detach();
    return made;
  }();
  return watcher;
}

void Arm(Watcher* watcher, FileWatch* watch) {
  std::lock_guard<std::mutex> guard(watcher->lock);
  const int wd = inotify_add_watch(watcher->fd, watch->szPath, kFileEvents);
  if (wd < 0) return;
  watch->wd = wd;
  watcher->watches[wd] = watch;
}

void Disarm(Watcher* watcher, FileWatch* watch) {
  std::lock_guard<std::mutex> guard(watcher->lock);
  if (watch->wd < 0) return;
  watcher->watches.erase(watch->wd);
  inotify_rm_watch(watcher->fd, watch->wd);
  watch->wd = -1;
}

}  // namespace

HANDLE BeginFileWatch(LPCSTR path) {
  Watcher* watcher = TheWatcher();
  if (path == nullptr || watcher == nullptr) return nullptr;
  const size_t length = std::strlen(path);
  auto* watch = static_cast<FileWatch*>(std::malloc(sizeof(FileWatch) + length));
  if (watch == nullptr) return nullptr;
  std::memcpy(watch->szPath, path, length + 1);
  watch->wd = -1;
  watch->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (watch->wakeFd < 0) {
    std::free(watch);
    return nullptr;
  }
  Arm(watcher, watch);
  if (watch->wd < 0) {
    close(watch->wakeFd);
    std::free(watch);
    return nullptr;
  }
  return watch;
}

BOOL WaitForFileChange(HANDLE handle, DWORD milliseconds, DWORD pauseMilliseconds) {
  auto* watch = static_cast<FileWatch*>(handle);
  Watcher* watcher = TheWatcher();
  if (watch == nullptr || watcher == nullptr) {
    Sleep(pauseMilliseconds);
    return TRUE;
  }
  // The file was replaced since the last wait and its successor is still unanswered: watch it.
  bool armed;
  {
    std::lock_guard<std::mutex> guard(watcher->lock);
    armed = watch->wd >= 0;
  }
  if (!armed) Arm(watcher, watch);
  {
    std::lock_guard<std::mutex> guard(watcher->lock);
    armed = watch->wd >= 0;
  }
  if (!armed) {
    Sleep(pauseMilliseconds);
    return TRUE;
  }
  pollfd events{watch->wakeFd, POLLIN, 0};
  if (poll(&events, 1, static_cast<int>(milliseconds)) <= 0) return FALSE;
  // Take the count; the caller looks at the file again whatever happened.
  uint64_t count = 0;
  (void)!read(watch->wakeFd, &count, sizeof count);
  return TRUE;
}

void EndFileWatch(HANDLE handle) {
  auto* watch = static_cast<FileWatch*>(handle);
  if (watch == nullptr) return;
  if (Watcher* watcher = TheWatcher()) Disarm(watcher, watch);
  close(watch->wakeFd);
  std::free(watch);
}
