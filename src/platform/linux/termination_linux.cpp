#include "platform/termination_events.h"
#include "platform/linux/termination_set.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace vantor::platform {
IoHandle openTerminationEvents() {
  sigset_t set = terminationSet();
  // A signalfd only sees signals that are blocked; block them here too so a
  // caller that forgot cannot be killed by the default action on this thread.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  int fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  return fd < 0 ? kInvalidIoHandle : fd;
}

void closeTerminationEvents(IoHandle handle) {
  if (handle != kInvalidIoHandle) ::close(static_cast<int>(handle));
}

bool takeTerminationEvent(IoHandle handle) {
  signalfd_siginfo info;
  ssize_t n = ::read(static_cast<int>(handle), &info, sizeof info);
  return n == static_cast<ssize_t>(sizeof info);
}

int waitTerminationSignalFor(int timeoutMs) {
  sigset_t set = terminationSet();
  timespec ts{timeoutMs / 1000, static_cast<long>(timeoutMs % 1000) * 1000000L};
  for (;;) {
    int sig = ::sigtimedwait(&set, nullptr, &ts);
    if (sig > 0) return sig;
    if (errno == EINTR) continue;
    return 0;
  }
}

}  // namespace vantor::platform
