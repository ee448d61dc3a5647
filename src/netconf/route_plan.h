// The route plan of a proxy mode: the routes a connection installs through
// the route manager, in this order: the node's address and the exit address
// (direct host routes), the two half-default routes when the mode sends
// everything through the tunnel, the mode's networks, the DNS servers and the
// user's additional routes.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "catalogue/node_info.h"
#include "netconf/proxy_modes.h"
#include "netconf/route_mgr.h"

namespace vantor {

struct RoutePlanInput {
  std::string serverAddress;  // the node's resolved address
  std::string exitAddress;    // for a node on a local address, when known
  bool udpEnabled = true;
  // Settings: an empty first server becomes "208.67.222.222" (the caller
  // stores it back with RecommendedProxyDNS set).
  std::string publicDns1;
  std::string publicDns2;
  bool forceProxyDnsServer = true;
  std::map<std::string, int> additionalRoutes;
  // Whether an address is on this host or its local networks.
  std::function<bool(const std::string&)> isLocal;
  // Only the node's and the exit address's host routes and the mode's
  // networks: a tunnel set up by hand, whose DNS stays the host's.
  bool networksOnly = false;
};

inline constexpr const char* kDefaultPublicDns1 = "208.67.222.222";
inline constexpr const char* kHostMask = "255.255.255.255";

// Installs the plan for `mode` (networks loaded by the caller); returns the
// number of routes accepted by the manager.
std::size_t installRoutes(CRouterMgr& mgr, const ProxyMode& mode, RoutePlanInput& input);

// The IPv6 routes of a mode when IPv6 goes through the tunnel: ::/1 and
// 8000::/1 into the tunnel when the mode sends everything there, and the
// rule file's IPv6 networks into the tunnel or direct as its IPv4 ones go.
struct Ipv6RoutePlan {
  std::vector<std::string> tunnel;
  std::vector<std::string> direct;
};
Ipv6RoutePlan ipv6RoutePlan(const ProxyMode& mode);

}  // namespace vantor
