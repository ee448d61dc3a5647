// One ICMP echo (ping) to an IPv4 address.
#pragma once

#include <string>
#include <string_view>

namespace vantor::platform {

struct EchoResult {
  int roundTripMs = 0;
  std::string from;  // dotted address of the host that answered
};

// Sends one echo request carrying `payload` to the dotted IPv4 `address` with
// the given time-to-live and waits up to `timeoutMs` for the matching reply.
// Only an echo reply that carries the same payload counts. Uses an
// unprivileged ICMP datagram socket where the system allows it, else a raw
// socket (which needs privileges). False when no such reply came.
bool icmpEcho(const std::string& address, std::string_view payload, int ttl, int timeoutMs, EchoResult& result);

}  // namespace vantor::platform
