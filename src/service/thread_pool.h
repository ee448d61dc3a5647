// A pool of worker threads that grows in steps when every worker is busy and,
// when asked to, lets workers beyond its initial number go after a while
// without work.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/thread.h"

namespace vantor {

class CThreadPool {
 public:
  struct Options {
    std::size_t stackSize = 307200;
    uint32_t initialThreads = 100;
    uint32_t growStep = 50;
    uint32_t maxThreads = 500;  // 0: no limit
    int extraStopWaitMs = 0;
    int priority = 2;  // highest; not applied where the system needs privileges for it
    // A worker beyond initialThreads that has had no job for this long ends;
    // 0 keeps every worker until the pool stops.
    int idleExitMs = 0;
  };
  using Job = std::function<void()>;

  // Both start the pool; when that fails the pool is left stopped (state() 2)
  // with no thread running, and every submit is refused.
  CThreadPool();
  explicit CThreadPool(const Options& options);
  // Stops the pool, waiting for running jobs.
  virtual ~CThreadPool();
  CThreadPool(const CThreadPool&) = delete;
  CThreadPool& operator=(const CThreadPool&) = delete;

  // Creates initialThreads workers. False when a thread could not be made;
  // the workers made before it are then stopped and joined.
  bool start();
  // Queues a job for the first free worker, growing the pool by growStep when
  // none is free. At maxThreads the job waits for a worker. False when the
  // pool is not running, or when no worker is free and none could be created
  // (the job is then dropped).
  bool submit(Job job);
  // Adds up to n workers, never beyond maxThreads; returns how many were made.
  uint32_t grow(uint32_t n);
  // Ends the pool: queued jobs are dropped, idle workers end at once. With
  // waitForBusy it returns once every running job has returned and every
  // worker is joined; without, it waits up to 2 s (plus extraStopWaitMs) and
  // leaves workers still running a job to end by themselves.
  void stop(bool waitForBusy);
  uint32_t busyCount();
  uint32_t workerCount();
  int state();  // 0 running, 1 stopping, 2 stopped
  const std::string& name() const { return name_; }

  static int poolCount();

 private:
  // State shared with the worker threads; a worker left running by a stop
  // without waiting keeps it alive.
  struct Shared {
    std::mutex lock;  // queue, counts, worker table and state
    std::condition_variable jobReady;
    std::condition_variable allIdle;
    std::deque<std::pair<uint64_t, Job>> queue;  // in order of submission, with its ticket
    uint64_t submitted = 0;
    uint32_t busy = 0;  // workers running a job; the others take queued jobs before they wait
    std::size_t free() const { return workers.size() - busy; }
    int state = 2;
    uint32_t nextId = 0;
    std::map<uint32_t, platform::Thread> workers;
    std::vector<platform::Thread> finished;  // workers that ended by themselves, to be joined
  };

  // The three below are called with growLock_ held.
  bool createWorker();
  uint32_t growBy(uint32_t n, bool& failed);
  void finishStop(bool join);
  static void workerLoop(const std::shared_ptr<Shared>& shared, uint32_t id, const Options& options);
  void joinFinished();

  Options options_;
  std::shared_ptr<Shared> shared_;
  std::mutex growLock_;  // creating workers; never taken under shared_->lock
  std::string name_;
};

}  // namespace vantor
