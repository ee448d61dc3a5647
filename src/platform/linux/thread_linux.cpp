#include "platform/thread.h"

#include <limits.h>
#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace vantor::platform {

// The start gate lives on the heap and is shared with the new thread, so the
// Thread object may go away (detach) while the thread still runs.
struct Gate {
  std::mutex mutex;
  std::condition_variable cv;
  bool open = false;
  std::function<void()> body;
};

struct Thread::Impl {
  pthread_t handle{};
  std::shared_ptr<Gate> gate;
  bool joinable = false;
};

namespace {
void* threadMain(void* arg) {
  auto* holder = static_cast<std::shared_ptr<Gate>*>(arg);
  std::shared_ptr<Gate> gate = std::move(*holder);
  delete holder;
  {
    std::unique_lock lock(gate->mutex);
    gate->cv.wait(lock, [&] { return gate->open; });
  }
  auto body = std::move(gate->body);
  gate.reset();
  if (body) body();
  return nullptr;
}
}  // namespace

Thread::Thread() = default;
Thread::~Thread() { release(); }
Thread::Thread(Thread&&) noexcept = default;
Thread& Thread::operator=(Thread&& other) noexcept {
  if (this != &other) {
    release();
    impl_ = std::move(other.impl_);
  }
  return *this;
}

void Thread::release() {
  if (impl_ && impl_->joinable) {
    resume();
    detach();
  }
}

bool Thread::createSuspended(std::function<void()> body, std::size_t stackSize) {
  auto impl = std::make_unique<Impl>();
  impl->gate = std::make_shared<Gate>();
  impl->gate->body = std::move(body);
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  if (stackSize > 0) {
    std::size_t minimum = static_cast<std::size_t>(PTHREAD_STACK_MIN);
    std::size_t size = stackSize < minimum ? minimum : stackSize;
    pthread_attr_setstacksize(&attr, size);
  }
  auto* holder = new std::shared_ptr<Gate>(impl->gate);
  int rc = pthread_create(&impl->handle, &attr, threadMain, holder);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete holder;
    return false;
  }
  impl->joinable = true;
  release();
  impl_ = std::move(impl);
  return true;
}

void Thread::resume() {
  if (!impl_ || !impl_->gate) return;
  {
    std::lock_guard lock(impl_->gate->mutex);
    impl_->gate->open = true;
  }
  impl_->gate->cv.notify_one();
  impl_->gate.reset();
}

void Thread::join() {
  if (!impl_ || !impl_->joinable) return;
  resume();
  pthread_join(impl_->handle, nullptr);
  impl_->joinable = false;
}

void Thread::detach() {
  if (!impl_ || !impl_->joinable) return;
  pthread_detach(impl_->handle);
  impl_->joinable = false;
}

bool Thread::valid() const { return impl_ && impl_->joinable; }

void sleepMs(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

void setCurrentThreadName(const char* name) {
  char shortName[16];
  std::snprintf(shortName, sizeof shortName, "%s", name);
  pthread_setname_np(pthread_self(), shortName);
}

}  // namespace vantor::platform
