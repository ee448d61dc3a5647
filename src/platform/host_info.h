// Facts about this machine that decide whether an address is "local".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantor::platform {

// The machine's host name; empty when it cannot be read.
std::string hostName();
// The IPv4 addresses of this machine's interfaces (network byte order),
// loopback included.
std::vector<uint32_t> ownIpv4Addresses();

}  // namespace vantor::platform
