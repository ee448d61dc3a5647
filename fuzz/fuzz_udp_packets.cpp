// Packets read from the TUN device come from any program on the host. The
// UDP path takes an IPv4/UDP or IPv6/UDP packet apart into addresses and
// datagram; the decision and the result are checked against a plain
// restatement of the checks, and a taken datagram must survive being built
// into a packet again.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tunnel/udpgw/udp_packets.h"

namespace {

using vantor::tunnel::BAddr_Equal;
using vantor::tunnel::BADDR_TYPE_IPV4;
using vantor::tunnel::BADDR_TYPE_IPV6;
using vantor::tunnel::UdpDatagramView;

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// One's complement sum of 16-bit big-endian words, folded at the end.
uint32_t sum16(const uint8_t* p, std::size_t n, uint64_t sum = 0) {
  for (std::size_t i = 0; i < n; i += 2) sum += static_cast<uint64_t>(p[i] << 8 | (i + 1 < n ? p[i + 1] : 0));
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum);
}

// The checks of a device packet, written out once more: an unfragmented IPv4
// packet with a correct header checksum carrying one whole UDP datagram whose
// checksum, when present, verifies.
bool referenceAccepts(const uint8_t* p, std::size_t len) {
  if (len < 20 || p[0] >> 4 != 4 || p[9] != 17) return false;
  std::size_t ihl = (p[0] & 0x0F) * 4u;
  if (ihl < 20 || ihl > len) return false;
  std::size_t total = be16(p + 2);
  if (total < ihl || total > len) return false;
  if (sum16(p, ihl) != 0xFFFF) return false;
  if ((p[6] & 0x20) != 0 || (be16(p + 6) & 0x1FFF) != 0) return false;
  const uint8_t* udp = p + ihl;
  if (total - ihl < 8) return false;
  std::size_t udpLen = be16(udp + 4);
  if (udpLen < 8 || udpLen > total - ihl) return false;
  if (be16(udp + 6) == 0) return true;
  uint8_t pseudo[12] = {p[12],
                        p[13],
                        p[14],
                        p[15],
                        p[16],
                        p[17],
                        p[18],
                        p[19],
                        0,
                        17,
                        static_cast<uint8_t>(udpLen >> 8),
                        static_cast<uint8_t>(udpLen)};
  return sum16(udp, udpLen, sum16(pseudo, sizeof pseudo)) == 0xFFFF;
}

// IPv6: UDP right after the fixed header, the datagram within the payload
// length, and a checksum that is present (IPv6 demands one) and verifies.
bool referenceAccepts6(const uint8_t* p, std::size_t len) {
  if (len < 40 || p[0] >> 4 != 6 || p[6] != 17) return false;
  std::size_t payload = be16(p + 4);
  if (payload > len - 40 || payload < 8) return false;
  const uint8_t* udp = p + 40;
  std::size_t udpLen = be16(udp + 4);
  if (udpLen < 8 || udpLen > payload || be16(udp + 6) == 0) return false;
  uint8_t pseudo[40] = {};
  std::memcpy(pseudo, p + 8, 32);
  pseudo[34] = static_cast<uint8_t>(udpLen >> 8);
  pseudo[35] = static_cast<uint8_t>(udpLen);
  pseudo[39] = 17;
  return sum16(udp, udpLen, sum16(pseudo, sizeof pseudo)) == 0xFFFF;
}

void checkIpv6(const std::vector<uint8_t>& packet) {
  UdpDatagramView view;
  const bool taken = vantor::tunnel::UdpPacket_ParseIPv6(packet.data(), static_cast<int>(packet.size()), &view);
  if (taken != referenceAccepts6(packet.data(), packet.size())) __builtin_trap();
  if (!taken) return;
  const uint8_t* udp = packet.data() + 40;
  if (view.local.type != BADDR_TYPE_IPV6 || view.remote.type != BADDR_TYPE_IPV6) __builtin_trap();
  if (std::memcmp(view.local.ipv6, &packet[8], 16) != 0 || std::memcmp(view.remote.ipv6, &packet[24], 16) != 0 ||
      std::memcmp(&view.local.port, udp, 2) != 0 || std::memcmp(&view.remote.port, udp + 2, 2) != 0)
    __builtin_trap();
  if (view.data != udp + 8 || view.len != be16(udp + 4) - 8) __builtin_trap();
  std::vector<uint8_t> rebuilt(48 + static_cast<std::size_t>(view.len));
  int n = vantor::tunnel::UdpPacket_BuildIPv6(rebuilt.data(), static_cast<int>(rebuilt.size()), view.remote, view.local,
                                              view.data, view.len);
  if (n != static_cast<int>(rebuilt.size()) || !referenceAccepts6(rebuilt.data(), rebuilt.size())) __builtin_trap();
  UdpDatagramView again;
  if (!vantor::tunnel::UdpPacket_ParseIPv6(rebuilt.data(), n, &again) || !BAddr_Equal(again.local, view.local) ||
      !BAddr_Equal(again.remote, view.remote) || again.len != view.len ||
      (view.len > 0 && std::memcmp(again.data, view.data, static_cast<std::size_t>(view.len)) != 0))
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size > 0xFFFF + 64) return 0;
  // A copy of exactly `size` bytes, so that any read past the packet is caught.
  std::vector<uint8_t> packet(data, data + size);
  checkIpv6(packet);
  UdpDatagramView view;
  const bool taken = vantor::tunnel::UdpPacket_ParseIPv4(packet.data(), static_cast<int>(size), &view);
  if (taken != referenceAccepts(packet.data(), size)) __builtin_trap();
  if (!taken) return 0;

  const std::size_t ihl = (packet[0] & 0x0F) * 4u;
  const uint8_t* udp = packet.data() + ihl;
  if (view.local.type != BADDR_TYPE_IPV4 || view.remote.type != BADDR_TYPE_IPV4) __builtin_trap();
  if (std::memcmp(&view.local.ipv4, &packet[12], 4) != 0 || std::memcmp(&view.remote.ipv4, &packet[16], 4) != 0 ||
      std::memcmp(&view.local.port, udp, 2) != 0 || std::memcmp(&view.remote.port, udp + 2, 2) != 0)
    __builtin_trap();
  if (view.data != udp + 8 || view.len != be16(udp + 4) - 8) __builtin_trap();

  // The datagram built into a packet again (as if the peer answered with the
  // same bytes from the same addresses) parses to the same view.
  std::vector<uint8_t> rebuilt(28 + static_cast<std::size_t>(view.len));
  int n = vantor::tunnel::UdpPacket_BuildIPv4(rebuilt.data(), static_cast<int>(rebuilt.size()), view.remote, view.local,
                                              view.data, view.len);
  if (n != static_cast<int>(rebuilt.size())) __builtin_trap();
  UdpDatagramView again;
  if (!vantor::tunnel::UdpPacket_ParseIPv4(rebuilt.data(), n, &again) ||
      !referenceAccepts(rebuilt.data(), rebuilt.size()))
    __builtin_trap();
  if (!BAddr_Equal(again.local, view.local) || !BAddr_Equal(again.remote, view.remote) || again.len != view.len ||
      (view.len > 0 && std::memcmp(again.data, view.data, static_cast<std::size_t>(view.len)) != 0))
    __builtin_trap();
  return 0;
}
