#include "platform/icmp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

}  // namespace

bool icmpEcho(const std::string& address, std::string_view payload, int ttl, int timeoutMs, EchoResult& result) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  if (::inet_pton(AF_INET, address.c_str(), &target.sin_addr) != 1) return false;

  // A datagram socket needs no privileges where net.ipv4.ping_group_range
  // admits our group; the kernel then owns the identifier and the checksum.
  bool raw = false;
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd < 0) {
    fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    raw = true;
  }
  if (fd < 0) return false;
  Socket sock(fd);
  ::setsockopt(fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);

  static std::atomic<uint16_t> sequence{1};
  const uint16_t seq = sequence.fetch_add(1);
  const uint16_t ident = static_cast<uint16_t>(::getpid() ^ (reinterpret_cast<uintptr_t>(&result) >> 4));
  std::vector<uint8_t> request(8 + payload.size());
  request[0] = ICMP_ECHO;
  request[4] = static_cast<uint8_t>(ident >> 8);
  request[5] = static_cast<uint8_t>(ident);
  request[6] = static_cast<uint8_t>(seq >> 8);
  request[7] = static_cast<uint8_t>(seq);
  std::memcpy(request.data() + 8, payload.data(), payload.size());
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
    if (raw) {
      // A raw socket sees every ICMP message of the host, behind its IP header.
      if (size < 20) continue;
      std::size_t header = static_cast<std::size_t>(reply[0] & 0x0F) * 4;
      if (header < 20 || size < header) continue;
      icmp += header;
      size -= header;
      if (from.sin_addr.s_addr != target.sin_addr.s_addr) continue;
    }
    if (size < 8 || icmp[0] != ICMP_ECHOREPLY || icmp[1] != 0) continue;
    if ((icmp[6] << 8 | icmp[7]) != seq) continue;
    if (raw && (icmp[4] << 8 | icmp[5]) != ident) continue;
    if (size - 8 != payload.size() || std::memcmp(icmp + 8, payload.data(), payload.size()) != 0) continue;
    auto elapsed = std::chrono::steady_clock::now() - start;
    result.roundTripMs = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    result.from = text;
    return true;
  }
}

}  // namespace vantor::platform
