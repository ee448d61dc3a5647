// The fields of IP Helper's MIB_IPFORWARD_ROW2 that Vantor sets and reads,
// kept free of Windows headers so that the translation from the route plan's
// rows can be checked on any system. routes_windows.cpp copies them into and
// out of the real structure.
#pragma once

#include <cstdint>

#include "platform/routes.h"

namespace vantor::platform::windows {

inline constexpr uint16_t kFamilyIpv4 = 2;   // AF_INET
inline constexpr uint16_t kFamilyIpv6 = 23;  // AF_INET6 on Windows
inline constexpr uint32_t kErrorInvalidParameter = 87;
// The origin IP Helper gives routes set by management (MIB_IPPROTO_NETMGMT).
inline constexpr uint32_t kProtocolNetMgmt = 3;

struct ForwardRowFields {
  uint16_t family = 0;
  uint8_t destination[16] = {};  // an IPv4 address in the first four bytes
  uint8_t prefixLength = 0;
  uint8_t nextHop[16] = {};  // all zero: on the link of the interface
  uint32_t ifIndex = 0;      // 0: the interface that reaches the next hop
  uint32_t metric = 0;
  uint32_t protocol = 0;
};

// A route plan row as IP Helper's fields. Returns 0, or
// kErrorInvalidParameter for a mask that is not contiguous, host bits beyond
// the prefix (a malformed rule must never become a wider route), or a row
// that names neither a next hop nor an interface.
uint32_t forwardRowFromRoute(const RouteRow& row, ForwardRowFields& out);
uint32_t forwardRowFromRoute(const Ipv6RouteRow& row, ForwardRowFields& out);
// The reverse, for listing the table; false for a row of the other family.
bool routeFromForwardRow(const ForwardRowFields& fields, RouteRow& out);
bool ipv6RouteFromForwardRow(const ForwardRowFields& fields, Ipv6RouteRow& out);

}  // namespace vantor::platform::windows

namespace vantor::platform::windows {

// An interface's metric for one family (added to every route's own metric
// when Windows picks a route), and whether Windows chooses it itself.
bool interfaceMetric(int ifIndex, bool ipv6, uint32_t& metric, bool& automatic);
bool setInterfaceMetric(int ifIndex, bool ipv6, uint32_t metric, bool automatic, std::string& error);

}  // namespace vantor::platform::windows
