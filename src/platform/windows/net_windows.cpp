#include "platform/net.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <mswsock.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/windows/win_support.h"

namespace vantor::platform {
namespace {

SOCKET sock(SocketHandle s) { return static_cast<SOCKET>(s); }

sockaddr_in toSockaddr(const Ipv4Endpoint& e) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = e.address;
  a.sin_port = htons(e.port);
  return a;
}

Ipv4Endpoint fromSockaddr(const sockaddr_in& a) { return {a.sin_addr.s_addr, ntohs(a.sin_port)}; }

SocketHandle makeSocket(int family, SocketType type) {
  win::ensureWinsock();
  // Not inherited by the programs we start (the equivalent of SOCK_CLOEXEC).
  SOCKET s = WSASocketW(family, type == SocketType::Tcp ? SOCK_STREAM : SOCK_DGRAM,
                        type == SocketType::Tcp ? IPPROTO_TCP : IPPROTO_UDP, nullptr, 0,
                        WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  if (type == SocketType::Udp) {
    // Without this an ICMP "port unreachable" for an earlier datagram makes
    // the next receive fail with WSAECONNRESET; Linux ignores those on
    // unconnected sockets, and the relay expects that.
    BOOL off = FALSE;
    DWORD bytes = 0;
    WSAIoctl(s, SIO_UDP_CONNRESET, &off, sizeof off, nullptr, 0, &bytes, nullptr, nullptr);
  }
  return static_cast<SocketHandle>(s);
}

// Windows has no MSG_DONTWAIT: a caller that must not block on a blocking
// socket first asks whether it is ready.
bool readyNow(SocketHandle s, short events) {
  WSAPOLLFD p{sock(s), events, 0};
  return WSAPoll(&p, 1, 0) > 0;
}

// The code above this layer reads socket errors as errno values (ECONNREFUSED
// and so on), as pendingError() and errno give them on Linux; Winsock has
// codes of its own.
int toErrno(int wsa) {
  switch (wsa) {
    case 0:
      return 0;
    case WSAECONNREFUSED:
      return ECONNREFUSED;
    case WSAECONNRESET:
      return ECONNRESET;
    case WSAECONNABORTED:
      return ECONNABORTED;
    case WSAETIMEDOUT:
      return ETIMEDOUT;
    case WSAEHOSTUNREACH:
      return EHOSTUNREACH;
    case WSAENETUNREACH:
      return ENETUNREACH;
    case WSAENETDOWN:
      return ENETDOWN;
    case WSAEWOULDBLOCK:
      return EWOULDBLOCK;
    case WSAEINPROGRESS:
      return EINPROGRESS;
    case WSAEALREADY:
      return EALREADY;
    case WSAEINTR:
      return EINTR;
    case WSAEADDRINUSE:
      return EADDRINUSE;
    case WSAEADDRNOTAVAIL:
      return EADDRNOTAVAIL;
    case WSAEAFNOSUPPORT:
      return EAFNOSUPPORT;
    case WSAEACCES:
      return EACCES;
    case WSAENOTCONN:
      return ENOTCONN;
    case WSAESHUTDOWN:
      return EPIPE;
    case WSAEMSGSIZE:
      return EMSGSIZE;
    case WSAENOBUFS:
      return ENOBUFS;
    case WSAEMFILE:
      return EMFILE;
    case WSAEINVAL:
      return EINVAL;
    case WSAENOTSOCK:
      return ENOTSOCK;
    case WSAEISCONN:
      return EISCONN;
    default:
      return EIO;
  }
}

// Records a failed call's reason in errno too, for callers that read it.
void noteError() { errno = toErrno(WSAGetLastError()); }

long ioResult(int n) {
  if (n != SOCKET_ERROR) return n;
  int err = WSAGetLastError();
  noteError();
  return err == WSAEWOULDBLOCK ? kIoWouldBlock : kIoError;
}

}  // namespace

SocketHandle createSocket(SocketType type) { return makeSocket(AF_INET, type); }
SocketHandle createSocketIpv6(SocketType type) { return makeSocket(AF_INET6, type); }

void closeSocket(SocketHandle s) {
  if (s != kInvalidSocket) ::closesocket(sock(s));
}

void shutdownSocket(SocketHandle s) {
  if (s == kInvalidSocket) return;
  ::shutdown(sock(s), SD_BOTH);
  // Unlike Linux, shutdown() wakes no thread blocked in accept() or recv()
  // on the socket; cancelling the socket's pending I/O does (the call fails
  // with WSAEINTR or WSA_OPERATION_ABORTED).
  CancelIoEx(reinterpret_cast<HANDLE>(sock(s)), nullptr);
}

void shutdownSend(SocketHandle s) {
  if (s != kInvalidSocket) ::shutdown(sock(s), SD_SEND);
}

bool setReuseAddress(SocketHandle s) {
  // SO_REUSEADDR on Windows lets another socket steal a bound port; what the
  // Linux option gives (rebinding while old connections linger) is the
  // default here, so only exclusive use is asked for.
  BOOL one = TRUE;
  return ::setsockopt(sock(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one) == 0;
}

bool setNoDelay(SocketHandle s) {
  BOOL one = TRUE;
  return ::setsockopt(sock(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one) == 0;
}

bool setNonBlocking(SocketHandle s, bool on) {
  u_long mode = on ? 1 : 0;
  return ::ioctlsocket(sock(s), FIONBIO, &mode) == 0;
}

bool setTimeoutOption(SocketHandle s, int milliseconds, bool receive) {
  DWORD ms = milliseconds < 0 ? 0 : static_cast<DWORD>(milliseconds);
  return ::setsockopt(sock(s), SOL_SOCKET, receive ? SO_RCVTIMEO : SO_SNDTIMEO, reinterpret_cast<const char*>(&ms),
                      sizeof ms) == 0;
}

bool bindSocket(SocketHandle s, const Ipv4Endpoint& endpoint) {
  sockaddr_in a = toSockaddr(endpoint);
  return ::bind(sock(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool listenSocket(SocketHandle s, int backlog) { return ::listen(sock(s), backlog < 0 ? SOMAXCONN : backlog) == 0; }

SocketHandle acceptSocket(SocketHandle s, Ipv4Endpoint* peer) {
  sockaddr_in a{};
  int len = sizeof a;
  SOCKET c;
  do {
    c = ::accept(sock(s), reinterpret_cast<sockaddr*>(&a), &len);
    // A connection reset before it was taken is skipped; WSAEINTR means
    // shutdownSocket() cancelled the wait and is passed on.
  } while (c == INVALID_SOCKET && WSAGetLastError() == WSAECONNRESET);
  if (c == INVALID_SOCKET) {
    noteError();
    if (WSAGetLastError() == WSAEWOULDBLOCK) win::noteWouldBlock(s);
    return kInvalidSocket;
  }
  SetHandleInformation(reinterpret_cast<HANDLE>(c), HANDLE_FLAG_INHERIT, 0);
  if (peer) *peer = fromSockaddr(a);
  return static_cast<SocketHandle>(c);
}

std::string lastSocketErrorText() { return win::errorText(static_cast<unsigned long>(WSAGetLastError())); }

ConnectStatus connectSocket(SocketHandle s, const Ipv4Endpoint& endpoint) {
  sockaddr_in a = toSockaddr(endpoint);
  if (::connect(sock(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return ConnectStatus::Connected;
  int err = WSAGetLastError();
  noteError();
  if (err == WSAEWOULDBLOCK || err == WSAEINPROGRESS || err == WSAEINTR) return ConnectStatus::InProgress;
  return ConnectStatus::Failed;
}

ConnectStatus connectSocketIpv6(SocketHandle s, const Ipv6Endpoint& endpoint) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  std::memcpy(&a.sin6_addr, endpoint.address, 16);
  a.sin6_port = htons(endpoint.port);
  if (::connect(sock(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return ConnectStatus::Connected;
  int err = WSAGetLastError();
  noteError();
  if (err == WSAEWOULDBLOCK || err == WSAEINPROGRESS || err == WSAEINTR) return ConnectStatus::InProgress;
  return ConnectStatus::Failed;
}

int pendingError(SocketHandle s) {
  int err = 0;
  int len = sizeof err;
  if (::getsockopt(sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
    return toErrno(WSAGetLastError());
  return toErrno(err);
}

bool localEndpoint(SocketHandle s, Ipv4Endpoint& out) {
  sockaddr_in a{};
  int len = sizeof a;
  if (::getsockname(sock(s), reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET) return false;
  out = fromSockaddr(a);
  return true;
}

bool peerEndpoint(SocketHandle s, Ipv4Endpoint& out) {
  sockaddr_in a{};
  int len = sizeof a;
  if (::getpeername(sock(s), reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET) return false;
  out = fromSockaddr(a);
  return true;
}

namespace {
// One call moves at most this much, so a "don't wait" send on a blocking
// socket that was reported writable cannot stall for long.
constexpr std::size_t kMaxChunk = 1 << 20;
int clampLength(std::size_t length) { return static_cast<int>(length > kMaxChunk ? kMaxChunk : length); }
}  // namespace

long sendBytes(SocketHandle s, const void* data, std::size_t length, bool dontWait) {
  if (dontWait && !readyNow(s, POLLWRNORM)) {
    win::noteWouldBlock(s);
    return kIoWouldBlock;
  }
  long n = ioResult(::send(sock(s), static_cast<const char*>(data), clampLength(length), 0));
  if (n == kIoWouldBlock) win::noteWouldBlock(s);
  return n;
}

long unacknowledgedBytes(SocketHandle s) {
#ifdef SIO_TCP_INFO
  DWORD version = 0;
  TCP_INFO_v0 info{};
  DWORD bytes = 0;
  if (WSAIoctl(sock(s), SIO_TCP_INFO, &version, sizeof version, &info, sizeof info, &bytes, nullptr, nullptr) == 0)
    return static_cast<long>(info.BytesInFlight);
#else
  (void)s;
#endif
  return -1;
}

long recvBytes(SocketHandle s, void* buffer, std::size_t size, bool dontWait) {
  if (dontWait && !readyNow(s, POLLRDNORM)) {
    win::noteWouldBlock(s);
    return kIoWouldBlock;
  }
  long n = ioResult(::recv(sock(s), static_cast<char*>(buffer), clampLength(size), 0));
  if (n == kIoWouldBlock) win::noteWouldBlock(s);
  return n;
}

long sendDatagram(SocketHandle s, const void* data, std::size_t length, const Ipv4Endpoint* to, bool dontWait) {
  if (dontWait && !readyNow(s, POLLWRNORM)) {
    win::noteWouldBlock(s);
    return kIoWouldBlock;
  }
  sockaddr_in a{};
  if (to) a = toSockaddr(*to);
  long n = ioResult(::sendto(sock(s), static_cast<const char*>(data), static_cast<int>(length), 0,
                             to ? reinterpret_cast<sockaddr*>(&a) : nullptr, to ? sizeof a : 0));
  if (n == kIoWouldBlock) win::noteWouldBlock(s);
  return n;
}

long recvDatagram(SocketHandle s, void* buffer, std::size_t size, Ipv4Endpoint* from, bool dontWait) {
  if (dontWait && !readyNow(s, POLLRDNORM)) {
    win::noteWouldBlock(s);
    return kIoWouldBlock;
  }
  sockaddr_in a{};
  int len = sizeof a;
  int n =
      ::recvfrom(sock(s), static_cast<char*>(buffer), static_cast<int>(size), 0, reinterpret_cast<sockaddr*>(&a), &len);
  // A datagram larger than the buffer arrives cut to it, as on Linux; Windows
  // fills the buffer but reports WSAEMSGSIZE.
  if (n == SOCKET_ERROR && WSAGetLastError() == WSAEMSGSIZE) n = static_cast<int>(size);
  if (n == SOCKET_ERROR) {
    long r = ioResult(n);
    if (r == kIoWouldBlock) win::noteWouldBlock(s);
    return r;
  }
  if (from) *from = fromSockaddr(a);
  return n;
}

int waitSockets(std::span<WaitItem> items, int timeoutMs) {
  // Entries without a socket take no part, as poll() ignores negative
  // descriptors on Linux; WSAPoll (Wine's at least) would report POLLNVAL
  // for them, which callers take for a failed connection.
  std::vector<WSAPOLLFD> fds;
  std::vector<std::size_t> index;
  fds.reserve(items.size());
  index.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    items[i].readable = items[i].writable = items[i].failed = false;
    if (items[i].socket == kInvalidSocket) continue;
    WSAPOLLFD fd{};
    fd.fd = sock(items[i].socket);
    // WSAPoll refuses POLLPRI; out-of-band data is not used here.
    fd.events = static_cast<short>(((items[i].interest & kWantRead) ? POLLRDNORM : 0) |
                                   ((items[i].interest & kWantWrite) ? POLLWRNORM : 0));
    fds.push_back(fd);
    index.push_back(i);
  }
  if (fds.empty()) {
    Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    return 0;
  }
  int n = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs < 0 ? -1 : timeoutMs);
  if (n < 0) noteError();
  if (n <= 0) return n < 0 ? -1 : 0;
  for (std::size_t k = 0; k < fds.size(); ++k) {
    WaitItem& item = items[index[k]];
    short r = fds[k].revents;
    item.readable = (r & (POLLRDNORM | POLLHUP)) != 0;
    item.writable = (r & POLLWRNORM) != 0;
    item.failed = (r & (POLLERR | POLLNVAL)) != 0;
  }
  return n;
}

bool parseIpv4(std::string_view text, uint32_t& address) {
  if (text.empty() || text.size() > 15) return false;
  // inet_pton of Windows also takes shortened and octal forms some versions;
  // keep to exactly four decimal parts as Linux does.
  int parts = 0;
  uint32_t value = 0, part = 0;
  int digits = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '.') {
      if (digits == 0 || part > 255) return false;
      value = value << 8 | part;
      ++parts;
      part = 0;
      digits = 0;
      continue;
    }
    char c = text[i];
    if (c < '0' || c > '9') return false;
    if (digits > 0 && part == 0) return false;  // no leading zeros
    part = part * 10 + static_cast<uint32_t>(c - '0');
    if (++digits > 3) return false;
  }
  if (parts != 4) return false;
  address = htonl(value);
  return true;
}

std::string formatIpv4(uint32_t address) {
  const auto* b = reinterpret_cast<const uint8_t*>(&address);
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

bool parseIpv6(std::string_view text, uint8_t address[16]) {
  if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return false;
  win::ensureWinsock();
  char buf[INET6_ADDRSTRLEN];
  std::memcpy(buf, text.data(), text.size());
  buf[text.size()] = 0;
  in6_addr a{};
  if (::inet_pton(AF_INET6, buf, &a) != 1) return false;
  std::memcpy(address, &a, 16);
  return true;
}

std::string formatIpv6(const uint8_t address[16]) {
  win::ensureWinsock();
  in6_addr a{};
  std::memcpy(&a, address, 16);
  char buf[INET6_ADDRSTRLEN];
  return ::inet_ntop(AF_INET6, &a, buf, sizeof buf) ? std::string(buf) : std::string();
}

bool resolveIpv4(const std::string& name, uint32_t& address) {
  win::ensureWinsock();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 || !result) return false;
  address = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(result);
  return true;
}

}  // namespace vantor::platform
