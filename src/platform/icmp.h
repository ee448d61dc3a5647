// The latency to a node: one ICMP echo to its address (IPv4 or IPv6), or where this
// user may not send echoes, the time its TCP port takes to answer. Nothing
// here needs privileges: no raw socket is ever opened.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vantor::platform {

enum class LatencyMethod { IcmpEcho, TcpConnect };

struct EchoResult {
  int roundTripMs = 0;
  std::string from;  // address (IPv4 or IPv6 text) of the host that answered
  LatencyMethod method = LatencyMethod::IcmpEcho;
};

// Whether this process may open an unprivileged ICMP datagram socket: the
// system's net.ipv4.ping_group_range must admit one of its groups.
bool icmpDatagramAllowed();

// Sends one echo request carrying `payload` to `address` (dotted IPv4 or IPv6
// text; ICMPv6 for the latter) with the given time-to-live (hop limit) over an unprivileged ICMP datagram socket and
// waits up to `timeoutMs` for the matching reply. Only an echo reply that carries the same payload counts. False when
// no such reply came or when the socket is not allowed (see icmpDatagramAllowed).
bool icmpEcho(const std::string& address, std::string_view payload, int ttl, int timeoutMs, EchoResult& result);

// The time a TCP connection from here to `address`:`port` takes to be
// answered, accepted or refused (a refusal is the host's own answer, and
// takes one round trip as well); the connection is closed at once. False on
// a timeout or when the network says the host cannot be reached.
bool tcpConnectTime(const std::string& address, uint16_t port, int timeoutMs, EchoResult& result);

// A node's latency: the ICMP echo where datagram sockets are allowed, else
// the TCP connection time to the node's `port` (0: no fallback). `method`
// tells which one measured it.
bool measureLatency(const std::string& address, uint16_t port, std::string_view payload, int ttl, int timeoutMs,
                    EchoResult& result);

}  // namespace vantor::platform
