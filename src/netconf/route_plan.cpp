#include "netconf/route_plan.h"

#include <vector>

#include "platform/net.h"

namespace vantor {
namespace {

void directHostRouteUnlessLocal(CRouterMgr& mgr, const std::string& address, const RoutePlanInput& input,
                                std::size_t& added) {
  if (address.empty()) return;
  // An IPv6 address (a node reached over IPv6) has no IPv4 host route; its
  // /128 is the IPv6 plan's.
  uint32_t parsed = 0;
  if (address.find(':') != std::string::npos && !platform::parseIpv4(address, parsed)) return;
  if (input.isLocal && input.isLocal(address)) return;
  if (mgr.isTracked(address, kHostMask)) return;
  added += mgr.addDirectRoute(address, kHostMask);
}

}  // namespace

std::size_t installRoutes(CRouterMgr& mgr, const ProxyMode& mode, RoutePlanInput& input) {
  std::size_t added = 0;
  directHostRouteUnlessLocal(mgr, input.serverAddress, input, added);
  directHostRouteUnlessLocal(mgr, input.exitAddress, input, added);
  if (mode.routeAll) {
    added += mgr.addTunnelRoute("0.0.0.0", "128.0.0.0");
    added += mgr.addTunnelRoute("128.0.0.0", "128.0.0.0");
  }
  if (mode.kind != kModeGlobal) {
    std::vector<CRouterMgr::Request> requests;
    requests.reserve(mode.networks.size());
    for (const NetworkEntry& n : mode.networks) requests.push_back({n.networkAddress(), n.mask, !mode.listedDirect});
    // The manager refuses 127.x.x.x destinations itself.
    added += mgr.addRoutes(requests);
  }
  if (input.networksOnly) return added;
  if (input.publicDns1.empty()) input.publicDns1 = kDefaultPublicDns1;
  const bool dnsDirect = !input.udpEnabled || !input.forceProxyDnsServer;
  for (const std::string& dns : {input.publicDns1, input.publicDns2}) {
    uint32_t parsed = 0;
    // "localdns" and other non-addresses name no server to route.
    if (dns.empty() || !platform::parseIpv4(dns, parsed)) continue;
    mgr.deleteRoute(dns, kHostMask);
    added += mgr.addRoute(dns, kHostMask, !dnsDirect);
  }
  for (const auto& [address, action] : input.additionalRoutes) {
    if (action == 0)
      added += mgr.addDirectRoute(address, kHostMask);
    else if (action == 1)
      added += mgr.addTunnelRoute(address, kHostMask);
  }
  return added;
}

Ipv6RoutePlan ipv6RoutePlan(const ProxyMode& mode) {
  Ipv6RoutePlan plan;
  if (mode.routeAll) plan.tunnel = {"::/1", "8000::/1"};
  if (mode.kind != kModeGlobal) {
    std::vector<std::string>& into = mode.listedDirect ? plan.direct : plan.tunnel;
    into.insert(into.end(), mode.networks6.begin(), mode.networks6.end());
  }
  return plan;
}

}  // namespace vantor
