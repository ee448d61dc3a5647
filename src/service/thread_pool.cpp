#include "service/thread_pool.h"

#include <atomic>
#include <chrono>
#include <cstdio>

namespace vantor {
namespace {
std::atomic<int> gPoolCounter{0};
}  // namespace

int CThreadPool::poolCount() { return gPoolCounter.load(); }

CThreadPool::CThreadPool() : CThreadPool(Options{}) {}

CThreadPool::CThreadPool(const Options& options) : options_(options), shared_(std::make_shared<Shared>()) { start(); }

CThreadPool::~CThreadPool() { stop(true); }

bool CThreadPool::start() {
  std::lock_guard grow(growLock_);
  {
    std::lock_guard lock(shared_->lock);
    if (shared_->state != 2) return false;
  }
  // Workers that an earlier stop left running keep the old shared state.
  shared_ = std::make_shared<Shared>();
  shared_->state = 0;
  char buf[32];
  std::snprintf(buf, sizeof buf, "Pool%d", ++gPoolCounter);
  name_ = buf;
  for (uint32_t i = 0; i < options_.initialThreads; ++i) {
    if (createWorker()) continue;
    {
      std::lock_guard lock(shared_->lock);
      shared_->state = 1;
    }
    shared_->jobReady.notify_all();
    finishStop(true);
    return false;
  }
  return true;
}

bool CThreadPool::createWorker() {
  std::shared_ptr<Shared> shared = shared_;
  uint32_t id;
  {
    std::lock_guard lock(shared->lock);
    if (shared->state != 0) return false;
    id = ++shared->nextId;
  }
  platform::Thread thread;
  Options options = options_;
  if (!thread.createSuspended([shared, id, options] { workerLoop(shared, id, options); }, options_.stackSize))
    return false;
  std::lock_guard lock(shared->lock);
  // Registered before it runs, so that it can find itself when it retires.
  shared->workers.emplace(id, std::move(thread)).first->second.resume();
  return true;
}

void CThreadPool::workerLoop(const std::shared_ptr<Shared>& shared, uint32_t id, const Options& options) {
  std::unique_lock lock(shared->lock);
  auto ready = [&] { return shared->state != 0 || !shared->queue.empty(); };
  for (;;) {
    if (shared->state != 0) return;  // stop() joins the workers it finds registered
    if (shared->queue.empty()) {
      bool mayRetire = options.idleExitMs > 0 && shared->workers.size() > options.initialThreads;
      bool woken = true;
      if (mayRetire)
        woken = shared->jobReady.wait_for(lock, std::chrono::milliseconds(options.idleExitMs), ready);
      else
        shared->jobReady.wait(lock, ready);
      if (!woken && shared->workers.size() > options.initialThreads) {
        auto self = shared->workers.find(id);
        if (self != shared->workers.end()) {
          shared->finished.push_back(std::move(self->second));
          shared->workers.erase(self);
          return;
        }
      }
      continue;
    }
    // Taking the job and counting the worker busy happen under one lock, so
    // a stop that sees no busy worker knows that no job is about to start.
    Job job = std::move(shared->queue.front().second);
    shared->queue.pop_front();
    ++shared->busy;
    lock.unlock();
    job();
    job = nullptr;  // what the job holds goes before the worker counts as idle
    lock.lock();
    if (--shared->busy == 0) shared->allIdle.notify_all();
  }
}

void CThreadPool::joinFinished() {
  std::vector<platform::Thread> finished;
  {
    std::lock_guard lock(shared_->lock);
    finished.swap(shared_->finished);
  }
  for (auto& t : finished) t.join();
}

bool CThreadPool::submit(Job job) {
  if (!job) return false;
  std::shared_ptr<Shared> shared = shared_;
  uint64_t ticket;
  {
    std::lock_guard lock(shared->lock);
    if (shared->state != 0) return false;
    ticket = ++shared->submitted;
    shared->queue.emplace_back(ticket, std::move(job));
    if (shared->queue.size() <= shared->free()) {
      shared->jobReady.notify_one();
      return true;
    }
    if (options_.growStep == 0 || (options_.maxThreads != 0 && shared->workers.size() >= options_.maxThreads))
      return true;  // waits for a worker to finish its job
  }
  joinFinished();
  bool failed = false;
  uint32_t made = growBy(options_.growStep, failed);
  Job withdrawn;  // released after the lock
  std::lock_guard lock(shared->lock);
  if (made > 0 || !failed || shared->queue.size() <= shared->free()) {
    shared->jobReady.notify_one();
    return true;
  }
  // No worker is free and none could be made: the job is withdrawn, unless a
  // worker has taken it meanwhile (or a stop has dropped it).
  for (auto it = shared->queue.begin(); it != shared->queue.end(); ++it) {
    if (it->first != ticket) continue;
    withdrawn = std::move(it->second);
    shared->queue.erase(it);
    return false;
  }
  return shared->state == 0;
}

uint32_t CThreadPool::grow(uint32_t n) {
  bool failed = false;
  return growBy(n, failed);
}

uint32_t CThreadPool::growBy(uint32_t n, bool& failed) {
  std::lock_guard grow(growLock_);
  std::size_t count;
  {
    std::lock_guard lock(shared_->lock);
    if (shared_->state != 0) return 0;
    count = shared_->workers.size();
  }
  if (options_.maxThreads != 0 && count >= options_.maxThreads) return 0;
  uint32_t room = options_.maxThreads != 0 ? static_cast<uint32_t>(options_.maxThreads - count) : n;
  uint32_t want = n < room ? n : room;
  uint32_t made = 0;
  for (; made < want; ++made) {
    if (!createWorker()) {
      failed = true;
      break;
    }
  }
  return made;
}

void CThreadPool::stop(bool waitForBusy) {
  std::shared_ptr<Shared> shared;
  std::deque<std::pair<uint64_t, Job>> dropped;
  bool drained;
  {
    std::lock_guard grow(growLock_);
    shared = shared_;
  }
  {
    std::unique_lock lock(shared->lock);
    if (shared->state != 0) return;
    shared->state = 1;
    dropped.swap(shared->queue);
    shared->jobReady.notify_all();
    auto noneBusy = [&] { return shared->busy == 0; };
    if (waitForBusy) {
      shared->allIdle.wait(lock, noneBusy);
    } else {
      shared->allIdle.wait_for(lock, std::chrono::milliseconds(2000), noneBusy);
      if (shared->busy > 0 && options_.extraStopWaitMs > 0)
        shared->allIdle.wait_for(lock, std::chrono::milliseconds(options_.extraStopWaitMs), noneBusy);
    }
    drained = shared->busy == 0;
  }
  dropped.clear();
  // A grow that passed its state check before the stop may still be making a
  // worker; it is registered (and sees the stop) before growLock_ is free.
  std::lock_guard grow(growLock_);
  finishStop(drained);
}

// Called with growLock_ held, in state 1.
void CThreadPool::finishStop(bool join) {
  std::vector<platform::Thread> threads;
  {
    std::lock_guard lock(shared_->lock);
    for (auto& [id, thread] : shared_->workers) threads.push_back(std::move(thread));
    shared_->workers.clear();
    for (auto& thread : shared_->finished) threads.push_back(std::move(thread));
    shared_->finished.clear();
  }
  for (auto& t : threads) {
    if (join)
      t.join();
    else
      t.detach();
  }
  {
    std::lock_guard lock(shared_->lock);
    shared_->state = 2;
  }
  --gPoolCounter;
}

uint32_t CThreadPool::busyCount() {
  std::lock_guard lock(shared_->lock);
  return shared_->busy;
}

uint32_t CThreadPool::workerCount() {
  std::lock_guard lock(shared_->lock);
  return static_cast<uint32_t>(shared_->workers.size());
}

int CThreadPool::state() {
  std::lock_guard lock(shared_->lock);
  return shared_->state;
}

}  // namespace vantor
