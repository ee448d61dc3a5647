#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace vantor::platform {

// Local TCP ports of every row of the host's TCP table (IPv4 and IPv6), sorted.
// Empty optional when the table cannot be read.
std::optional<std::vector<uint16_t>> tcpPortsInUse();

}  // namespace vantor::platform
