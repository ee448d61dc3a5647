// Threads that are created first and started later, with a chosen stack size,
// so a caller can register a thread before it runs.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace vantor::platform {

class Thread {
 public:
  Thread();
  // A thread that is neither joined nor detached is started (when it was
  // still suspended) and detached: by the destructor, by an assignment over
  // it and by createSuspended() on this object.
  ~Thread();
  Thread(Thread&&) noexcept;
  Thread& operator=(Thread&&) noexcept;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Creates the thread with `stackSize` bytes of stack (0: the default); `body`
  // does not run until resume(). False when the system refuses the thread.
  bool createSuspended(std::function<void()> body, std::size_t stackSize);
  void resume();
  void join();
  void detach();
  bool valid() const;

 private:
  void release();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

void sleepMs(int milliseconds);

// Names the calling thread for the system's tools (at most 15 characters
// are kept).
void setCurrentThreadName(const char* name);

}  // namespace vantor::platform
