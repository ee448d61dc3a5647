// What this machine calls itself and which IPv4 addresses it owns.
#pragma once

#include <string>
#include <vector>

namespace vantor::platform {

// The host name; empty when the system does not tell.
std::string hostName();
// The IPv4 addresses of the host's interfaces in dotted form, loopback
// addresses left out.
std::vector<std::string> hostIpv4Addresses();

}  // namespace vantor::platform
