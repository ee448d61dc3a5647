#include "service/thread_pool.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

namespace vantor {
namespace {
std::atomic<int> gPoolCounter{0};
std::atomic<uint32_t> gWorkerIds{0};
}  // namespace

void CEvent::set() {
  {
    std::lock_guard lock(mutex_);
    set_ = true;
  }
  cv_.notify_all();
}

void CEvent::reset() {
  std::lock_guard lock(mutex_);
  set_ = false;
}

bool CEvent::isSet() {
  std::lock_guard lock(mutex_);
  return set_;
}

int CThreadPool::poolCount() { return gPoolCounter.load(); }

CThreadPool::CThreadPool() : CThreadPool(Options{}) {}

CThreadPool::CThreadPool(const Options& options)
    : options_(options), shared_(std::make_shared<Shared>()) {
  if (!start()) throw std::runtime_error("worker pool could not start");
}

CThreadPool::~CThreadPool() { stop(false); }

bool CThreadPool::start() {
  if (shared_->state.load() != 2) return false;
  std::lock_guard grow(growLock_);
  // Workers of an earlier run may still be on their way out; they keep the old state.
  if (started_) shared_ = std::make_shared<Shared>();
  poolNumber_ = ++gPoolCounter;
  char buf[32];
  std::snprintf(buf, sizeof buf, "Pool%d", poolNumber_);
  name_ = buf;
  shared_->stopEvent.reset();
  workerTotal_ = 0;
  for (uint32_t i = 0; i < options_.initialThreads; ++i) {
    if (!createWorker(i)) {
      --gPoolCounter;
      return false;
    }
    ++workerTotal_;
  }
  started_ = true;
  shared_->state = 0;
  return true;
}

// Called with growLock_ held.
bool CThreadPool::createWorker(uint32_t index) {
  auto worker = std::make_shared<Worker>();
  worker->id = ++gWorkerIds;
  char buf[64];
  std::snprintf(buf, sizeof buf, "PID:%d IID:%d TDX:%u", 0, poolNumber_, index);
  worker->wakeName = buf;
  platform::Thread thread;
  if (!thread.createSuspended([shared = shared_, worker] { workerLoop(shared, worker); },
                              options_.stackSize))
    return false;
  {
    std::lock_guard table(shared_->tableLock);
    shared_->workers[worker->id] = worker;
  }
  thread.resume();
  thread.detach();
  return true;
}

void CThreadPool::workerLoop(std::shared_ptr<Shared> shared, std::shared_ptr<Worker> self) {
  for (;;) {
    // Wait for the own wake event or the pool's stop event.
    for (;;) {
      if (shared->stopEvent.isSet()) return;
      std::unique_lock lock(self->wake.mutex());
      if (self->wake.setLocked()) break;
      self->wake.cv().wait_for(lock, std::chrono::milliseconds(100));
    }
    if (shared->state.load() != 0) return;

    Job job;
    {
      std::lock_guard q(shared->queueLock);
      if (!shared->queue.empty()) {
        job = std::move(shared->queue.front());
        shared->queue.pop_front();
      }
    }
    if (!job) {
      {
        std::lock_guard table(shared->tableLock);
        self->idle = true;
        self->wake.reset();
      }
      // A job queued between the look and the reset would otherwise wait for
      // the next submit: look once more.
      bool pending;
      {
        std::lock_guard q(shared->queueLock);
        pending = !shared->queue.empty();
      }
      if (pending) self->wake.set();
      continue;
    }
    {
      std::lock_guard table(shared->tableLock);
      self->idle = false;
    }
    job();
    job = nullptr;
    std::lock_guard table(shared->tableLock);
    self->idle = true;  // the wake event stays set so queued jobs are drained first
  }
}

bool CThreadPool::wakeFirstIdle() {
  std::lock_guard table(shared_->tableLock);
  for (auto& [id, worker] : shared_->workers) {
    if (worker->idle) {
      worker->idle = false;
      worker->wake.set();
      return true;
    }
  }
  return false;
}

bool CThreadPool::submit(Job job) {
  if (shared_->state.load() != 0) return false;
  {
    std::lock_guard q(shared_->queueLock);
    shared_->queue.push_back(std::move(job));
  }
  if (wakeFirstIdle()) return true;
  if (options_.growStep != 0 && grow(options_.growStep) > 0) wakeFirstIdle();
  return true;
}

uint32_t CThreadPool::grow(uint32_t n) {
  std::lock_guard grow(growLock_);
  if (options_.maxThreads != 0 && workerTotal_ >= options_.maxThreads) return 0;
  uint32_t room = options_.maxThreads != 0 ? options_.maxThreads - workerTotal_ : n;
  uint32_t want = n < room ? n : room;
  uint32_t made = 0;
  for (; made < want; ++made)
    if (!createWorker(workerTotal_ + made)) break;
  workerTotal_ += made;
  return made;
}

void CThreadPool::stop(bool waitForBusy) {
  int expected = 0;
  if (!shared_->state.compare_exchange_strong(expected, 1)) return;
  shared_->stopEvent.set();
  {
    // Wake every worker so it sees the stop at once.
    std::lock_guard table(shared_->tableLock);
    for (auto& [id, worker] : shared_->workers) worker->wake.set();
  }
  if (waitForBusy) {
    while (busyCount() > 0) platform::sleepMs(200);
  } else {
    // Give busy workers up to 2 s to finish; return as soon as none is busy.
    for (int waited = 0; waited < 2000 && busyCount() > 0; waited += 50) platform::sleepMs(50);
    if (busyCount() > 0 && options_.extraStopWaitMs > 0) platform::sleepMs(options_.extraStopWaitMs);
  }
  {
    std::lock_guard q(shared_->queueLock);
    shared_->queue.clear();
  }
  {
    std::lock_guard table(shared_->tableLock);
    shared_->workers.clear();
  }
  --gPoolCounter;
  shared_->state = 2;
}

uint32_t CThreadPool::busyCount() {
  std::lock_guard table(shared_->tableLock);
  uint32_t busy = 0;
  for (auto& [id, worker] : shared_->workers) busy += worker->idle ? 0 : 1;
  return busy;
}

uint32_t CThreadPool::workerCount() {
  std::lock_guard grow(growLock_);
  return workerTotal_;
}

}  // namespace vantor
