#include "service/socket_base.h"

namespace vantor {

namespace {
int toMs(int seconds) { return seconds < 0 ? -1 : seconds * 1000; }
}  // namespace

int CSocketBase::waitFor(SocketHandle s, bool write, int timeoutMs) {
  platform::WaitItem item{s, write ? platform::kWantWrite : platform::kWantRead};
  for (;;) {
    int n = platform::waitSockets({&item, 1}, timeoutMs < 0 ? 200 : timeoutMs);
    if (n < 0) return -1;
    // An error state still counts as ready: the following call reports it.
    if (n > 0) return 1;
    if (timeoutMs >= 0) return 0;
    if (!keepWaiting()) return -1;
  }
}

bool CSocketBase::readByte(SocketHandle s, uint8_t& value, int timeout) { return recvWait(s, &value, 1, timeout) == 1; }

bool CSocketBase::setTimeouts(SocketHandle s, int seconds, int which) {
  int ms = seconds * 1000;
  switch (which) {
    case 0:
      return platform::setTimeoutOption(s, ms, true) && platform::setTimeoutOption(s, ms, false);
    case 1:
      return platform::setTimeoutOption(s, ms, true);
    case 2:
      return platform::setTimeoutOption(s, ms, false);
    default:
      return false;
  }
}

long CSocketBase::recvWait(SocketHandle s, void* buffer, std::size_t size, int timeout) {
  if (timeout != 0) return recvWithin(s, buffer, size, toMs(timeout));
  long n = platform::recvBytes(s, buffer, size, false);
  return n > 0 ? n : -1;
}

long CSocketBase::recvWithin(SocketHandle s, void* buffer, std::size_t size, int timeoutMs) {
  // The dialogues read a few bytes at a time, mostly already here: only an
  // empty queue is worth a wait.
  long n = platform::recvBytes(s, buffer, size, true);
  if (n != platform::kIoWouldBlock) return n > 0 ? n : -1;
  int w = waitFor(s, false, timeoutMs);
  if (w <= 0) return w;
  n = platform::recvBytes(s, buffer, size, false);
  return n > 0 ? n : -1;
}

long CSocketBase::recvFromWait(SocketHandle s, void* buffer, std::size_t size, Ipv4Endpoint* source, int timeout) {
  if (timeout != 0) {
    int w = waitFor(s, false, toMs(timeout));
    if (w <= 0) return w;
  }
  long n = platform::recvDatagram(s, buffer, size, source, false);
  // An empty datagram is a valid datagram, not a close.
  return n >= 0 ? n : -1;
}

long CSocketBase::sendAll(SocketHandle s, const void* data, std::size_t length, int timeout) {
  const auto* p = static_cast<const uint8_t*>(data);
  std::size_t sent = 0;
  while (sent < length) {
    long n = platform::sendBytes(s, p + sent, length - sent, timeout != 0);
    if (n >= 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n != platform::kIoWouldBlock || timeout == 0) return -1;
    int w = waitFor(s, true, toMs(timeout));
    if (w < 0) return -1;
    if (w == 0) return static_cast<long>(sent);
  }
  return static_cast<long>(sent);
}

long CSocketBase::sendToWait(SocketHandle s, const void* data, std::size_t length, const Ipv4Endpoint& destination,
                             int timeout) {
  if (timeout != 0) {
    int w = waitFor(s, true, toMs(timeout));
    if (w <= 0) return w;
  }
  long n = platform::sendDatagram(s, data, length, &destination, false);
  return n >= 0 ? n : -1;
}

long CSocketBase::sendToWait(SocketHandle s, const void* data, std::size_t length, const IpEndpoint& destination,
                             int timeout) {
  if (timeout != 0) {
    int w = waitFor(s, true, toMs(timeout));
    if (w <= 0) return w;
  }
  long n = platform::sendDatagramTo(s, data, length, destination, false);
  return n >= 0 ? n : -1;
}

bool CSocketBase::recvExact(SocketHandle s, void* buffer, std::size_t size, int timeout) {
  auto* p = static_cast<uint8_t*>(buffer);
  std::size_t got = 0;
  while (got < size) {
    long n = recvWait(s, p + got, size - got, timeout);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace vantor
