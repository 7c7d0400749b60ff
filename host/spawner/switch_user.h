// How the spawner starts programs as sites' users without staying root. The spawner is forked by
// Apache's parent as root and drops to the server's user as always; where sites have users of
// their own, it keeps across that drop the capabilities of switching (CAP_SETUID, CAP_SETGID) and
// of stopping the programs it started as others (CAP_KILL), and nothing else of root's. Each
// program's child becomes its site's user between fork and exec and gives up every capability
// before exec: no program ever runs with one. This costs a start nothing beyond the three system
// calls, where a set-user-id helper (suEXEC's way) would cost an exec more for each. Linux only.
#ifndef KARVEL_HOST_SWITCH_USER_H
#define KARVEL_HOST_SWITCH_USER_H

#include <sys/types.h>

#include <cstddef>

// Who a program becomes: its user, primary group and supplementary groups.
struct ProgramUser {
  uid_t uid;
  gid_t gid;
  const gid_t* groups;
  size_t groupCount;
};

// As root, before the drop to the server's user: the capabilities held survive the change of user
// (only the permitted set; none is in effect until KeepOnlyUserSwitching). False with errno.
bool KeepCapabilitiesAcrossDrop();

// After the drop: of the capabilities kept, only CAP_SETUID, CAP_SETGID and CAP_KILL stay (in
// effect, none inheritable), the rest are given up for good. False with errno when they cannot be
// had (the process was not root before the drop).
bool KeepOnlyUserSwitching();

// Whether this process holds what switching needs.
bool CanSwitchUsers();

// In a child between vfork and exec, system calls only (glibc's wrappers would also change the
// spawner's threads): becomes `user` (its groups, its group, then the user, real, effective and
// saved ids each) and gives up every capability. 0, or the errno of the step that failed.
int BecomeUser(const ProgramUser& user);

#endif  // KARVEL_HOST_SWITCH_USER_H
