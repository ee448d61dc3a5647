// ICMP echo ("ping") of one IPv4 address, for latency measurements.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vantor::platform {

struct EchoReply {
  uint32_t from = 0;         // the replying address, network byte order
  int roundTripMs = 0;       // whole milliseconds from send to reply
  std::vector<uint8_t> data; // the reply's payload as it arrived
};

// Sends one echo request carrying `payload` with time-to-live `ttl` to
// `address` (network byte order) and waits up to `timeoutMs` for the answer to
// that request. Returns 1 with `reply` filled in when the echo reply arrived,
// 0 when none arrived in time, -1 when no ICMP socket could be opened or the
// request could not be sent. Uses an unprivileged ICMP datagram socket where
// the system allows one, else a raw socket (which needs privileges).
int icmpEcho(uint32_t address, std::span<const uint8_t> payload, int ttl, int timeoutMs,
             EchoReply& reply);

}  // namespace vantor::platform
