// What a tunnel connection changes on the host besides its routes: the TUN
// interface and its address, the tunnel gateway, the IPv6 block, the DNS
// servers. Every change goes through the host-change record first, so that
// undo() after a normal stop and the helper's recovery after a crash take back
// the same list.
//
// Adapter discovery for Linux lives here too: the local connection is the
// interface of the host's default route, the TUN connection our persistent
// TUN interface, named "KOVAL" followed by a number unless the user names it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "netconf/host_changes.h"
#include "netconf/route_mgr.h"
#include "platform/routes.h"

namespace vantor {

struct NetworkState {
  // The local connection: the interface of the default route.
  std::string localName;
  int localIndex = 0;
  std::string localIp, localMask, localGateway;
  std::string primaryDns, secondDns;
  bool noLocalDns = true;
  // The TUN connection.
  std::string tunName;
  int tunIndex = 0;
  int tunCount = 0;
  DefaultRoute defaultRoute;
};

// Fills `state`; `tunName` (empty: the "KOVAL" rule) names the TUN
// connection. False when there is no default route.
bool detectConnections(NetworkState& state, const std::string& tunName = {});
// The TUN interface name when the user gives none: an interface whose name
// starts with "KOVAL" (ignoring case) or that holds 10.198.75.60, else
// "KOVAL" followed by the largest number already in use, or 1.
std::string tunConnectionName();
// Whether the interface is non-operational, unreachable or disconnected
// (a failed query counts as up).
bool interfaceDown(int ifIndex);

// The IPv6 ranges blocked while everything goes through the tunnel.
inline constexpr const char* kIpv6BlockPrefixes[] = {"::/1", "8000::/1"};
// The host side of the TUN link when IPv6 goes through the tunnel (the
// tunnel's stack is ::2 of the same prefix).
inline constexpr const char* kTunIpv6Address = "fdc6:4b3c::1";
inline constexpr int kTunIpv6Prefix = 64;

class HostSetup {
 public:
  explicit HostSetup(HostChangeRecord& record);

  // Makes sure the TUN device exists, creates the persistent interface when
  // missing, gives it 10.198.75.60/24 and brings it up.
  bool prepareTunInterface(const std::string& name, std::string& error);
  // The tunnel gateway 10.198.75.61 as a default route of the interface with
  // this metric (below every real default route).
  bool addTunGateway(const std::string& name, uint32_t gatewayMetric, std::string& error);
  // Notes that routes with our protocol number will be added, so that they
  // are swept even when the route manager never gets to remove them.
  bool noteRoutes(std::string& error);
  // Unreachable routes for all of IPv6: connects fail at once instead of
  // leaving the host outside the tunnel.
  bool blockIpv6(std::string& error);
  // Gives the TUN interface kTunIpv6Address/kTunIpv6Prefix.
  bool addTunIpv6Address(const std::string& name, std::string& error);
  // IPv6 routes of ours (origin kVantorRouteProtocol, swept with the
  // others at undo once noteRoutes was called). Returns how many the kernel
  // refused.
  int addIpv6Routes(const std::vector<platform::Ipv6RouteRow>& rows, std::string& error);
  // DNS while connected. With systemd-resolved: the TUN link gets `servers`
  // and takes every query; with `replaceLocal` the local link's servers are
  // replaced too. Without it: resolv.conf lists `servers`.
  bool configureDns(int tunIfIndex, int localIfIndex, const std::vector<uint32_t>& servers, bool replaceLocal,
                    std::string& error);
  // Undoes every recorded change, newest first.
  bool undo(std::vector<std::string>& report);

 private:
  bool configureResolvConf(const std::vector<uint32_t>& servers, std::string& error);
  // Writes `change` to the record, then runs `make`; a change that could not
  // be made is taken out of the record again.
  bool recordAndMake(const std::string& kind, const Json::Value& change, const std::function<bool()>& make,
                     std::string& error);
  HostChangeRecord& record_;
};

// The resolver cache flush (systemd-resolved; nothing to do otherwise).
void flushResolver();

// Registers the undo steps of the kinds above with HostChangeRecord (done by
// HostSetup and the helper's recovery; safe to call more than once).
void registerHostUndos();

}  // namespace vantor
