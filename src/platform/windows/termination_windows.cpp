// Termination requests as a readable handle: a loopback UDP socket connected
// to itself (so WSAPoll can watch it), written to by the console handler.
#include "platform/termination_events.h"

#include <winsock2.h>

#include <algorithm>

#include "platform/net.h"
#include "platform/windows/termination_queue.h"
#include "platform/windows/win_support.h"

namespace vantor::platform {

IoHandle openTerminationEvents() {
  win::installConsoleHandler();
  SocketHandle s = createSocket(SocketType::Udp);
  if (s == kInvalidSocket) return kInvalidIoHandle;
  Ipv4Endpoint self{kLoopbackAddress, 0};
  if (!bindSocket(s, self) || !localEndpoint(s, self) || connectSocket(s, self) != ConnectStatus::Connected ||
      !setNonBlocking(s, true)) {
    closeSocket(s);
    return kInvalidIoHandle;
  }
  auto& queue = win::terminationQueue();
  std::lock_guard lock(queue.mutex);
  queue.listeners.push_back(static_cast<SOCKET>(s));
  return s;
}

void closeTerminationEvents(IoHandle handle) {
  if (handle == kInvalidIoHandle) return;
  auto& queue = win::terminationQueue();
  {
    std::lock_guard lock(queue.mutex);
    auto& l = queue.listeners;
    l.erase(std::remove(l.begin(), l.end(), static_cast<SOCKET>(handle)), l.end());
  }
  closeSocket(handle);
}

bool takeTerminationEvent(IoHandle handle) {
  char byte;
  if (::recv(static_cast<SOCKET>(handle), &byte, 1, 0) != 1) {
    win::noteWouldBlock(handle);
    return false;
  }
  // The request is consumed here; drop it from the blocking waits' queue too.
  auto& queue = win::terminationQueue();
  std::lock_guard lock(queue.mutex);
  if (!queue.pending.empty()) queue.pending.pop_front();
  return true;
}

int waitTerminationSignalFor(int timeoutMs) {
  win::installConsoleHandler();
  return win::terminationQueue().waitFor(timeoutMs < 0 ? 0 : timeoutMs);
}

}  // namespace vantor::platform
