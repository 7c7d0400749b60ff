#include "host/spawner/process_group.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

// pidfd_send_signal(2)'s flag for the leader's process group (Linux 6.9); older headers lack it.
constexpr unsigned kSignalProcessGroup = 1u << 2;

// Whether the system signals a group through its leader's descriptor: -1 not known yet, 0 no, 1 yes.
std::atomic<int> g_groupSignals{-1};

bool SignalById(pid_t leader, int signal) { return kill(-leader, signal) == 0 || errno != ESRCH; }

}  // namespace

ProcessGroup HoldProcessGroup(pid_t leader) {
  ProcessGroup group{leader, -1};
  if (leader <= 0 || g_groupSignals.load() == 0) return group;
  // A process descriptor is close-on-exec from the start: no program inherits it.
  const long handle = syscall(SYS_pidfd_open, leader, 0u);
  if (handle >= 0) group.handle = static_cast<int>(handle);
  return group;
}

bool SignalProcessGroup(const ProcessGroup& group, int signal) {
  if (group.leader <= 0) return false;
  if (group.handle >= 0 && g_groupSignals.load() != 0) {
    if (syscall(SYS_pidfd_send_signal, group.handle, signal, nullptr, kSignalProcessGroup) == 0) {
      g_groupSignals.store(1);
      return true;
    }
    if (errno == ESRCH) return false;
    // EPERM: a member that changed its user (a set-user-id program) still counts as one.
    if (errno == EPERM) return true;
    // EINVAL: a system without group signals through a descriptor; the group id serves from now on.
    if (errno != EINVAL && errno != ENOSYS) return true;
    g_groupSignals.store(0);
  }
  return SignalById(group.leader, signal);
}

void ReleaseProcessGroup(ProcessGroup* group) {
  if (group->handle >= 0) close(group->handle);
  group->handle = -1;
  group->leader = 0;
}

bool AdoptOrphans() { return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0; }
