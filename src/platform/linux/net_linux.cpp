#include "platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace vantor::platform {
namespace {

int fd(SocketHandle s) { return static_cast<int>(s); }

sockaddr_in toSockaddr(const Ipv4Endpoint& e) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = e.address;
  a.sin_port = htons(e.port);
  return a;
}

Ipv4Endpoint fromSockaddr(const sockaddr_in& a) { return {a.sin_addr.s_addr, ntohs(a.sin_port)}; }

// The socket address of an endpoint of either family; returns its length.
socklen_t toSockaddr(const IpEndpoint& e, sockaddr_storage& out) {
  out = {};
  if (e.ipv6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&out);
    a->sin6_family = AF_INET6;
    std::memcpy(&a->sin6_addr, e.address, 16);
    a->sin6_port = htons(e.port);
    return sizeof(sockaddr_in6);
  }
  auto* a = reinterpret_cast<sockaddr_in*>(&out);
  a->sin_family = AF_INET;
  std::memcpy(&a->sin_addr, e.address, 4);
  a->sin_port = htons(e.port);
  return sizeof(sockaddr_in);
}

bool fromSockaddr(const sockaddr_storage& s, IpEndpoint& out) {
  out = {};
  if (s.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&s);
    out.ipv6 = true;
    std::memcpy(out.address, &a->sin6_addr, 16);
    out.port = ntohs(a->sin6_port);
    return true;
  }
  if (s.ss_family != AF_INET) return false;
  const auto* a = reinterpret_cast<const sockaddr_in*>(&s);
  std::memcpy(out.address, &a->sin_addr, 4);
  out.port = ntohs(a->sin_port);
  return true;
}

bool wouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

}  // namespace

