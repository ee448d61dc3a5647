// The requests of the user's program to the privileged network helper.
//
// One JSON object per line each way. A request names its operation in "op"
// and carries nothing but the fields of that operation; the helper answers
// {"ok":true,...} or {"ok":false,"error":TEXT}. The TUN descriptor travels
// beside the answer to "tun_open" (SCM_RIGHTS).
//
//   {"op":"driver"}                          make sure the TUN device can be had (no interface)
//   {"op":"tun_configure"}                   its address 10.198.75.60/24, up, gateway .61
//                                            (both take "name" from root only)
//   {"op":"tun_open","offload":B}            a descriptor of it
//   {"op":"dns","servers":[IP..],"replace_local":B}
//                                            DNS of the TUN link (and the local link) or resolv.conf
//   {"op":"block_ipv6"}                      unreachable ::/1 and 8000::/1
//   {"op":"tun_ipv6"}                        the interface's IPv6 address fdc6:4b3c::1/64
//   {"op":"routes6_add","via":"tunnel"|"direct","routes":["2001:db8::/32",..]}
//                                            IPv6 routes into the interface, or through the
//                                            host's own IPv6 default route
//   {"op":"routes_add","via":"tunnel"|"direct","metric":N,"routes":["A.B.C.D/LEN",..]}
//   {"op":"routes_delete","routes":[..]}     only routes this session added
//   {"op":"routes_clear"}
//   {"op":"flush_dns"}
//   {"op":"undo"}                            every change of the session, newest first
//   {"op":"cleanup"}                         what a dead session of this user left
//   {"op":"status"}
//
// No request of a user names an interface, a gateway, a path or a record: the
// helper picks the interface it creates (root may name one), takes the gateways from its own view of the
// routing table and keeps its records in its own folder.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantor::helper {

// A request line is at most this long (a rule file's networks fit many
// times over).
inline constexpr std::size_t kMaxRequestBytes = 2u << 20;
// Routes one session may hold at once: the largest shipped rule file has
// about 7,600 networks; the rest is room for user rules and host routes.
inline constexpr std::size_t kMaxSessionRoutes = 16384;
inline constexpr std::size_t kMaxDnsServers = 3;
inline constexpr uint32_t kMaxRouteMetric = 1u << 20;

enum class Op {
  Driver,
  TunConfigure,
  TunOpen,
  Dns,
  BlockIpv6,
  TunIpv6,
  RoutesAdd,
  Routes6Add,
  RoutesDelete,
  RoutesClear,
  FlushDns,
  Undo,
  Cleanup,
  Status,
};

struct Network {
  uint32_t address = 0;  // network byte order
  uint32_t mask = 0;
};

struct Network6 {
  uint8_t address[16] = {};
  int prefixLength = 0;
};

struct Request {
  Op op = Op::Status;
  std::string name;  // the interface, from root only
  bool offload = false;
  std::vector<uint32_t> servers;
  bool replaceLocal = false;
  bool viaTunnel = false;
  uint32_t metric = 0;
  std::vector<Network> routes;
  std::vector<Network6> routes6;
};

// One JSON object of the wire, strictly read (no comments, no duplicate keys,
// nothing after it, nesting bounded); false for anything else.
bool readObjectLine(std::string_view line, Json::Value& object);
// The object as one line, with its line feed.
std::string objectLine(const Json::Value& object);

// Parses and checks one request line; false with the reason in `error`.
bool parseRequest(std::string_view line, Request& request, std::string& error);
// Whether the operation changes the host (and so needs the host network).
bool changesHost(Op op);

}  // namespace vantor::helper
