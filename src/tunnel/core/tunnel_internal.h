// State shared by the tunnel core and the TCP relay. Everything here is
// touched on the tunnel thread only, except the running and started flags.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "lwip/netif.h"
#include "lwip/tcp.h"
#include "tunnel/base/baddr.h"
#include "tunnel/base/flow.h"
#include "tunnel/base/reactor.h"
#include "tunnel/core/tun2socks.h"
#include "tunnel/device/btap.h"
#include "tunnel/socks/bsocks_client.h"
#include "tunnel/udpgw/socks_udpgw_client.h"

namespace vantor::tunnel {

struct TcpClient;

struct TunnelState {
  std::atomic<bool> running{false};
  std::atomic<bool> started{false};
  std::atomic<bool> stackReady{false};  // the stack listens: the tunnel carries traffic
  bool quitting = false;

  // parameters
  std::string deviceText;
  BIPAddr netifIpaddr;
  BIPAddr netifNetmask;
  BAddr socksServerAddr;
  std::vector<BSocksClientAuthInfo> socksAuth;
  bool haveUdpgw = false;
  BAddr udpgwRemoteServerAddr;
  bool transparentDns = false;
  bool haveIp6 = false;  // the stack has an IPv6 address and handles IPv6
  BIPAddr netifIp6addr;
  TunnelSettings settings;

  BReactor reactor;
  bool haveSignal = false;
  BTap device;
  int frameMtu = 0;
  // The device reads into a stack buffer of the source's whole MTU, so that
  // a long segment goes to the stack without a copy (see tun2socks.cpp).
  struct pbuf* deviceReadBlock = nullptr;
  uint8_t* deviceReadSpare = nullptr;  // read into when no block could be had
  uint8_t* deviceReadInto = nullptr;   // where the read under way goes
  ReactorJob deviceReadJob;
  uint8_t* deviceWriteBuf = nullptr;

  struct netif netif;
  bool haveNetif = false;
  struct tcp_pcb* listener = nullptr;
  struct tcp_pcb* listenerIp6 = nullptr;

  ReactorTimer tcpTimer;
  unsigned tcpTimerTicks = 0;
  ReactorJob lwipInitJob;

  TunnelCounters counters;  // the stack's own SYN counters are added at the end
  TcpClient* clients = nullptr;
  // The memory budget of all connections together (see tcp_relay.cpp):
  // bytes held beyond each connection's own floor, and the connections that
  // wait for room to read from SOCKS.
  int64_t budgetHeld = 0;
  TcpClient* parkedFirst = nullptr;
  TcpClient* parkedLast = nullptr;
  ReactorJob wakeJob;
  int numClients = 0;
  int udpPayloadLimit = 0;
  SocksUdpGwClient* udpgwClient = nullptr;  // the UDP path, when a udpgw server is given
  uint8_t* udpWriteBuf = nullptr;           // answers from udpgw built into IP/UDP packets
};

TunnelState& tunnelState();

// The TCP relay.
err_t listener_accept_func(void* arg, struct tcp_pcb* newpcb, err_t err);
void relay_free_all_clients();
void relay_init();
void relay_free();
void relay_debug_dump();

}  // namespace vantor::tunnel
