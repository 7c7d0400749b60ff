#include "host/spawner/as_site_user.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/spawner/spawner_protocol.h"
#include "host/spawner/switch_user.h"

namespace {

constexpr int kLookMs = 10;  // how often the child is looked at while it works

// Waits for `child` up to `timeoutMs`; its exit status, or -1 when it did not end (then killed).
int AwaitChild(pid_t child, int timeoutMs) {
  for (int waited = 0;; waited += kLookMs) {
    int status = 0;
    const pid_t ended = waitpid(child, &status, WNOHANG);
    if (ended == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (ended < 0) return -1;
    if (waited >= timeoutMs) break;
    usleep(kLookMs * 1000);
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  return -1;
}

struct OpenOrder {
  const char* path;
  int flags;
  mode_t mode;
  int socket;  // the child's end: the descriptor opened goes back on it
};

// In the child, as the user: opens the file and sends its descriptor.
bool OpenAndHand(void* context) {
  const auto* order = static_cast<const OpenOrder*>(context);
  const int fd = open(order->path, order->flags | O_CLOEXEC | O_NOFOLLOW, order->mode);
  if (fd < 0) return false;
  const char byte = 0;
  const bool handed = SendWithDescriptor(order->socket, &byte, 1, fd);
  close(fd);
  return handed;
}

// The descriptor waiting on `socket`, or -1.
int TakeHanded(int socket) {
  char byte = 0;
  int fd = -1;
  if (ReceiveWithDescriptor(socket, &byte, 1, MSG_DONTWAIT, &fd) != 1 && fd >= 0) {
    close(fd);
    fd = -1;
  }
  return fd;
}

}  // namespace

bool RunAsSiteUser(const SiteUser& user, bool (*work)(void* context), void* context, int timeoutMs) {
  const ProgramUser as{user.uid, user.gid, user.groups.data(), user.groups.size()};
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    // Nothing of the spawner's signal handling applies here: the child only works and ends.
    _exit(BecomeUser(as) == 0 && work(context) ? 0 : 1);
  }
  return AwaitChild(child, timeoutMs) == 0;
}

int OpenAsSiteUser(const SiteUser& user, const char* path, int flags, mode_t mode) {
  constexpr int kOpenMs = 10000;
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, ends) != 0) return -1;
  OpenOrder order{path, flags, mode, ends[1]};
  const bool opened = RunAsSiteUser(user, OpenAndHand, &order, kOpenMs);
  close(ends[1]);
  const int fd = opened ? TakeHanded(ends[0]) : -1;
  close(ends[0]);
  if (fd < 0) errno = EACCES;
  return fd;
}
