#include "platform/signals.h"
#include "platform/linux/termination_set.h"

#include <pthread.h>
#include <signal.h>

namespace vantor::platform {
void blockTerminationSignals() {
  sigset_t set = terminationSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // Writes to a closed peer must fail with an error, never kill the process.
  signal(SIGPIPE, SIG_IGN);
}

int waitTerminationSignal() {
  sigset_t set = terminationSet();
  int sig = 0;
  while (sigwait(&set, &sig) != 0) {
  }
  return sig;
}

}  // namespace vantor::platform
