#include "host/spawner/switch_user.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace {

constexpr uint32_t kSwitching = (1u << CAP_SETUID) | (1u << CAP_SETGID) | (1u << CAP_KILL);

// The process's capabilities, by the system call (no libcap): sets 0-31 in data[0], 32-63 in data[1].
bool Capabilities(__user_cap_data_struct data[2]) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  return syscall(SYS_capget, &header, data) == 0;
}

long SetCapabilities(uint32_t effective, uint32_t permitted) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {{effective, permitted, 0}, {0, 0, 0}};
  return syscall(SYS_capset, &header, data);
}

}  // namespace

bool KeepCapabilitiesAcrossDrop() { return prctl(PR_SET_KEEPCAPS, 1L, 0L, 0L, 0L) == 0; }

bool KeepOnlyUserSwitching() {
  __user_cap_data_struct held[2] = {};
  if (!Capabilities(held)) return false;
  prctl(PR_SET_KEEPCAPS, 0L, 0L, 0L, 0L);
  if ((held[0].permitted & kSwitching) != kSwitching) {
    SetCapabilities(0, 0);
    errno = EPERM;
    return false;
  }
  return SetCapabilities(kSwitching, kSwitching) == 0;
}

bool CanSwitchUsers() {
  __user_cap_data_struct held[2] = {};
  return Capabilities(held) && (held[0].effective & kSwitching) == kSwitching;
}

int BecomeUser(const ProgramUser& user) {
  if (syscall(SYS_setgroups, user.groupCount, user.groups) != 0) return errno;
  if (syscall(SYS_setresgid, user.gid, user.gid, user.gid) != 0) return errno;
  if (syscall(SYS_setresuid, user.uid, user.uid, user.uid) != 0) return errno;
  // Between non-root users the change keeps the capabilities: given up here, so that nothing of
  // the spawner's reaches the program (exec would drop them too; this does not rely on it).
  if (SetCapabilities(0, 0) != 0) return errno;
  return 0;
}
