// A handle that one thread makes readable to wake another that waits on it
// among sockets (in a Poller), and that the waiting thread clears again.
#pragma once

#include "platform/poller.h"

namespace vantor::platform {

class WakeEvent {
 public:
  WakeEvent() = default;
  ~WakeEvent();
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;

  bool open();
  IoHandle handle() const { return handle_; }
  // Makes the handle readable; any thread may call it.
  void signal();
  // Consumes every signal so far.
  void clear();

 private:
  IoHandle handle_ = kInvalidIoHandle;
};

}  // namespace vantor::platform
