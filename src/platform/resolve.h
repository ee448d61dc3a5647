// Name resolution restricted to one address family.
#pragma once

#include <cstdint>
#include <string>

namespace vantor::platform {

enum class AddressFamily { Ipv4, Ipv6 };

// The first address of `host` in `family`, in network byte order (4 or 16
// bytes written to `out`). False when the resolver finds none.
bool resolveAddress(const std::string& host, AddressFamily family, uint8_t out[16]);

}  // namespace vantor::platform
