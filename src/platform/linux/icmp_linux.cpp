#include "platform/icmp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
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

int openEchoSocket() { return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP); }

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
  sockaddr_in target{};
  target.sin_family = AF_INET;
  if (::inet_pton(AF_INET, address.c_str(), &target.sin_addr) != 1) return false;

  // A datagram socket needs no privileges where net.ipv4.ping_group_range
  // admits our group; the kernel then owns the identifier and the checksum,
  // and hands this socket only the replies to its own requests.
  int fd = openEchoSocket();
  if (fd < 0) return false;
  Socket sock(fd);
  ::setsockopt(fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);

  static std::atomic<uint16_t> sequence{1};
  const uint16_t seq = sequence.fetch_add(1);
  std::vector<uint8_t> request(8 + payload.size());
  request[0] = ICMP_ECHO;
  request[6] = static_cast<uint8_t>(seq >> 8);
  request[7] = static_cast<uint8_t>(seq);
  std::copy(payload.begin(), payload.end(), request.begin() + 8);
  uint16_t sum = checksum(request.data(), request.size());
  request[2] = static_cast<uint8_t>(sum >> 8);
  request[3] = static_cast<uint8_t>(sum);

  const auto start = std::chrono::steady_clock::now();
  if (::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target) < 0)
    return false;

  const auto deadline = start + std::chrono::milliseconds(timeoutMs);
  uint8_t reply[65536];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    ssize_t n = ::recvfrom(fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    const uint8_t* icmp = reply;
    std::size_t size = static_cast<std::size_t>(n);
    if (size < 8 || icmp[0] != ICMP_ECHOREPLY || icmp[1] != 0) continue;
    if ((icmp[6] << 8 | icmp[7]) != seq) continue;
    if (size - 8 != payload.size() || std::memcmp(icmp + 8, payload.data(), payload.size()) != 0) continue;
    result.roundTripMs = elapsedMs(start);
    result.method = LatencyMethod::IcmpEcho;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    result.from = text;
    return true;
  }
}

bool tcpConnectTime(const std::string& address, uint16_t port, int timeoutMs, EchoResult& result) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  if (port == 0 || ::inet_pton(AF_INET, address.c_str(), &target.sin_addr) != 1) return false;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  Socket sock(fd);

  const auto start = std::chrono::steady_clock::now();
  int failure = 0;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
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
