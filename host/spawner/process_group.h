// A program's process group, as the spawner follows it after the program itself has ended: the
// members it left behind are signalled and counted until none is left. The group is held by a
// process descriptor of its leader, so that a group id handed to new processes once the group is
// gone is never taken for it; without process descriptors (Linux before 5.3, or group signals
// before 6.9) by the group id, as kill(2) offers. Plain POSIX and Linux; no Apache.
#ifndef KARVEL_HOST_PROCESS_GROUP_H
#define KARVEL_HOST_PROCESS_GROUP_H

#include <sys/types.h>

struct ProcessGroup {
  pid_t leader;  // the group's id: its leader's pid (a program leads its own session)
  int handle;    // a process descriptor of the leader; -1: the group is signalled by its id
};

// Takes hold of the group `leader` leads, at once after its start (while it is still the caller's
// unreaped child, its pid cannot have been given to another process).
ProcessGroup HoldProcessGroup(pid_t leader);

// Sends `signal` (0: none, only the look) to every member left in the group; false when it has
// none: the group is gone, and stays gone.
bool SignalProcessGroup(const ProcessGroup& group, int signal);

// Lets go of the group (closes its descriptor).
void ReleaseProcessGroup(ProcessGroup* group);

// Makes the caller the reaper of its programs' orphans: members of a group whose parent ended are
// then its children, reaped by it (and not left as zombies that count as members), so that a
// group empties when its last member ends. False where the system cannot.
bool AdoptOrphans();

#endif  // KARVEL_HOST_PROCESS_GROUP_H
