// Termination requests on Windows are console control events (Ctrl+C,
// Ctrl+Break, closing the console, log-off and shut-down), delivered on a
// thread of their own. The handler records each as the matching signal
// number (SIGINT for Ctrl+C, SIGTERM for the others) and wakes whoever waits.
#include "platform/signals.h"

#include <windows.h>

#include <csignal>
#include <deque>
#include <mutex>

#include "platform/windows/termination_queue.h"

namespace vantor::platform {
namespace win {

TerminationQueue& terminationQueue() {
  static TerminationQueue queue;
  return queue;
}

namespace {
BOOL WINAPI onConsoleEvent(DWORD type) {
  int sig = type == CTRL_C_EVENT ? SIGINT : SIGTERM;
  terminationQueue().push(sig);
  // Closing the console and shut-down end the process when the handler
  // returns; give the waiting thread time to stop cleanly first.
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) Sleep(5000);
  return TRUE;
}
}  // namespace

void installConsoleHandler() {
  static std::once_flag once;
  std::call_once(once, [] { SetConsoleCtrlHandler(onConsoleEvent, TRUE); });
}

void TerminationQueue::push(int sig) {
  std::vector<SOCKET> notify;
  {
    std::lock_guard lock(mutex);
    pending.push_back(sig);
    notify = listeners;
  }
  cv.notify_all();
  const char one = 1;
  for (SOCKET s : notify) ::send(s, &one, 1, 0);
}

int TerminationQueue::waitFor(int timeoutMs) {
  std::unique_lock lock(mutex);
  auto ready = [&] { return !pending.empty(); };
  if (timeoutMs < 0) {
    cv.wait(lock, ready);
  } else if (!cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
    return 0;
  }
  int sig = pending.front();
  pending.pop_front();
  return sig;
}

}  // namespace win

void blockTerminationSignals() { win::installConsoleHandler(); }

int waitTerminationSignal() {
  win::installConsoleHandler();
  return win::terminationQueue().waitFor(-1);
}

}  // namespace vantor::platform
