#include "host/spawner/spawner_pool.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include "host/spawner/spawn_program.h"

SpawnPool::~SpawnPool() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  for (const auto& job : finished_) {
    if (job->stderrFd >= 0) close(job->stderrFd);
    ReleaseProcessGroup(&job->group);
  }
  if (ready_ >= 0) close(ready_);
}

bool SpawnPool::Begin(int threads) {
  ready_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (ready_ < 0) return false;
  // The threads take the caller's signal mask: the spawner's blocked signals stay its loop's.
  for (int k = 0; k < threads; ++k) threads_.emplace_back(&SpawnPool::Work, this);
  return true;
}

void SpawnPool::Submit(std::unique_ptr<SpawnJob> job) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    waiting_.push_back(std::move(job));
  }
  wake_.notify_one();
}

std::vector<std::unique_ptr<SpawnJob>> SpawnPool::TakeFinished() {
  uint64_t count = 0;
  (void)!read(ready_, &count, sizeof count);
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<std::unique_ptr<SpawnJob>> taken;
  taken.swap(finished_);
  return taken;
}

void SpawnPool::Work() {
  for (;;) {
    std::unique_ptr<SpawnJob> job;
    {
      std::unique_lock<std::mutex> guard(lock_);
      wake_.wait(guard, [this] { return stopping_ || !waiting_.empty(); });
      if (waiting_.empty()) return;  // stopping, nothing left
      job = std::move(waiting_.front());
      waiting_.pop_front();
    }
    std::vector<char*> environment;
    for (std::string& variable : job->environment) environment.push_back(variable.data());
    environment.push_back(nullptr);
    // An order's program was resolved and checked by the request: the file started is that one.
    ProgramStart start{job->program.c_str(), job->argument.c_str(), environment.data(), job->limits,
                       job->loader, job->signalsToReset, true};
    start.user = job->user;
    start.refused = &job->refused;
    start.residentChannel = job->residentChannel;
    {
      std::shared_lock<std::shared_mutex> notReaped(reapLock_);
      job->failure = StartProgram(start, &job->pid, &job->stderrFd);
      if (job->failure == 0) job->group = HoldProcessGroup(job->pid);
      std::lock_guard<std::mutex> guard(lock_);
      finished_.push_back(std::move(job));
    }
    const uint64_t one = 1;
    (void)!write(ready_, &one, sizeof one);
  }
}
