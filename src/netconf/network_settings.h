// The settings' view of the host network: what adapter discovery found, and
// the DNS pair the TUN link gets.
#pragma once

#include <string>
#include <vector>

#include "netconf/host_setup.h"

namespace vantor {

struct Settings;

// Writes what discovery found into the settings' network keys
// (local_connection_*, tap_connection_*, local_connection_shortest_r_*).
void storeNetworkState(const NetworkState& state, Settings& settings);
// The TUN link's DNS pair from the settings: public_dns1/2, where "localdns"
// stands for the local connection's own servers.
std::vector<std::string> tunDnsServers(const Settings& settings);

}  // namespace vantor
