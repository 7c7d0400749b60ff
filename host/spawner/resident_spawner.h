// The spawner's handlers for resident instances: an order handed to an instance of its pool (or
// one started for it) with the instance's channel, on which the request reads the instance's word
// itself and tells it in its kDone; its faults (no answer, its end or its channel's mid-request:
// the request finds out at once, the instance is named in the log),
// requests given up on (a time-out stops the instance; a client gone lets it answer, discarded,
// until the answer's wait ends), and the retirements (after its count of requests, idle too long,
// the spawner ending). Called from spawner.cpp's loop; the choices are resident_pool.h's.
#ifndef KARVEL_HOST_RESIDENT_SPAWNER_H
#define KARVEL_HOST_RESIDENT_SPAWNER_H

#include <functional>
#include <string>
#include <vector>

#include "host/spawner/spawner_loop.h"

namespace spawner_loop {

// A queued resident order, given the chance to go: true when it no longer waits (handed over, an
// instance being started for it, or refused); false while it waits on.
bool TakeResidentOrder(Spawner* s, Connection* c, bool slotFree);

// A start of the pool that was an instance's (SpawnJob::instance): the instance runs and takes the
// order it was started for, or the order is refused.
void InstanceStarted(Spawner* s, SpawnJob* job);

// An instance's channel ended, or (its word watched) is readable.
void OnChannel(Spawner* s, int fd);
// An instance's standard error is readable: false when `fd` is none of theirs.
bool OnInstanceStderr(Spawner* s, int fd);
// A child reaped: false when it is no instance.
bool InstanceReaped(Spawner* s, pid_t pid, int status);

// kDone on a connection whose order went to an instance, with the instance's word the request read
// (0: none; kResidentNoAnswer's `reason`); the connection then waits for its next order.
void ResidentRequestDone(Spawner* s, Connection* c, bool answered, const std::string& result, char word,
                         const std::string& reason);
// kLentDone: the lent instance's request a child hands over (its end then as ResidentRequestDone's);
// the instance back with the spawner.
void LentRequestDone(Spawner* s, const LentRequest& request);
// The children's line to the spawner (Spawner::lentLine) is readable: each kLentDone on it.
void OnLentLine(Spawner* s);
// One idle lent instance of the pool `key` (nullptr: of any pool) back with the spawner, for an
// order that waits: for an instance of that pool, or for the room a lent one holds under a cap.
// False when none is idle.
bool WithdrawOneLent(Spawner* s, const std::string* key);
// None is: the child whose request holds one of the pool's instances hands its request over to
// the spawner when it ends, for the order that waits (one instance of the pool is asked for at once).
void WantOneLent(Spawner* s, const std::string& key);
// Whether the spawner has an idle instance of the pool itself.
bool PoolHasIdle(const Spawner& s, const std::string& key);
// After each round: the spawner's idle instances lent, those that `room` finds room for under
// their caps; none once the spawner ends (the children are asked to hand every request back).
void LendIdleInstances(Spawner* s, const std::function<bool(const ResidentInstance&)>& room);

// The connection ended while its instance had its request.
void ResidentRequestLeft(Spawner* s, Connection* c);

// After each round: idle ones and those of an ending spawner retired, overdue ones stopped, ended
// ones forgotten.
void LookAfterInstances(Spawner* s);
// The soonest of their deadlines, from `nowMs`: at most `longest` milliseconds.
int64_t InstancesWaitMs(const Spawner& s, int64_t nowMs, int64_t longest);

// Instances that count against the caps: all, or one site's.
size_t InstancesCounted(const Spawner& s);
size_t SiteInstancesCounted(const Spawner& s, uint32_t site, const std::string& name);
// No instance is starting, serving a request or being stopped: an ending spawner may go.
bool InstancesSettled(const Spawner& s);
// The spawner's end: the last of their standard error logged, every channel closed.
void EndInstances(Spawner* s);

// The status lines "Resident: PID REQUESTS RSS-KiB STATE LABEL", at most kStatusInstancesListed.
constexpr size_t kStatusInstancesListed = 40;
constexpr size_t kStatusInstanceLineBytes = 256 + 80;
std::string InstanceStatusLines(const Spawner& s);

}  // namespace spawner_loop

#endif  // KARVEL_HOST_RESIDENT_SPAWNER_H
