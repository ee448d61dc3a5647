// The udpgw message layout shared by the tunnel and the local service:
// every message is framed by a 2-byte little-endian length (packet_proto.h)
// and starts with a 3-byte header (flags, little-endian connection id),
// followed, except for keepalives, by the peer's address and port in
// network byte order and the datagram itself.
#pragma once

#include <cstdint>

#include "platform/byte_order.h"

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
inline constexpr int udpgw_compute_mtu(int udpMtu) { return UDPGW_HEADER_SIZE + UDPGW_IPV6_ADDR_SIZE + udpMtu; }

}  // namespace vantor::tunnel
