// A wake event as a UDP socket on loopback sending to itself: a socket is
// what WSAPoll (and so the poller) can wait on among other sockets.
#include "platform/wake_event.h"

#include <winsock2.h>

#include "platform/net.h"
#include "platform/windows/win_support.h"

namespace vantor::platform {

WakeEvent::~WakeEvent() {
  if (handle_ != kInvalidIoHandle) closeSocket(handle_);
}

bool WakeEvent::open() {
  if (handle_ != kInvalidIoHandle) return true;
  SocketHandle s = createSocket(SocketType::Udp);
  if (s == kInvalidSocket) return false;
  Ipv4Endpoint self{kLoopbackAddress, 0};
  if (!bindSocket(s, self) || !localEndpoint(s, self) || connectSocket(s, self) != ConnectStatus::Connected ||
      !setNonBlocking(s, true)) {
    closeSocket(s);
    return false;
  }
  handle_ = s;
  return true;
}

void WakeEvent::signal() {
  const char one = 1;
  // A full queue is still readable, which is all a signal needs.
  ::send(static_cast<SOCKET>(handle_), &one, 1, 0);
}

void WakeEvent::clear() {
  char buffer[64];
  while (::recv(static_cast<SOCKET>(handle_), buffer, sizeof buffer, 0) > 0) {
  }
  win::noteWouldBlock(handle_);
}

}  // namespace vantor::platform
