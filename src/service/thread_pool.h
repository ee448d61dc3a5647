// A pool of worker threads that grows in steps when every worker is busy.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/thread.h"

namespace vantor {

// A manual-reset event: stays set until reset.
class CEvent {
 public:
  void set();
  void reset();
  bool isSet();
  std::mutex& mutex() { return mutex_; }
  std::condition_variable& cv() { return cv_; }
  bool setLocked() const { return set_; }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool set_ = false;
};

class CThreadPool {
 public:
  struct Options {
    std::size_t stackSize = 307200;
    uint32_t initialThreads = 100;
    uint32_t growStep = 50;
    uint32_t maxThreads = 500;
    int extraStopWaitMs = 0;
    int priority = 2;  // highest; not applied where the system needs privileges for it
  };
  using Job = std::function<void()>;

  CThreadPool();  // default options; throws std::runtime_error when the start fails
  explicit CThreadPool(const Options& options);
  virtual ~CThreadPool();
  CThreadPool(const CThreadPool&) = delete;
  CThreadPool& operator=(const CThreadPool&) = delete;

  bool start();
  bool submit(Job job);
  // Adds up to n workers, never beyond maxThreads; returns how many were made.
  uint32_t grow(uint32_t n);
  void stop(bool waitForBusy);
  uint32_t busyCount();
  uint32_t workerCount();
  int state() const { return shared_->state.load(); }
  const std::string& name() const { return name_; }

  static int poolCount();

 private:
  struct Worker {
    bool idle = true;
    CEvent wake;
    std::string wakeName;
    uint32_t id = 0;
  };
  // State shared with the worker threads; they keep it alive while they run.
  struct Shared {
    std::mutex queueLock;
    std::list<Job> queue;
    std::mutex tableLock;
    std::map<uint32_t, std::shared_ptr<Worker>> workers;
    CEvent stopEvent;
    std::atomic<int> state{2};  // 0 running, 1 stopping, 2 stopped
  };

  bool createWorker(uint32_t index);
  static void workerLoop(std::shared_ptr<Shared> shared, std::shared_ptr<Worker> self);
  bool wakeFirstIdle();

  Options options_;
  std::shared_ptr<Shared> shared_;
  std::mutex growLock_;
  std::string name_;
  int poolNumber_ = 0;
  uint32_t workerTotal_ = 0;
  bool started_ = false;
};

}  // namespace vantor
