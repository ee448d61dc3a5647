// The tunnel core: parameters, the tunnel thread, the stack's interface and
// its timers, the device read and write paths, and the ordered teardown.
#include "tunnel/core/tun2socks.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "lwip/init.h"
#include "lwip/ip.h"
#include "lwip/ip4_frag.h"
#include "lwip/ip6.h"
#include "lwip/ip6_frag.h"
#include "lwip/pbuf.h"
#include "lwip/priv/tcp_priv.h"
#include "platform/random.h"
#include "platform/thread.h"
#include "tunnel/base/bsignal.h"
#include "tunnel/base/btime.h"
#include "tunnel/core/tunnel_internal.h"
#include "tunnel/udpgw/udp_packets.h"

extern "C" uint32_t vantor_lwip_rand(void) {
  uint32_t v = 0;
  vantor::platform::osRandom(&v, sizeof v);
  return v;
}

namespace vantor::tunnel {

namespace {

constexpr int kChannel = BLOG_CHANNEL_tun2socks;
constexpr btime_t kTcpTimerMs = 250;
constexpr int kUdpgwMaxConnections = 1000;
constexpr int kUdpgwConnectionBufferPackets = 8;
constexpr btime_t kUdpgwKeepaliveMs = 10000;
constexpr btime_t kUdpgwReconnectMs = 5000;

#define core_log(level, fmt, ...) BLog_Log(kChannel, (level), "[%s] " fmt, __func__, ##__VA_ARGS__)

TunnelState g_state;
BLogSink g_nextSink = BLog_DiscardSink();
TunnelSettings g_nextSettings;
std::string g_nextIp6addr;
std::string g_startIp6addr;  // the running start's copy
std::atomic<bool> g_handleSignals{true};
std::atomic<bool> g_deviceOffload{false};
std::mutex g_sinkLock;
TunnelCounters g_lastCounters;  // guarded by g_sinkLock

const char* const kUsage =
    "Usage: tun2socks\n"
    "    --tundev <device text>\n"
    "    --netif-ipaddr <ipaddr>\n"
    "    --netif-netmask <ipnetmask>\n"
    "    --socks-server-addr <addr>\n"
    "    [--username <username>]\n"
    "    [--password <password>]\n"
    "    [--udpgw-remote-server-addr <addr>]\n"
    "    [--udpgw-transparent-dns]\n";

void noopJob(void*) {}
void terminate();

// ---- stack interface -------------------------------------------------------

err_t common_netif_output(struct netif*, struct pbuf* p) {
  TunnelState& s = g_state;
  BLog_Log(kChannel, BLOG_DEBUG, "[%s] device write: send packet", __func__);
  if (s.quitting) return ERR_OK;
  const uint8_t* data;
  int len;
  const int limit = BTap_MaxSendLength(&s.device);
  if (!p->next) {
    if (p->len > limit) {
      BLog_Log(kChannel, BLOG_WARNING, "[%s] netif func output: no space left", __func__);
      return ERR_OK;
    }
    data = static_cast<const uint8_t*>(p->payload);
    len = p->len;
  } else {
    int used = 0;
    for (struct pbuf* q = p; q; q = q->next) {
      if (q->len > limit - used) {
        BLog_Log(kChannel, BLOG_WARNING, "[%s] netif func output: no space left", __func__);
        return ERR_OK;
      }
      std::memcpy(s.deviceWriteBuf + used, q->payload, q->len);
      used += q->len;
    }
    data = s.deviceWriteBuf;
    len = used;
  }
  ReactorJob marker;
  ReactorJob_Init(&marker, &s.reactor, noopJob, nullptr);
  ReactorJob_Set(&marker);
  BTap_Send(&s.device, data, len);
  BReactor_Synchronize(&s.reactor, &marker);
  ReactorJob_Free(&marker);
  return ERR_OK;
}

err_t netif_output_func(struct netif* netif, struct pbuf* p, const ip4_addr_t*) {
  return common_netif_output(netif, p);
}

err_t netif_output_ip6_func(struct netif* netif, struct pbuf* p, const ip6_addr_t*) {
  return common_netif_output(netif, p);
}

err_t netif_init_func(struct netif* netif) {
  BLog_Log(kChannel, BLOG_DEBUG, "[%s] netif func init", __func__);
  netif->name[0] = 'h';
  netif->name[1] = 'o';
  netif->output = netif_output_func;
  netif->output_ip6 = netif_output_ip6_func;
  return ERR_OK;
}

err_t netif_input_func(struct pbuf* p, struct netif* inp) {
  uint8_t version = 0;
  if (p->len > 0) version = static_cast<uint8_t>(static_cast<const uint8_t*>(p->payload)[0] >> 4);
  if (version == 4) return ip4_input(p, inp);
  // IPv6 is handled only when the stack has an IPv6 address of its own.
  if (version == 6 && g_state.haveIp6) return ip6_input(p, inp);
  pbuf_free(p);
  return ERR_OK;
}

// Binds a connection to the stack interface named like "ho0".
err_t tcp_bind_to_netif(struct tcp_pcb* pcb, const char* name) {
  struct netif* netif = netif_find(name);
  if (!netif) return ERR_VAL;
  tcp_bind_netif(pcb, netif);
  return ERR_OK;
}

// The stack's IPv6 address and a second listener that takes every IPv6 SYN
// arriving on the interface.
bool addIpv6(const char* netifName) {
  TunnelState& s = g_state;
  ip6_addr_t addr;
  std::memcpy(addr.addr, s.netifIp6addr.ipv6, 16);
  ip6_addr_clear_zone(&addr);
  s8_t index = -1;
  if (netif_add_ip6_address(&s.netif, &addr, &index) != ERR_OK) {
    core_log(BLOG_ERROR, "netif_add_ip6_address failed");
    return false;
  }
  netif_ip6_addr_set_state(&s.netif, index, IP6_ADDR_VALID);
  struct tcp_pcb* l = tcp_new_ip_type(IPADDR_TYPE_V6);
  if (!l) {
    core_log(BLOG_ERROR, "tcp_new_ip6 failed");
    return false;
  }
  if (tcp_bind_to_netif(l, netifName) != ERR_OK) {
    core_log(BLOG_ERROR, "tcp_bind_to_netif failed");
    tcp_close(l);
    return false;
  }
  struct tcp_pcb* listening = tcp_listen(l);
  if (!listening) {
    core_log(BLOG_ERROR, "tcp_listen failed");
    tcp_close(l);
    return false;
  }
  s.listenerIp6 = listening;
  tcp_accept(listening, listener_accept_func);
  return true;
}

void lwip_init_job_hadler(void*) {
  TunnelState& s = g_state;
  BLog_Log(kChannel, BLOG_DEBUG, "[%s] lwip init", __func__);
  lwip_init();

  ip4_addr_t addr, netmask, gw;
  addr.addr = s.netifIpaddr.ipv4;
  netmask.addr = s.netifNetmask.ipv4;
  ip4_addr_set_any(&gw);
  if (!netif_add(&s.netif, &addr, &netmask, &gw, nullptr, netif_init_func, netif_input_func)) {
    core_log(BLOG_ERROR, "netif_add failed");
    goto fail;
  }
  s.haveNetif = true;
  // With offload the device layer has checked every TCP packet it hands over
  // and the host's kernel completes the checksums of those we send.
  if (BTap_OffloadOn(&s.device))
    NETIF_SET_CHECKSUM_CTRL(&s.netif, NETIF_CHECKSUM_ENABLE_ALL & ~(NETIF_CHECKSUM_GEN_TCP | NETIF_CHECKSUM_CHECK_TCP));
  netif_set_up(&s.netif);
  netif_set_link_up(&s.netif);
  // Take TCP for every destination routed into the device.
  s.netif.flags |= NETIF_FLAG_ANY_DEST_TCP;
  netif_set_default(&s.netif);

  {
    struct tcp_pcb* l = tcp_new_ip_type(IPADDR_TYPE_V4);
    if (!l) {
      core_log(BLOG_ERROR, "tcp_new failed");
      goto fail;
    }
    // The stack numbers its interfaces for the life of the process, so after
    // a restart ours is "ho1", "ho2", ...: bind to the name it has now.
    char name[NETIF_NAMESIZE];
    if (!netif_index_to_name(netif_get_index(&s.netif), name) || tcp_bind_to_netif(l, name) != ERR_OK) {
      core_log(BLOG_ERROR, "tcp_bind_to_netif failed");
      tcp_close(l);
      goto fail;
    }
    struct tcp_pcb* listening = tcp_listen(l);
    if (!listening) {
      core_log(BLOG_ERROR, "tcp_listen failed");
      tcp_close(l);
      goto fail;
    }
    s.listener = listening;
    tcp_accept(listening, listener_accept_func);
    if (s.haveIp6 && !addIpv6(name)) goto fail;
  }
  s.stackReady.store(true, std::memory_order_release);
  return;

fail:
  if (!s.quitting) terminate();
}

// ---- timers and events -----------------------------------------------------

void tcp_timer_handler(void*) {
  TunnelState& s = g_state;
  BLog_Log(kChannel, BLOG_DEBUG, "[%s] TCP timer", __func__);
  BReactor_SetTimer(&s.reactor, &s.tcpTimer);
  tcp_fasttmr();
  ++s.tcpTimerTicks;
  if (s.tcpTimerTicks % 2 == 0) tcp_slowtmr();
  if (s.tcpTimerTicks % 40 == 0) relay_debug_dump();
  // Reassembly of fragmented packets times out once a second.
  if (s.tcpTimerTicks % 4 == 0) {
    ip_reass_tmr();
    ip6_reass_tmr();
  }
}

void terminate() {
  TunnelState& s = g_state;
  core_log(BLOG_NOTICE, "tearing down");
  s.quitting = true;
  BReactor_Quit(&s.reactor, 1);
}

void signal_handler(void*) {
  core_log(BLOG_NOTICE, "termination requested");
  terminate();
}

void device_error_handler(void*) {
  core_log(BLOG_ERROR, "device error");
  terminate();
}

// ---- UDP path ---------------------------------------------------------------

// Offers a device packet to the UDP path; true when it took the packet.
// Everything it leaves goes on to the stack, which drops UDP.
bool process_device_udp_packet(const uint8_t* data, int len) {
  TunnelState& s = g_state;
  if (!s.udpgwClient || len < 1) return false;
  UdpDatagramView d;
  int version = data[0] >> 4;
  if (version == 4) {
    if (!UdpPacket_ParseIPv4(data, len, &d)) return false;
  } else if (version == 6 && s.haveIp6) {
    if (!UdpPacket_ParseIPv6(data, len, &d)) return false;
    core_log(BLOG_DEBUG, "UDP/IPv6: from device %d bytes", d.len);
  } else {
    return false;
  }
  if (BLog_WouldLog(kChannel, BLOG_INFO)) {
    char local[BADDR_MAX_PRINT_LEN], remote[BADDR_MAX_PRINT_LEN];
    BAddr_Print(&d.local, local);
    BAddr_Print(&d.remote, remote);
    core_log(BLOG_INFO, "UDP: from device %d bytes,local addr: %s, remote addr: %s", d.len, local, remote);
  }
  int flags = 0;
  bool toStack = d.remote.type == BADDR_TYPE_IPV4 ? d.remote.ipv4 == s.netifIpaddr.ipv4
                                                  : std::memcmp(d.remote.ipv6, s.netifIp6addr.ipv6, 16) == 0;
  if (s.transparentDns && toStack && d.remote.port == lwip_htons(53)) flags |= UDPGW_CLIENT_FLAG_DNS;
  if (d.len > s.udpPayloadLimit) {
    core_log(BLOG_ERROR, "packet is too large, cannot send to udpgw");
    return false;
  }
  SocksUdpGwClient_SubmitPacket(s.udpgwClient, d.local, d.remote, flags, d.data, d.len);
  return true;
}

void udpgw_client_handler_received(void*, BAddr localAddr, BAddr remoteAddr, const uint8_t* data, int len) {
  TunnelState& s = g_state;
  if (BLog_WouldLog(kChannel, BLOG_INFO)) {
    char local[BADDR_MAX_PRINT_LEN], remote[BADDR_MAX_PRINT_LEN];
    BAddr_Print(&localAddr, local);
    BAddr_Print(&remoteAddr, remote);
    core_log(BLOG_INFO, "UDP: from udpgw %d bytes,local addr: %s, remote addr: %s", len, local, remote);
  }
  if (localAddr.type == BADDR_TYPE_IPV6) {
    if (!s.haveIp6) {
      core_log(BLOG_ERROR, "got IPv6 packet from udpgw but IPv6 is disabled");
      return;
    }
    if (s.quitting) return;
    if (len > 65527 || len > s.frameMtu - 48) {
      core_log(BLOG_ERROR, "UDP/IPv6: packet is too large");
      return;
    }
    int total = UdpPacket_BuildIPv6(s.udpWriteBuf, s.frameMtu, localAddr, remoteAddr, data, len);
    if (total < 0) return;
    BTap_Send(&s.device, s.udpWriteBuf, total);
    return;
  }
  if (s.quitting) return;
  if (len > 65507 || len > s.frameMtu - 28) {
    core_log(BLOG_ERROR, "UDP: packet is too large");
    return;
  }
  int total = UdpPacket_BuildIPv4(s.udpWriteBuf, s.frameMtu, localAddr, remoteAddr, data, len);
  if (total < 0) return;
  BTap_Send(&s.device, s.udpWriteBuf, total);
}

// Starts the next device read: into a block of the source's MTU that a long
// segment (a super-packet taken whole) can go to the stack in, else into the
// spare buffer.
void device_read_start(void*) {
  TunnelState& s = g_state;
  PacketSource* source = BTap_GetOutput(&s.device);
  if (!s.deviceReadBlock) s.deviceReadBlock = pbuf_alloc(PBUF_RAW, static_cast<u16_t>(source->mtu), PBUF_RAM);
  s.deviceReadInto = s.deviceReadBlock ? static_cast<uint8_t*>(s.deviceReadBlock->payload) : s.deviceReadSpare;
  PacketSource_Recv(source, s.deviceReadInto);
}

void device_read_handler_send(void*, int len) {
  TunnelState& s = g_state;
  BLog_Log(kChannel, BLOG_DEBUG, "[%s] device: received packet", __func__);
  // The next read starts from a job, after this handler: the packet stays valid.
  ReactorJob_Set(&s.deviceReadJob);
  const uint8_t* data = s.deviceReadInto;

  if (process_device_udp_packet(data, len)) return;
  if (len > 0xFFFF) {
    core_log(BLOG_WARNING, "device read: packet too large");
    return;
  }
  struct pbuf* p;
  if (len > s.frameMtu && s.deviceReadBlock && data == s.deviceReadBlock->payload) {
    // A super-packet goes to the stack in the block it was read into (the
    // next read gets a new one); a packet of a frame is copied, and the
    // block is read into again.
    p = s.deviceReadBlock;
    s.deviceReadBlock = nullptr;
    pbuf_realloc(p, static_cast<u16_t>(len));
  } else {
    p = pbuf_alloc(PBUF_RAW, static_cast<u16_t>(len), len > s.frameMtu ? PBUF_RAM : PBUF_POOL);
    if (!p) {
      core_log(BLOG_WARNING, "device read: pbuf_alloc failed");
      ++s.counters.inputDropped;
      return;
    }
    pbuf_take(p, data, static_cast<u16_t>(len));
  }
  if (s.netif.input(p, &s.netif) != ERR_OK) {
    core_log(BLOG_WARNING, "device read: input failed");
    ++s.counters.inputDropped;
    pbuf_free(p);
  }
}

// ---- start, run, tear down -------------------------------------------------

// Frees whatever is left of the stack's connections (closing connections
// that were handed back to the stack, time-wait records) so that a later
// start begins with empty lists.
void purgeStackConnections() {
  while (tcp_active_pcbs) tcp_abort(tcp_active_pcbs);
  while (tcp_tw_pcbs) tcp_abort(tcp_tw_pcbs);
}

void freeUdpPath() {
  TunnelState& s = g_state;
  if (s.udpgwClient) {
    SocksUdpGwClient_Free(s.udpgwClient);
    delete s.udpgwClient;
    s.udpgwClient = nullptr;
  }
  delete[] s.udpWriteBuf;
  s.udpWriteBuf = nullptr;
}

void freeDeviceRead() {
  TunnelState& s = g_state;
  if (s.deviceReadBlock) pbuf_free(s.deviceReadBlock);
  s.deviceReadBlock = nullptr;
  delete[] s.deviceReadSpare;
  s.deviceReadSpare = nullptr;
  s.deviceReadInto = nullptr;
}

void teardown() {
  TunnelState& s = g_state;
  relay_free_all_clients();
  {
    TunnelCounters c = s.counters;
    c.synTimeWaitReused = vantor_lwip_syn_timewait_reused;
    c.synOnOpenConnection = vantor_lwip_syn_on_open_connection;
    c.synDropped = vantor_lwip_syn_dropped;
    std::lock_guard<std::mutex> guard(g_sinkLock);
    g_lastCounters = c;
  }
  if (s.listenerIp6) {
    tcp_close(s.listenerIp6);
    s.listenerIp6 = nullptr;
  }
  if (s.listener) {
    tcp_close(s.listener);
    s.listener = nullptr;
  }
  if (s.haveNetif) {
    purgeStackConnections();
    netif_remove(&s.netif);
    s.haveNetif = false;
  }
  BReactor_RemoveTimer(&s.reactor, &s.tcpTimer);
  delete[] s.deviceWriteBuf;
  s.deviceWriteBuf = nullptr;
  ReactorJob_Free(&s.lwipInitJob);
  relay_free();
  freeUdpPath();
  ReactorJob_Free(&s.deviceReadJob);
  BTap_Free(&s.device);
  freeDeviceRead();
  if (s.haveSignal) BSignal_Finish();
  BReactor_Free(&s.reactor);
  core_log(BLOG_NOTICE, "exiting");
  BLog_Free();
  s.deviceText.clear();
  s.running.store(false, std::memory_order_release);
}

void tunnelThread() {
  TunnelState& s = g_state;
  platform::setCurrentThreadName("vantor-tunnel");
  s.started.store(true, std::memory_order_release);
  BReactor_Exec(&s.reactor);
  teardown();
}

bool parseParameters(const char* netifIpAddr, const char* netifNetmask, const char* socksServerAddr,
                     const char* username, const char* password, const char* udpgwAddr) {
  TunnelState& s = g_state;
  if (!BIPAddr_Resolve(&s.netifIpaddr, netifIpAddr)) {
    core_log(BLOG_ERROR, "netif ipaddr: BIPAddr_Resolve failed");
    return false;
  }
  if (s.netifIpaddr.type != BADDR_TYPE_IPV4) {
    core_log(BLOG_ERROR, "netif ipaddr: must be an IPv4 address");
    return false;
  }
  if (!BIPAddr_Resolve(&s.netifNetmask, netifNetmask)) {
    core_log(BLOG_ERROR, "netif netmask: BIPAddr_Resolve failed");
    return false;
  }
  if (s.netifNetmask.type != BADDR_TYPE_IPV4) {
    core_log(BLOG_ERROR, "netif netmask: must be an IPv4 address");
    return false;
  }
  if (!BAddr_Parse2(&s.socksServerAddr, socksServerAddr)) {
    core_log(BLOG_ERROR, "socks server addr: BAddr_Parse2 failed");
    return false;
  }
  s.socksAuth.clear();
  BSocksClientAuthInfo none;
  none.method = socks::kMethodNone;
  s.socksAuth.push_back(none);
  if (username) {
    BSocksClientAuthInfo pw;
    pw.method = socks::kMethodUserPass;
    pw.username = username;
    pw.password = password ? password : "";
    s.socksAuth.push_back(pw);
  }
  s.haveIp6 = false;
  if (!g_startIp6addr.empty()) {
    const std::string text = g_startIp6addr[0] == '[' ? g_startIp6addr : "[" + g_startIp6addr + "]";
    if (!BIPAddr_Resolve(&s.netifIp6addr, text.c_str()) || s.netifIp6addr.type != BADDR_TYPE_IPV6) {
      core_log(BLOG_ERROR, "netif ip6addr: incorrect");
      return false;
    }
    s.haveIp6 = true;
  }
  s.haveUdpgw = udpgwAddr != nullptr;
  if (udpgwAddr && !BAddr_Parse2(&s.udpgwRemoteServerAddr, udpgwAddr)) {
    core_log(BLOG_ERROR, "remote udpgw server addr: BAddr_Parse2 failed");
    return false;
  }
  return true;
}

// The stack's TCP options for this run (lwipopts.h, tcp_options.c).
void applyTcpWindow(uint32_t window) {
  if (window == 0) window = kTunnelDefaultTcpWindow;
  if (window <= VANTOR_LWIP_DEFAULT_TCP_WND) {
    vantor_lwip_tcp_wnd = VANTOR_LWIP_DEFAULT_TCP_WND;
    vantor_lwip_tcp_snd_buf = VANTOR_LWIP_DEFAULT_TCP_SND_BUF;
    vantor_lwip_tcp_snd_queuelen = VANTOR_LWIP_DEFAULT_TCP_SND_QUEUELEN;
    vantor_lwip_tcp_rcv_scale = 0;
    vantor_lwip_tcp_wnd_scale_on = 0;
    return;
  }
  unsigned scale = 0;
  while ((window >> scale) > 0xFFFF) ++scale;
  // As many segments as the default allows per byte of send buffer.
  uint32_t queue = window / TCP_MSS * 4;
  vantor_lwip_tcp_wnd = window;
  vantor_lwip_tcp_snd_buf = window;
  vantor_lwip_tcp_snd_queuelen =
      static_cast<unsigned short>(std::clamp<uint32_t>(queue, VANTOR_LWIP_DEFAULT_TCP_SND_QUEUELEN, 0xFFFF));
  vantor_lwip_tcp_rcv_scale = static_cast<unsigned char>(scale);
  vantor_lwip_tcp_wnd_scale_on = 1;
}

}  // namespace

TunnelState& tunnelState() { return g_state; }

void tun2socks_set_settings(const TunnelSettings& settings) {
  std::lock_guard<std::mutex> guard(g_sinkLock);
  g_nextSettings = settings;
}

void tun2socks_set_netif_ip6addr(const char* address) {
  std::lock_guard<std::mutex> guard(g_sinkLock);
  g_nextIp6addr = address ? address : "";
}

TunnelSettings tun2socks_settings() {
  std::lock_guard<std::mutex> guard(g_sinkLock);
  return g_nextSettings;
}

bool tun2socks_device_offload() { return g_deviceOffload.load(); }

TunnelCounters tun2socks_counters() {
  std::lock_guard<std::mutex> guard(g_sinkLock);
  return g_lastCounters;
}

void tun2socks_set_log_sink(const BLogSink& sink) {
  std::lock_guard<std::mutex> guard(g_sinkLock);
  g_nextSink = sink;
}

void tun2socks_set_handle_signals(bool handle) { g_handleSignals.store(handle); }

bool tun2socks_is_running() { return g_state.running.load(std::memory_order_acquire); }

int tun2socks_start(const char* deviceText, const char* netifIpAddr, const char* netifNetmask,
                    const char* socksServerAddr, const char* username, const char* password,
                    const char* udpgwRemoteServerAddr, bool transparentDns) {
  TunnelState& s = g_state;
  if (s.running.load(std::memory_order_acquire)) return 1;
  {
    std::lock_guard<std::mutex> guard(g_sinkLock);
    BLog_Init(g_nextSink);
    s.settings = g_nextSettings;
    g_startIp6addr = g_nextIp6addr;
  }
  if (s.settings.tcpWindow == 0) s.settings.tcpWindow = kTunnelDefaultTcpWindow;
  s.settings.tcpWindow = std::clamp(s.settings.tcpWindow, kTunnelMinTcpWindow, kTunnelMaxTcpWindow);

  bool paramsOk = true;
  if (!netifIpAddr) {
    std::fprintf(stderr, "--netif-ipaddr is required\n");
    paramsOk = false;
  } else if (!netifNetmask) {
    std::fprintf(stderr, "--netif-netmask is required\n");
    paramsOk = false;
  } else if (!socksServerAddr) {
    std::fprintf(stderr, "--socks-server-addr is required\n");
    paramsOk = false;
  } else if (username && !password) {
    std::fprintf(stderr, "username given but password not given\n");
    paramsOk = false;
  }
  if (!paramsOk) {
    core_log(BLOG_ERROR, "Failed to parse arguments");
    std::fputs(kUsage, stdout);
    BLog_Free();
    return 0;
  }

  BLog_Log(kChannel, BLOG_NOTICE, "[%s] %s %s", "print_version", "tun2socks", "1.0.0");
  BLog_SetAllLevels(BLOG_INFO);
  core_log(BLOG_NOTICE, "initializing %s %s %s", "vantor", "tun2socks", "1.0.0");

  if (!parseParameters(netifIpAddr, netifNetmask, socksServerAddr, username, password, udpgwRemoteServerAddr)) {
    core_log(BLOG_ERROR, "Failed to process arguments");
    BLog_Free();
    return 1;
  }
  s.deviceText = deviceText ? deviceText : "";
  s.transparentDns = transparentDns;
  s.udpgwClient = nullptr;
  s.udpWriteBuf = nullptr;

  BTime_Init();
  applyTcpWindow(s.settings.tcpWindow);
  s.counters = TunnelCounters();
  vantor_lwip_syn_timewait_reused = 0;
  vantor_lwip_syn_on_open_connection = 0;
  vantor_lwip_syn_dropped = 0;
  if (!BReactor_Init(&s.reactor)) {
    core_log(BLOG_ERROR, "BReactor_Init failed");
    goto fail0;
  }
  s.quitting = false;
  s.haveSignal = g_handleSignals.load();
  if (s.haveSignal && !BSignal_Init(&s.reactor, signal_handler, nullptr)) {
    core_log(BLOG_ERROR, "BSignal_Init failed");
    goto fail1;
  }
  // The stack takes the host's TCP super-packets whole, as long segments:
  // one pass through it instead of one per frame-sized piece.
  if (!BTap_Init(&s.device, &s.reactor, deviceText, device_error_handler, nullptr, s.settings.deviceOffload, true)) {
    core_log(BLOG_ERROR, "BTap_Init failed");
    goto fail2;
  }
  s.frameMtu = BTap_GetMTU(&s.device);
  g_deviceOffload.store(BTap_OffloadOn(&s.device));
  s.deviceReadBlock = nullptr;
  s.deviceReadSpare = new (std::nothrow) uint8_t[static_cast<std::size_t>(BTap_GetOutput(&s.device)->mtu)];
  if (!s.deviceReadSpare) {
    core_log(BLOG_ERROR, "no memory for the device buffer");
    goto fail3;
  }
  PacketSource_SetDone(BTap_GetOutput(&s.device), device_read_handler_send, nullptr);
  // The first read starts on the tunnel thread, after the stack's initialisation.
  ReactorJob_Init(&s.deviceReadJob, &s.reactor, device_read_start, nullptr);
  ReactorJob_Set(&s.deviceReadJob);
  if (s.haveUdpgw) {
    s.udpPayloadLimit = s.frameMtu - 28 > 0 ? s.frameMtu - 28 : 0;
    if (s.udpPayloadLimit + 21 > 65535) {
      core_log(BLOG_ERROR, "device MTU is too large for UDP");
      goto fail4;
    }
    s.udpWriteBuf = new (std::nothrow) uint8_t[static_cast<std::size_t>(s.frameMtu)];
    s.udpgwClient = new (std::nothrow) SocksUdpGwClient;
    if (!s.udpWriteBuf || !s.udpgwClient ||
        !SocksUdpGwClient_Init(s.udpgwClient, s.udpPayloadLimit, kUdpgwMaxConnections, kUdpgwConnectionBufferPackets,
                               kUdpgwKeepaliveMs, s.socksServerAddr, s.socksAuth, s.udpgwRemoteServerAddr,
                               kUdpgwReconnectMs, &s.reactor, nullptr, udpgw_client_handler_received)) {
      core_log(BLOG_ERROR, "SocksUdpGwClient_Init failed");
      delete s.udpgwClient;
      s.udpgwClient = nullptr;
      delete[] s.udpWriteBuf;
      s.udpWriteBuf = nullptr;
      goto fail4;
    }
  }
  ReactorJob_Init(&s.lwipInitJob, &s.reactor, lwip_init_job_hadler, nullptr);
  ReactorJob_Set(&s.lwipInitJob);
  relay_init();
  s.deviceWriteBuf = new (std::nothrow) uint8_t[static_cast<std::size_t>(BTap_MaxSendLength(&s.device))];
  if (!s.deviceWriteBuf) {
    core_log(BLOG_ERROR, "BAlloc failed");
    goto fail5;
  }
  ReactorTimer_Init(&s.tcpTimer, kTcpTimerMs, tcp_timer_handler, nullptr);
  BReactor_SetTimer(&s.reactor, &s.tcpTimer);
  s.tcpTimerTicks = 0;
  s.haveNetif = false;
  s.listener = nullptr;
  s.listenerIp6 = nullptr;
  s.clients = nullptr;
  s.numClients = 0;

  core_log(BLOG_NOTICE, "entering event loop");
  s.running.store(true, std::memory_order_release);
  s.started.store(false, std::memory_order_release);
  s.stackReady.store(false, std::memory_order_release);
  {
    platform::Thread thread;
    if (!thread.createSuspended(tunnelThread, 0)) {
      teardown();
      return 1;
    }
    thread.resume();
    while (!s.started.load(std::memory_order_acquire)) platform::sleepMs(1);
    // The stack's initialisation is the thread's first job: it either
    // listens or ends the thread, and the caller sees which.
    for (int waited = 0;
         waited < 5000 && s.running.load(std::memory_order_acquire) && !s.stackReady.load(std::memory_order_acquire);
         ++waited)
      platform::sleepMs(1);
    thread.detach();
  }
  // The log may already be freed when the thread ended; BLog drops lines then.
  core_log(BLOG_NOTICE, "module started %s", s.running.load() ? "YES" : "NO");
  return 1;

fail5:
  relay_free();
  ReactorJob_Free(&s.lwipInitJob);
  freeUdpPath();
fail4:
  ReactorJob_Free(&s.deviceReadJob);
fail3:
  BTap_Free(&s.device);
  freeDeviceRead();
fail2:
  if (s.haveSignal) BSignal_Finish();
fail1:
  BReactor_Free(&s.reactor);
fail0:
  core_log(BLOG_NOTICE, "exiting");
  BLog_Free();
  s.deviceText.clear();
  s.running.store(false, std::memory_order_release);
  return 1;
}

void tun2socks_stop(bool wait) {
  TunnelState& s = g_state;
  if (!s.running.load(std::memory_order_acquire)) return;
  BReactor_Quit(&s.reactor, 0);
  if (!wait) return;
  while (s.running.load(std::memory_order_acquire)) platform::sleepMs(1);
}

bool startTunnel(const std::string& interfaceName, uint16_t servicePort, bool udpEnabled, bool ipv6) {
  if (tun2socks_is_running()) return true;
  tun2socks_set_netif_ip6addr(ipv6 ? kTunnelStackAddress6 : nullptr);
  char deviceText[256];
  std::snprintf(deviceText, sizeof deviceText, "%s:%s:%s:%s:%s", kTunDriverId, interfaceName.c_str(),
                kTunnelHostAddress, kTunnelNetwork, kTunnelNetmask);
  char socksServer[64];
  std::snprintf(socksServer, sizeof socksServer, "%s:%d", "127.0.0.1", servicePort);
  char udpgw[64];
  std::snprintf(udpgw, sizeof udpgw, "%s:%d", "127.0.0.1", 7300);
  tun2socks_start(deviceText, kTunnelStackAddress, kTunnelNetmask, socksServer, nullptr, nullptr,
                  udpEnabled ? udpgw : nullptr, false);
  return tun2socks_is_running();
}

}  // namespace vantor::tunnel
