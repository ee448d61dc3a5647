// The background probe of one node: latency by one ICMP echo (or, where this
// user may not send echoes, by the time the node's port takes to answer), the
// server's address, and its country (local data first, then the online
// services).
#pragma once

#include <cstdint>
#include <string>

namespace vantor {

struct ProbeInput {
  std::string server;
  std::string resolvedIp;
  int32_t latency = 0;        // 0: measure it
  int32_t countryIndex = -1;  // -1: look it up
  std::string geoServices;    // the setting "GeoServices"
  uint16_t port = 0;          // the node's port, for the latency without ICMP
};

struct ProbeOutput {
  int32_t latency = 0;     // 0: no echo came back
  std::string resolvedIp;  // the address learned, empty when none
  bool countryFound = false;
  int32_t countryIndex = -1;  // -1 also when the code is not in the table
  std::string location;
  std::string region;
};

// The echo carries 32 "E" bytes with time-to-live 64 and waits 5 seconds; the
// TCP connection waits as long.
ProbeOutput probeNode(const ProbeInput& input);

// A node's address in text: the first IPv4 address of `host`, else its first
// IPv6 address (an address literal is returned as it is); empty when it does
// not resolve.
std::string resolveNodeAddress(const std::string& host);

// The first IPv4 address of a host name in dotted form (a dotted address is
// returned as it is); empty when it does not resolve.
std::string resolveIpv4(const std::string& host);

}  // namespace vantor
