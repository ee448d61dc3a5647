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

}  // namespace vantor::tunnel
