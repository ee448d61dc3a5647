// The packet tunnel by hand, for debugging: the local service and the tunnel
// on a TUN interface the helper makes, with no proxy mode, DNS or IPv6
// change; only the routes the user lists (IPv4 or IPv6 networks) go into the
// interface, which takes an IPv6 address only when IPv6 networks are listed. A whole-host
// connection with a proxy mode is `vantor connect`: one connect path plans
// routes, DNS and the interface for every front end.
//
// Runs on the calling thread until a termination request (SIGINT, SIGTERM)
// or until the tunnel stops by itself; everything it changed is undone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantor::app {

// The window range the tunnel accepts (bytes).
inline constexpr uint32_t kManualTunnelMinTcpWindow = 5840;
inline constexpr uint32_t kManualTunnelMaxTcpWindow = 16u << 20;

struct ManualTunnelOptions {
  std::string node;    // socks5://, socks4://, ss:// or ssr:// link
  std::string ifname;  // root only: the interface to create or reuse
  // Networks ("a.b.c.d/prefix", "a.b.c.d", "2001:db8::/32") routed into the
  // interface; the node's own address keeps a direct host route when they
  // would cover it.
  std::vector<std::string> routes;
  bool noUdp = false;
  bool verbose = false;
  bool noOffload = false;
  // 0: the settings' nTcpWindow (which is 0 by default: the tunnel's default window).
  uint32_t tcpWindow = 0;
};

// Process exit status: 0 after a requested stop, 1 on a failure, 2 for bad
// input. Messages go to standard error, progress lines to standard output.
int runManualTunnel(const ManualTunnelOptions& options);

}  // namespace vantor::app
