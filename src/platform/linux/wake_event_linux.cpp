#include "platform/wake_event.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace vantor::platform {

WakeEvent::~WakeEvent() {
  if (handle_ != kInvalidIoHandle) ::close(static_cast<int>(handle_));
}

bool WakeEvent::open() {
  if (handle_ != kInvalidIoHandle) return true;
  int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return false;
  handle_ = fd;
  return true;
}

void WakeEvent::signal() {
  const uint64_t one = 1;
  // A full counter is still readable, which is all a signal needs.
  [[maybe_unused]] ssize_t n = ::write(static_cast<int>(handle_), &one, sizeof one);
}

void WakeEvent::clear() {
  uint64_t count;
  [[maybe_unused]] ssize_t n = ::read(static_cast<int>(handle_), &count, sizeof count);
}

}  // namespace vantor::platform
