// The client side of a SOCKS 5 CONNECT, as the local HTTP proxy speaks it to
// the local service: blocking, under one overall deadline.
#pragma once

#include <cstdint>
#include <string>

#include "platform/net.h"

namespace vantor::app {

enum class Socks5Result { Ok, Unreachable, Refused, Failed, TimedOut };

// Connects to the SOCKS 5 server at `server` and asks it to CONNECT to
// host:port (a host name is passed on for the server to resolve). On Ok the
// returned socket is ready to relay; otherwise it is closed and invalid.
platform::SocketHandle socks5Connect(const platform::Ipv4Endpoint& server, const std::string& host, uint16_t port,
                                     const std::string& user, const std::string& password, int timeoutMs,
                                     Socks5Result& result);

}  // namespace vantor::app
