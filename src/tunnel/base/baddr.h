// Addresses as the tunnel modules pass them around: an IPv4 or IPv6 address
// in network byte order, with (BAddr) or without (BIPAddr) a port.
#pragma once

#include <cstdint>

namespace vantor::tunnel {

enum { BADDR_TYPE_NONE = 0, BADDR_TYPE_IPV4 = 1, BADDR_TYPE_IPV6 = 2 };

struct BIPAddr {
  int type = BADDR_TYPE_NONE;
  uint32_t ipv4 = 0;  // network byte order
  uint8_t ipv6[16] = {};
};

struct BAddr {
  int type = BADDR_TYPE_NONE;
  uint32_t ipv4 = 0;  // network byte order
  uint8_t ipv6[16] = {};
  uint16_t port = 0;  // network byte order
};

BAddr BAddr_MakeIPv4(uint32_t addr, uint16_t port);
BAddr BAddr_MakeIPv6(const uint8_t addr[16], uint16_t port);
bool BAddr_Equal(const BAddr& a, const BAddr& b);

// Room for any printed address with its port, including the terminator.
inline constexpr int BADDR_MAX_PRINT_LEN = 120;
// "a.b.c.d:port", eight hexadecimal groups then ":port", or "(none)".
void BAddr_Print(const BAddr* addr, char* out);
void BIPAddr_Print(const BIPAddr* addr, char* out);

// "a.b.c.d:port" or "[addr]:port"; the host is resolved in the form's family.
bool BAddr_Parse2(BAddr* out, const char* text);
// "host" (IPv4) or "[host]" (IPv6), resolved in that family.
bool BIPAddr_Resolve(BIPAddr* out, const char* text);

}  // namespace vantor::tunnel
