#include "platform/icmp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/icmp6.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace vantor::platform {
namespace {

uint16_t checksum(const uint8_t* data, std::size_t size) {
  uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < size; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
  if (size & 1) sum += static_cast<uint32_t>(data[size - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

int openEchoSocket(int family = AF_INET) {
  const int protocol = family == AF_INET ? static_cast<int>(IPPROTO_ICMP) : static_cast<int>(IPPROTO_ICMPV6);
  return ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, protocol);
}

// A node's address in either family: dotted IPv4 or IPv6 text.
struct Target {
  sockaddr_storage address{};
  socklen_t length = 0;
  int family() const { return address.ss_family; }
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&address); }
};

bool parseTarget(const std::string& text, uint16_t port, Target& out) {
  auto* v4 = reinterpret_cast<sockaddr_in*>(&out.address);
  if (::inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    out.length = sizeof(sockaddr_in);
    return true;
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&out.address);
  if (::inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    out.length = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

std::string addressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET6)
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text, sizeof text);
  else
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
  return text;
}

int elapsedMs(std::chrono::steady_clock::time_point start) {
  auto elapsed = std::chrono::steady_clock::now() - start;
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

}  // namespace

bool icmpDatagramAllowed() {
  int fd = openEchoSocket();
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool icmpEcho(const std::string& address, std::string_view payload, int ttl, int timeoutMs, EchoResult& result) {
  Target target;
  if (!parseTarget(address, 0, target)) return false;
  const bool v6 = target.family() == AF_INET6;

  // A datagram socket needs no privileges where net.ipv4.ping_group_range
  // admits our group (for ICMPv6 as well); the kernel then owns the
  // identifier (and for ICMPv6 the checksum), and hands this socket only the
  // replies to its own requests.
  int fd = openEchoSocket(target.family());
  if (fd < 0) return false;
  Socket sock(fd);
  if (v6)
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &ttl, sizeof ttl);
  else
    ::setsockopt(fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);

  static std::atomic<uint16_t> sequence{1};
  const uint16_t seq = sequence.fetch_add(1);
  std::vector<uint8_t> request(8 + payload.size());
  request[0] = v6 ? ICMP6_ECHO_REQUEST : ICMP_ECHO;
  request[6] = static_cast<uint8_t>(seq >> 8);
  request[7] = static_cast<uint8_t>(seq);
  std::copy(payload.begin(), payload.end(), request.begin() + 8);
  if (!v6) {
    uint16_t sum = checksum(request.data(), request.size());
    request[2] = static_cast<uint8_t>(sum >> 8);
    request[3] = static_cast<uint8_t>(sum);
  }

  const auto start = std::chrono::steady_clock::now();
  if (::sendto(fd, request.data(), request.size(), 0, target.get(), target.length) < 0) return false;

  const uint8_t replyType = v6 ? ICMP6_ECHO_REPLY : ICMP_ECHOREPLY;
  const auto deadline = start + std::chrono::milliseconds(timeoutMs);
  uint8_t reply[65536];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    sockaddr_storage from{};
    socklen_t fromLen = sizeof from;
    ssize_t n = ::recvfrom(fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    const uint8_t* icmp = reply;
    std::size_t size = static_cast<std::size_t>(n);
    if (size < 8 || icmp[0] != replyType || icmp[1] != 0) continue;
    if ((icmp[6] << 8 | icmp[7]) != seq) continue;
    if (size - 8 != payload.size() || std::memcmp(icmp + 8, payload.data(), payload.size()) != 0) continue;
    result.roundTripMs = elapsedMs(start);
    result.method = LatencyMethod::IcmpEcho;
    result.from = addressText(from);
    return true;
  }
}

bool tcpConnectTime(const std::string& address, uint16_t port, int timeoutMs, EchoResult& result) {
  Target target;
  if (port == 0 || !parseTarget(address, port, target)) return false;
  int fd = ::socket(target.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  Socket sock(fd);

  const auto start = std::chrono::steady_clock::now();
  int failure = 0;
  if (::connect(fd, target.get(), target.length) != 0) {
    if (errno != EINPROGRESS) {
      failure = errno;
    } else {
      const auto deadline = start + std::chrono::milliseconds(timeoutMs);
      for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLOUT, 0};
        int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        break;
      }
      socklen_t length = sizeof failure;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length) != 0) return false;
    }
  }
  // A reset answers as surely as an accept: both came from the host.
  if (failure != 0 && failure != ECONNREFUSED) return false;
  result.roundTripMs = elapsedMs(start);
  result.method = LatencyMethod::TcpConnect;
  result.from = address;
  return true;
}

bool measureLatency(const std::string& address, uint16_t port, std::string_view payload, int ttl, int timeoutMs,
                    EchoResult& result) {
  // Whether echoes may be sent is a property of this process (its groups)
  // and of the system, not of the node: no fallback after a lost echo.
  if (icmpDatagramAllowed()) return icmpEcho(address, payload, ttl, timeoutMs, result);
  return tcpConnectTime(address, port, timeoutMs, result);
}

}  // namespace vantor::platform
