// The signals that ask the process to stop, for the Linux signal code.
#pragma once

#include <signal.h>

namespace vantor::platform {

inline sigset_t terminationSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace vantor::platform
