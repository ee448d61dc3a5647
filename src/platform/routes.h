// The host's IPv4 routing table and the interface facts the route manager and
// the interface configuration need. Addresses are in network byte order.
//
// Every route Vantor adds carries kVantorRouteProtocol as its origin, so a
// later run can find and remove what an earlier one left, even when nothing
// else about that run survived.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantor::platform {

// Our routing-protocol number (the kernel's free range; not in iproute2's
// rt_protos list).
inline constexpr uint8_t kVantorRouteProtocol = 76;

struct RouteRow {
  uint32_t destination = 0;
  uint32_t mask = 0;     // contiguous: 255.255.255.0, never 255.0.255.0
  uint32_t nextHop = 0;  // 0: on-link through `ifIndex`
  int ifIndex = 0;
  bool direct = false;  // on-link (no gateway); the next hop is ignored
  uint8_t protocol = kVantorRouteProtocol;
  uint32_t metric = 0;
};

// Prefix length of a contiguous mask, -1 for any other mask.
int maskPrefixLength(uint32_t mask);
uint32_t prefixMask(int prefixLength);

// Adds or deletes routes in the main table, many per system call. `errors`
// (when given) receives one errno value per row, 0 for success. Returns the
// number of rows that failed; -1 when the routing table could not be reached.
int addRoutes(std::span<const RouteRow> rows, std::vector<int>* errors = nullptr);
int deleteRoutes(std::span<const RouteRow> rows, std::vector<int>* errors = nullptr);

// The IPv4 unicast routes of the main table, in the kernel's order.
bool listRoutes(std::vector<RouteRow>& rows);

// Deletes every IPv4 and IPv6 route of the main table whose origin is
// `protocol`; returns how many were deleted (-1 when the table could not be
// read). `removed` (when given) receives a description of each.
int deleteRoutesOfProtocol(uint8_t protocol, std::vector<std::string>* removed = nullptr);

// IPv6 "unreachable" routes (prefix text such as "::/1"), so connects to the
// covered addresses fail at once. Tagged with kVantorRouteProtocol.
bool addIpv6Unreachable(const std::string& prefix, std::string& error);
bool deleteIpv6Unreachable(const std::string& prefix, std::string& error);
bool hasIpv6Unreachable(const std::string& prefix);

// An IPv6 route (addresses 16 bytes in network order). Without a gateway
// the destination is on the link of `ifIndex` (the TUN interface's case).
struct Ipv6RouteRow {
  uint8_t destination[16] = {};
  int prefixLength = 0;
  uint8_t gateway[16] = {};
  bool hasGateway = false;
  int ifIndex = 0;
  uint32_t metric = 0;
  uint8_t protocol = kVantorRouteProtocol;
};
// "2001:db8::/32" (a bare address is a /128); host bits beyond the prefix
// are refused. False for anything else.
bool parseIpv6Network(std::string_view text, uint8_t address[16], int& prefixLength);
std::string describeIpv6Route(const Ipv6RouteRow& row);
// As addRoutes and deleteRoutes, for IPv6 rows of the main table.
int addIpv6Routes(std::span<const Ipv6RouteRow> rows, std::vector<int>* errors = nullptr);
int deleteIpv6Routes(std::span<const Ipv6RouteRow> rows, std::vector<int>* errors = nullptr);
// The host's IPv6 default route (::/0, unicast) with the lowest metric:
// its gateway (when it has one) and interface. False when there is none.
bool ipv6DefaultRoute(Ipv6RouteRow& out);
// Whether the host has a usable (not tentative, not failed) global-scope
// IPv6 address on an interface other than `exceptIfIndex`.
bool hasGlobalIpv6Address(int exceptIfIndex = 0);
// IPv6 connectivity: a global address and a default route.
bool hasIpv6Connectivity(int exceptIfIndex = 0);

// Interfaces by index.
int interfaceIndex(const std::string& name);  // 0 when there is none
std::string interfaceName(int index);         // empty when there is none
// The IPv4 addresses of an interface, with their prefix lengths.
struct InterfaceAddress {
  uint32_t address = 0;
  int prefixLength = 0;
};
bool interfaceAddresses(int index, std::vector<InterfaceAddress>& out);
// Every IPv4 address of the host with its interface index.
struct HostAddress {
  int ifIndex = 0;
  uint32_t address = 0;
  int prefixLength = 0;
};
bool hostAddresses(std::vector<HostAddress>& out);

// Every interface of this network namespace: index and name.
std::vector<std::pair<int, std::string>> listInterfaces();
// A text that names this process's network namespace (its inode), so that
// state kept per namespace does not mix when several run on one host.
std::string networkNamespaceKey();

// Operational state of an interface as the kernel reports it.
enum class OperState { Unknown, NotPresent, Down, LowerLayerDown, Testing, Dormant, Up };
bool interfaceOperState(int index, OperState& state);

// Makes sure the TUN device node exists, loading the tun module when it is
// missing. True when /dev/net/tun can be opened afterwards.
bool ensureTunDevice(std::string& error);

// A printable form of a route for logs and the clean-up report.
std::string describeRoute(const RouteRow& row);

}  // namespace vantor::platform
