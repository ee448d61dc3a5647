#include "platform/icmp.h"

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

namespace vantor::platform {

namespace {

constexpr std::size_t kHeaderSize = 8;  // type, code, checksum, identifier, sequence
constexpr std::size_t kMaxPacket = 65536;

uint16_t checksum(const uint8_t* p, std::size_t n) {
  uint32_t sum = 0;
  for (; n > 1; p += 2, n -= 2) sum += static_cast<uint32_t>(p[0] << 8 | p[1]);
  if (n) sum += static_cast<uint32_t>(p[0] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

int icmpEcho(uint32_t address, std::span<const uint8_t> payload, int ttl, int timeoutMs,
             EchoReply& reply) {
  if (payload.size() > kMaxPacket - 64) return -1;
  // A datagram socket needs no privileges where net.ipv4.ping_group_range
  // admits us; the kernel then picks the identifier and hands us only the
  // replies to it. A raw socket sees every echo reply on the host, so those
  // are told apart by identifier and sequence number.
  Fd sock;
  bool raw = false;
  sock.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (sock.fd < 0) {
    sock.fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    raw = true;
  }
  if (sock.fd < 0) return -1;
  if (ttl > 0) ::setsockopt(sock.fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);

  static std::atomic<uint16_t> counter{0};
  const uint16_t sequence = ++counter;
  uint16_t identifier = static_cast<uint16_t>(::getpid() * 31 + sequence);

  std::vector<uint8_t> packet(kHeaderSize + payload.size());
  packet[0] = ICMP_ECHO;
  packet[2] = packet[3] = 0;
  packet[4] = static_cast<uint8_t>(identifier >> 8);
  packet[5] = static_cast<uint8_t>(identifier);
  packet[6] = static_cast<uint8_t>(sequence >> 8);
  packet[7] = static_cast<uint8_t>(sequence);
  if (!payload.empty()) std::memcpy(packet.data() + kHeaderSize, payload.data(), payload.size());
  uint16_t sum = checksum(packet.data(), packet.size());
  packet[2] = static_cast<uint8_t>(sum >> 8);
  packet[3] = static_cast<uint8_t>(sum);

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = address;
  const auto started = std::chrono::steady_clock::now();
  if (::sendto(sock.fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) !=
      static_cast<ssize_t>(packet.size()))
    return -1;
  if (!raw) {
    // The kernel replaced the identifier with the socket's own.
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(sock.fd, reinterpret_cast<sockaddr*>(&local), &length) == 0)
      identifier = ntohs(local.sin_port);
  }

  const auto deadline = started + std::chrono::milliseconds(timeoutMs);
  std::vector<uint8_t> buffer(kMaxPacket);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return 0;
    pollfd p{sock.fd, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return ready == 0 ? 0 : -1;
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t n = ::recvfrom(sock.fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return -1;
    }
    const uint8_t* icmp = buffer.data();
    std::size_t size = static_cast<std::size_t>(n);
    if (raw) {
      // Raw sockets deliver the IP header too.
      if (size < 20) continue;
      std::size_t ipHeader = static_cast<std::size_t>(icmp[0] & 0x0F) * 4;
      if (ipHeader < 20 || size < ipHeader) continue;
      icmp += ipHeader;
      size -= ipHeader;
    }
    if (size < kHeaderSize || icmp[0] != ICMP_ECHOREPLY) continue;
    if (be16(icmp + 6) != sequence || (raw && be16(icmp + 4) != identifier)) continue;
    if (from.sin_addr.s_addr != address) continue;
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    reply.from = from.sin_addr.s_addr;
    reply.roundTripMs = static_cast<int>(elapsed.count());
    reply.data.assign(icmp + kHeaderSize, icmp + size);
    return 1;
  }
}

}  // namespace vantor::platform
