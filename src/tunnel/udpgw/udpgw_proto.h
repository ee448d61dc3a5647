// The udpgw message layout shared by the tunnel and the local service:
// every message is framed by a 2-byte little-endian length (packet_proto.h)
// and starts with a 3-byte header (flags, little-endian connection id),
// followed, except for keepalives, by the peer's address and port in
// network byte order and the datagram itself.
#pragma once

#include <cstdint>

namespace vantor::tunnel {

enum : uint8_t {
  UDPGW_CLIENT_FLAG_KEEPALIVE = 0x01,
  UDPGW_CLIENT_FLAG_REBIND = 0x02,
  UDPGW_CLIENT_FLAG_DNS = 0x04,
  UDPGW_CLIENT_FLAG_IPV6 = 0x08,
};

inline constexpr int UDPGW_HEADER_SIZE = 3;
inline constexpr int UDPGW_IPV4_ADDR_SIZE = 6;   // address + port
inline constexpr int UDPGW_IPV6_ADDR_SIZE = 18;  // address + port
inline constexpr int PACKETPROTO_HEADER_SIZE = 2;
inline constexpr int PACKETPROTO_MAXPAYLOAD = 0xFFFF;

// Largest udpgw message carrying a datagram of `udpMtu` bytes.
inline constexpr int udpgw_compute_mtu(int udpMtu) {
  return UDPGW_HEADER_SIZE + UDPGW_IPV6_ADDR_SIZE + udpMtu;
}

inline uint16_t load_le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline void store_le16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v & 0xFF);
  p[1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace vantor::tunnel
