#include "netconf/network_settings.h"

#include "catalogue/settings.h"

namespace vantor {

void storeNetworkState(const NetworkState& state, Settings& s) {
  // Linux names interfaces and has no adapter GUIDs: the name stands in.
  s.local_connection_name = state.localName;
  s.local_connection_guid = state.localName;
  s.tap_connection_guid = state.tunName;
  s.local_connection_index = state.localIndex;
  s.local_connection_ip = state.localIp;
  s.local_connection_mask = state.localMask;
  s.local_connection_gateway = state.localGateway;
  s.local_connection_primary_dns = state.primaryDns;
  s.local_connection_second_dns = state.secondDns;
  s.tap_connection_name = state.tunName;
  s.tap_connection_index = state.tunIndex;
  s.local_connection_shortest_r_nexthop = state.defaultRoute.nextHop;
  s.local_connection_shortest_r_directhop = state.defaultRoute.direct;
  s.local_connection_shortest_r_ifindex = state.defaultRoute.ifIndex;
}

std::vector<std::string> tunDnsServers(const Settings& s) {
  const bool local = s.public_dns1 == kLocalDns || s.public_dns2 == kLocalDns;
  std::string primary =
      local && !s.local_connection_primary_dns.empty() ? s.local_connection_primary_dns : s.public_dns1;
  std::string second = local && !s.local_connection_second_dns.empty() ? s.local_connection_second_dns : s.public_dns2;
  std::vector<std::string> out;
  for (const std::string& dns : {primary, second})
    if (!dns.empty() && dns != kLocalDns) out.push_back(dns);
  return out;
}

}  // namespace vantor
