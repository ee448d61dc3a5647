// The packet tunnel: a TUN interface whose TCP connections are terminated by
// an in-process TCP/IP stack and carried, one SOCKS 5 CONNECT each, through
// the local proxy service. One tunnel runs at a time, on its own thread.
#pragma once

#include <cstdint>
#include <string>

#include "tunnel/base/blog.h"

namespace vantor::tunnel {

// Starts the tunnel with its parameters (texts may be null): the device
// text, the stack's interface address and netmask, the SOCKS server
// ("a.b.c.d:port" or "[addr]:port"), SOCKS user name and password, the udpgw
// server address (null: no UDP path) and the transparent-DNS flag.
// Returns 0 when required parameters are missing, else 1, also when the
// start failed: tun2socks_is_running() tells whether the tunnel runs.
int tun2socks_start(const char* deviceText, const char* netifIpAddr, const char* netifNetmask,
                    const char* socksServerAddr, const char* username, const char* password,
                    const char* udpgwRemoteServerAddr, bool transparentDns);
// Asks the tunnel to stop; with `wait`, returns once it has torn down.
void tun2socks_stop(bool wait);
bool tun2socks_is_running();

// The application's way to start it: the TUN interface `interfaceName`
// (host side 10.198.75.60/24, the stack at 10.198.75.61), the local service
// on 127.0.0.1:`servicePort`, udpgw at 127.0.0.1:7300 when UDP is enabled.
// True when the tunnel runs (also when it already ran).
// With `ipv6` the stack also owns kTunnelStackAddress6 and carries IPv6
// TCP and UDP the host routes into the interface.
bool startTunnel(const std::string& interfaceName, uint16_t servicePort, bool udpEnabled, bool ipv6 = false);

// The stack's IPv6 address for the next start (null or empty: none, and
// IPv6 packets are dropped).
void tun2socks_set_netif_ip6addr(const char* address);

// Whether the next start hooks termination requests (SIGINT, SIGTERM) and
// stops itself on them (default). A front end that owns termination, and
// stops the tunnel itself, turns this off.
void tun2socks_set_handle_signals(bool handle);

// Where the next start sends its log lines (default: discarded).
void tun2socks_set_log_sink(const BLogSink& sink);

// How the next start sets up its device and stack.
struct TunnelSettings {
  // Use TCP segmentation and checksum offload when the device offers it;
  // off: one plain packet per device read and write.
  bool deviceOffload = true;
  // Receive window and send buffer of every connection in bytes, with
  // window scaling offered to the host (clamped to the range below); 0:
  // kTunnelDefaultTcpWindow. The smallest, 5840, is the small window of old:
  // a 5840-byte window without scaling and a 16384-byte send buffer.
  // Settings file key: nTcpWindow.
  uint32_t tcpWindow = 0;
  // What all connections together may hold in the tunnel's buffers beyond
  // a floor of each of their own (kTunnelConnectionFloor each way): a
  // connection's window grows past the floor, and it reads ahead of a slow
  // application, only while the total stays within this.
  uint64_t memoryBudget = 64u << 20;
};
inline constexpr uint32_t kTunnelMinTcpWindow = 5840;
inline constexpr uint32_t kTunnelMaxTcpWindow = 16u << 20;
inline constexpr uint32_t kTunnelDefaultTcpWindow = 1u << 20;
inline constexpr uint32_t kTunnelConnectionFloor = 64u << 10;
void tun2socks_set_settings(const TunnelSettings& settings);
TunnelSettings tun2socks_settings();
// Whether the running tunnel's device moves super-packets (offload on).
bool tun2socks_device_offload();

// What a tunnel run counted, from its start to its end (taken when it
// stopped; zero before a first run ends).
struct TunnelCounters {
  uint64_t accepted = 0;             // connections the stack accepted
  uint64_t acceptFailed = 0;         // connections refused for want of memory
  uint64_t synTimeWaitReused = 0;    // SYNs that replaced a connection in TIME-WAIT
  uint64_t synOnOpenConnection = 0;  // SYNs that met a connection still open (answered with an ACK)
  uint64_t synDropped = 0;           // SYNs dropped for want of a connection record
  uint64_t inputDropped = 0;         // device packets the stack could not take
  uint64_t budgetHeldMax = 0;        // the most the connections held of the memory budget at once
};
TunnelCounters tun2socks_counters();

// Fixed addresses of the tunnel link.
inline constexpr const char* kTunnelHostAddress = "10.198.75.60";
inline constexpr const char* kTunnelStackAddress = "10.198.75.61";
inline constexpr const char* kTunnelNetwork = "10.198.75.0";
inline constexpr const char* kTunnelNetmask = "255.255.255.0";
inline constexpr int kTunnelPrefixLength = 24;
// The link's IPv6 addresses when IPv6 goes through the tunnel: a unique
// local prefix of ours, the host side ::1 and the stack ::2.
inline constexpr const char* kTunnelHostAddress6 = "fdc6:4b3c::1";
inline constexpr const char* kTunnelStackAddress6 = "fdc6:4b3c::2";
inline constexpr int kTunnelPrefixLength6 = 64;

}  // namespace vantor::tunnel
