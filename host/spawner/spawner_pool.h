// Programs started on threads of their own. vfork stops the thread that calls it until the child
// has reached exec, and on a busy machine most of that is the child waiting for a CPU: with the
// starts on these threads, the spawner's loop goes on serving its connections meanwhile, and the
// starts of several requests overlap.
#ifndef KARVEL_HOST_SPAWNER_POOL_H
#define KARVEL_HOST_SPAWNER_POOL_H

#include <signal.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/spawner/process_group.h"
#include "host/spawner/site_user.h"
#include "host/spawner/spawner_protocol.h"

// One program to start, what it needs for the start (owned here, alive until it is done), and how
// the start went.
struct SpawnJob {
  uint64_t id = 0;
  std::string program, argument;
  std::vector<std::string> environment;  // "NAME=value"
  int64_t limits[kLimitCount][2] = {};
  const char* loader = nullptr;             // outlives the job (the spawner's Wine settings)
  const sigset_t* signalsToReset = nullptr; // outlives the job (the spawner's own)
  const SiteUser* user = nullptr;           // outlives the job (the spawner's sites); null: its own user
  std::string refused;                      // the rule a site's user's program failed, with EACCES
  // A resident instance's start: the child's end of its channel (closed by the spawner once the
  // start is done) and the instance's id; -1 and 0 for a one-shot program.
  int residentChannel = -1;
  uint64_t instance = 0;
  // Filled in by the start: the child's id (also of a child whose exec failed, already reaped;
  // 0 when none was made), its standard error's reading end, 0 or the errno of the failure.
  pid_t pid = 0;
  int stderrFd = -1;
  int failure = 0;
  ProcessGroup group{0, -1};  // the hold of the program's group, taken at once after its start
};

class SpawnPool {
 public:
  SpawnPool() = default;
  SpawnPool(const SpawnPool&) = delete;
  SpawnPool& operator=(const SpawnPool&) = delete;
  ~SpawnPool();

  // Makes the threads and the descriptor that turns readable when a start is done; false when
  // either cannot be had.
  bool Begin(int threads);
  // Readable while finished starts wait to be taken.
  int ReadyFd() const { return ready_; }
  void Submit(std::unique_ptr<SpawnJob> job);
  // The starts done since the last call.
  std::vector<std::unique_ptr<SpawnJob>> TakeFinished();
  // Held shared by each start from before its child is made until the start is among the
  // finished ones: whoever reaps children holds it alone, and so never reaps a program whose
  // start it cannot take yet.
  std::shared_mutex& ReapLock() { return reapLock_; }

 private:
  void Work();

  std::mutex lock_;
  std::shared_mutex reapLock_;
  std::condition_variable wake_;
  std::deque<std::unique_ptr<SpawnJob>> waiting_;
  std::vector<std::unique_ptr<SpawnJob>> finished_;
  std::vector<std::thread> threads_;
  bool stopping_ = false;
  int ready_ = -1;  // eventfd
};

#endif  // KARVEL_HOST_SPAWNER_POOL_H
