// IPv4/UDP packets of the TUN device on one side, datagrams with their
// local and remote addresses on the other.
#pragma once

#include <cstdint>

#include "tunnel/base/baddr.h"
#include "tunnel/base/inet_checksum.h"

namespace vantor::tunnel {

// A UDP datagram found in a device packet. `local` is the application's
// address (the packet's source), `remote` the peer's (its destination).
struct UdpDatagramView {
  BAddr local;
  BAddr remote;
  const uint8_t* data = nullptr;
  int len = 0;
};

// The UDP checksum of an IPv4 datagram: pseudo-header (addresses in network
// byte order), UDP header with a zero checksum field, data. 0 comes out as
// 0xFFFF, as it goes on the wire.
uint16_t Udp_Ipv4Checksum(uint32_t src, uint32_t dst, const uint8_t* udp, int udpLen);

// True when `packet` is a well-formed IPv4 packet carrying a whole UDP
// datagram with a correct header checksum and a correct UDP checksum (or
// none: a zero checksum field means the sender did not compute one).
bool UdpPacket_ParseIPv4(const uint8_t* packet, int len, UdpDatagramView* out);

// Builds the IPv4/UDP packet that delivers `data` from `remote` to `local`
// into `out` (room for `cap` bytes). Returns its length, or -1 when the
// datagram does not fit or the addresses are not IPv4.
int UdpPacket_BuildIPv4(uint8_t* out, int cap, const BAddr& local, const BAddr& remote, const uint8_t* data, int len);

// The UDP checksum of an IPv6 datagram (pseudo-header with both 16-byte
// addresses, then header and data); 0 comes out as 0xFFFF.
uint16_t Udp_Ipv6Checksum(const uint8_t src[16], const uint8_t dst[16], const uint8_t* udp, int udpLen);

// True when `packet` is an IPv6 packet whose next header is UDP (no
// extension headers) carrying a whole datagram with a correct checksum.
// IPv6 makes the checksum mandatory: a zero checksum field is refused.
bool UdpPacket_ParseIPv6(const uint8_t* packet, int len, UdpDatagramView* out);

// The IPv6 counterpart of UdpPacket_BuildIPv4 (hop limit 64); -1 unless
// both addresses are IPv6.
int UdpPacket_BuildIPv6(uint8_t* out, int cap, const BAddr& local, const BAddr& remote, const uint8_t* data, int len);

}  // namespace vantor::tunnel
