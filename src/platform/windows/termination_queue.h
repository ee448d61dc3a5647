// Pending termination requests of this process (console control events),
// shared by the blocking waits and the pollable termination handles.
#pragma once

#include <winsock2.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

namespace vantor::platform::win {

struct TerminationQueue {
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<int> pending;
  // Sockets that receive a byte per request (the readable handles of
  // openTerminationEvents).
  std::vector<SOCKET> listeners;

  void push(int sig);
  // The next request's signal number; 0 when none came within `timeoutMs`
  // (negative: wait without limit).
  int waitFor(int timeoutMs);
};

TerminationQueue& terminationQueue();
void installConsoleHandler();

}  // namespace vantor::platform::win