SocketHandle createSocket(SocketType type) {
  int s = ::socket(AF_INET, (type == SocketType::Tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
  return s < 0 ? kInvalidSocket : s;
}

SocketHandle createSocketIpv6(SocketType type) {
  int s = ::socket(AF_INET6, (type == SocketType::Tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
  return s < 0 ? kInvalidSocket : s;
}

void closeSocket(SocketHandle s) {
  if (s != kInvalidSocket) ::close(fd(s));
}

void shutdownSocket(SocketHandle s) {
  if (s != kInvalidSocket) ::shutdown(fd(s), SHUT_RDWR);
}

void shutdownSend(SocketHandle s) {
  if (s != kInvalidSocket) ::shutdown(fd(s), SHUT_WR);
}

bool setReuseAddress(SocketHandle s) {
  int one = 1;
  return ::setsockopt(fd(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0;
}

bool setNoDelay(SocketHandle s) {
  int one = 1;
  return ::setsockopt(fd(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

bool setNonBlocking(SocketHandle s, bool on) {
  int flags = ::fcntl(fd(s), F_GETFL, 0);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(fd(s), F_SETFL, flags) == 0;
}

bool setTimeoutOption(SocketHandle s, int milliseconds, bool receive) {
  timeval tv{};
  tv.tv_sec = milliseconds / 1000;
  tv.tv_usec = (milliseconds % 1000) * 1000;
  return ::setsockopt(fd(s), SOL_SOCKET, receive ? SO_RCVTIMEO : SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

bool bindSocket(SocketHandle s, const Ipv4Endpoint& endpoint) {
  sockaddr_in a = toSockaddr(endpoint);
  return ::bind(fd(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool listenSocket(SocketHandle s, int backlog) { return ::listen(fd(s), backlog < 0 ? SOMAXCONN : backlog) == 0; }

SocketHandle acceptSocket(SocketHandle s, Ipv4Endpoint* peer) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  int c;
  do {
    c = ::accept4(fd(s), reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC);
  } while (c < 0 && (errno == EINTR || errno == ECONNABORTED));
  if (c < 0) return kInvalidSocket;
  if (peer) *peer = fromSockaddr(a);
  return c;
}

std::string lastSocketErrorText() { return std::strerror(errno); }

ConnectStatus connectSocket(SocketHandle s, const Ipv4Endpoint& endpoint) {
  sockaddr_in a = toSockaddr(endpoint);
  if (::connect(fd(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return ConnectStatus::Connected;
  if (errno == EINPROGRESS || errno == EINTR) return ConnectStatus::InProgress;
  return ConnectStatus::Failed;
}

ConnectStatus connectSocketIpv6(SocketHandle s, const Ipv6Endpoint& endpoint) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  std::memcpy(&a.sin6_addr, endpoint.address, 16);
  a.sin6_port = htons(endpoint.port);
  if (::connect(fd(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return ConnectStatus::Connected;
  if (errno == EINPROGRESS || errno == EINTR) return ConnectStatus::InProgress;
  return ConnectStatus::Failed;
}

int pendingError(SocketHandle s) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

bool localEndpoint(SocketHandle s, Ipv4Endpoint& out) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getsockname(fd(s), reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET) return false;
  out = fromSockaddr(a);
  return true;
}

bool peerEndpoint(SocketHandle s, Ipv4Endpoint& out) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getpeername(fd(s), reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET) return false;
  out = fromSockaddr(a);
  return true;
}

bool peerEndpoint(SocketHandle s, IpEndpoint& out) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  return ::getpeername(fd(s), reinterpret_cast<sockaddr*>(&a), &len) == 0 && fromSockaddr(a, out);
}

long sendBytes(SocketHandle s, const void* data, std::size_t length, bool dontWait) {
  for (;;) {
    ssize_t n = ::send(fd(s), data, length, MSG_NOSIGNAL | (dontWait ? MSG_DONTWAIT : 0));
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return wouldBlock(errno) ? kIoWouldBlock : kIoError;
  }
}

long unacknowledgedBytes(SocketHandle s) {
  int queued = 0;
  return ::ioctl(fd(s), SIOCOUTQ, &queued) == 0 ? queued : -1;
}

long recvBytes(SocketHandle s, void* buffer, std::size_t size, bool dontWait) {
  for (;;) {
    ssize_t n = ::recv(fd(s), buffer, size, dontWait ? MSG_DONTWAIT : 0);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return wouldBlock(errno) ? kIoWouldBlock : kIoError;
  }
}

long sendDatagram(SocketHandle s, const void* data, std::size_t length, const Ipv4Endpoint* to, bool dontWait) {
  sockaddr_in a{};
  if (to) a = toSockaddr(*to);
  for (;;) {
    ssize_t n = ::sendto(fd(s), data, length, MSG_NOSIGNAL | (dontWait ? MSG_DONTWAIT : 0),
                         to ? reinterpret_cast<sockaddr*>(&a) : nullptr, to ? sizeof a : 0);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return wouldBlock(errno) ? kIoWouldBlock : kIoError;
  }
}

long recvDatagram(SocketHandle s, void* buffer, std::size_t size, Ipv4Endpoint* from, bool dontWait) {
  // Room for either family: an IPv6 socket's sender must not be cut short.
  IpEndpoint source;
  long n = recvDatagramFrom(s, buffer, size, from ? &source : nullptr, dontWait);
  if (n >= 0 && from) *from = source.ipv6 ? Ipv4Endpoint{} : source.ipv4();
  return n;
}

long sendDatagramTo(SocketHandle s, const void* data, std::size_t length, const IpEndpoint& to, bool dontWait) {
  sockaddr_storage a;
  socklen_t len = toSockaddr(to, a);
  for (;;) {
    ssize_t n = ::sendto(fd(s), data, length, MSG_NOSIGNAL | (dontWait ? MSG_DONTWAIT : 0),
                         reinterpret_cast<sockaddr*>(&a), len);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return wouldBlock(errno) ? kIoWouldBlock : kIoError;
  }
}

long recvDatagramFrom(SocketHandle s, void* buffer, std::size_t size, IpEndpoint* from, bool dontWait) {
  for (;;) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    ssize_t n = ::recvfrom(fd(s), buffer, size, dontWait ? MSG_DONTWAIT : 0, reinterpret_cast<sockaddr*>(&a), &len);
    if (n >= 0) {
      if (from && !fromSockaddr(a, *from)) *from = {};
      return static_cast<long>(n);
    }
    if (errno == EINTR) continue;
    return wouldBlock(errno) ? kIoWouldBlock : kIoError;
  }
}

int waitSockets(std::span<WaitItem> items, int timeoutMs) {
  pollfd stackFds[8];
  std::vector<pollfd> heapFds;
  pollfd* fds = stackFds;
  if (items.size() > 8) {
    heapFds.resize(items.size());
    fds = heapFds.data();
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
    fds[i].fd = fd(items[i].socket);
    fds[i].events = static_cast<short>(((items[i].interest & kWantRead) ? POLLIN | POLLPRI : 0) |
                                       ((items[i].interest & kWantWrite) ? POLLOUT : 0));
    fds[i].revents = 0;
    items[i].readable = items[i].writable = items[i].failed = false;
  }
  int n;
  do {
    n = ::poll(fds, items.size(), timeoutMs < 0 ? -1 : timeoutMs);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return n < 0 ? -1 : 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    short r = fds[i].revents;
    items[i].readable = (r & (POLLIN | POLLHUP)) != 0;
    items[i].writable = (r & POLLOUT) != 0;
    items[i].failed = (r & (POLLERR | POLLNVAL | POLLPRI)) != 0;
  }
  return n;
}

bool parseIpv4(std::string_view text, uint32_t& address) {
  if (text.empty() || text.size() > 15) return false;
  char buf[16];
  std::memcpy(buf, text.data(), text.size());
  buf[text.size()] = 0;
  in_addr a{};
  if (::inet_pton(AF_INET, buf, &a) != 1) return false;
  address = a.s_addr;
  return true;
}

std::string formatIpv4(uint32_t address) {
  in_addr a{};
  a.s_addr = address;
  char buf[INET_ADDRSTRLEN];
  return ::inet_ntop(AF_INET, &a, buf, sizeof buf) ? std::string(buf) : std::string();
}

bool parseIpv6(std::string_view text, uint8_t address[16]) {
  if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return false;
  char buf[INET6_ADDRSTRLEN];
  std::memcpy(buf, text.data(), text.size());
  buf[text.size()] = 0;
  in6_addr a{};
  if (::inet_pton(AF_INET6, buf, &a) != 1) return false;
  std::memcpy(address, &a, 16);
  return true;
}

std::string formatIpv6(const uint8_t address[16]) {
  in6_addr a{};
  std::memcpy(&a, address, 16);
  char buf[INET6_ADDRSTRLEN];
  return ::inet_ntop(AF_INET6, &a, buf, sizeof buf) ? std::string(buf) : std::string();
}

bool resolveIpv4(const std::string& name, uint32_t& address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 || !result) return false;
  address = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(result);
  return true;
}

bool resolveIpv6(const std::string& name, uint8_t address[16]) {
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 || !result) return false;
  std::memcpy(address, &reinterpret_cast<sockaddr_in6*>(result->ai_addr)->sin6_addr, 16);
  ::freeaddrinfo(result);
  return true;
}

}  // namespace vantor::platform
