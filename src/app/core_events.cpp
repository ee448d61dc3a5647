#include "app/core_events.h"

#include <chrono>

namespace vantor::app {

CEventQueue::~CEventQueue() { stopThread(); }

void CEventQueue::post(CoreEvent event) {
  std::function<void()> wake;
  {
    std::lock_guard<std::mutex> guard(lock_);
    queue_.push_back(std::move(event));
    ++posted_;
    wake = wake_;
  }
  changed_.notify_all();
  if (wake) wake();
}

void CEventQueue::setWake(std::function<void()> wake) {
  std::lock_guard<std::mutex> guard(lock_);
  wake_ = std::move(wake);
}

int CEventQueue::drain(const Listener& listener) {
  std::unique_lock<std::mutex> guard(lock_);
  // One thread delivers at a time. The same thread may drain again from
  // inside a listener (a message box's own event loop): it goes on with the
  // next events in order, as the outer call would have.
  const std::thread::id self = std::this_thread::get_id();
  if (delivering_ && drainer_ != self) return 0;
  const bool outer = !delivering_;
  delivering_ = true;
  drainer_ = self;
  int count = 0;
  while (!queue_.empty()) {
    CoreEvent event = std::move(queue_.front());
    queue_.pop_front();
    guard.unlock();
    listener(event);
    ++count;
    guard.lock();
    ++delivered_;
    changed_.notify_all();
  }
  if (outer) delivering_ = false;
  return count;
}

void CEventQueue::startThread(Listener listener) {
  std::lock_guard<std::mutex> guard(lock_);
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this, listener = std::move(listener)] { threadMain(listener); });
}

void CEventQueue::threadMain(Listener listener) {
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    changed_.wait(guard, [this] { return stop_ || !queue_.empty(); });
    if (queue_.empty() && stop_) return;
    guard.unlock();
    drain(listener);
    guard.lock();
  }
}

void CEventQueue::stopThread() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!thread_.joinable()) return;
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

bool CEventQueue::flush(int timeoutMs) {
  std::unique_lock<std::mutex> guard(lock_);
  uint64_t target = posted_;
  return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return delivered_ >= target; });
}

std::size_t CEventQueue::pending() const {
  std::lock_guard<std::mutex> guard(lock_);
  return queue_.size();
}

}  // namespace vantor::app
