// The TCP/IP stack as the tunnel builds it (our options and patch): an
// interface marked to take TCP for any destination and a listener bound to
// it without a port accept a connection to any address and port and keep
// that destination as the local end; ICMP and other protocols are handled
// for the stack's own address only.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "lwip/init.h"
#include "lwip/ip4.h"
#include "lwip/netif.h"
#include "lwip/pbuf.h"
#include "lwip/priv/tcp_priv.h"
#include "lwip/tcp.h"

extern "C" uint32_t vantor_lwip_rand(void);

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<Bytes> g_sent;

uint32_t ip(int a, int b, int c, int d) {
  uint8_t x[4] = {static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<uint8_t>(c), static_cast<uint8_t>(d)};
  uint32_t v;
  std::memcpy(&v, x, 4);
  return v;
}

void put16(Bytes& b, std::size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}
uint16_t get16(const Bytes& b, std::size_t at) { return static_cast<uint16_t>(b[at] << 8 | b[at + 1]); }
uint32_t get32(const Bytes& b, std::size_t at) {
  return static_cast<uint32_t>(b[at]) << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3];
}

uint32_t sumWords(const uint8_t* p, std::size_t n, uint32_t sum = 0) {
  for (std::size_t i = 0; i + 1 < n; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
  if (n & 1) sum += static_cast<uint32_t>(p[n - 1] << 8);
  return sum;
}
uint16_t fold(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// An IPv4 packet around `payload`; TCP and UDP get their pseudo-header checksum.
Bytes ipv4(uint32_t src, uint32_t dst, uint8_t proto, Bytes payload) {
  Bytes p(20);
  p[0] = 0x45;
  put16(p, 2, static_cast<uint16_t>(20 + payload.size()));
  p[8] = 64;
  p[9] = proto;
  std::memcpy(&p[12], &src, 4);
  std::memcpy(&p[16], &dst, 4);
  put16(p, 10, fold(sumWords(p.data(), 20)));
  std::size_t csumAt = proto == 6 ? 16 : proto == 17 ? 6 : 0;
  if (csumAt) {
    Bytes pseudo(12);
    std::memcpy(&pseudo[0], &src, 4);
    std::memcpy(&pseudo[4], &dst, 4);
    pseudo[9] = proto;
    put16(pseudo, 10, static_cast<uint16_t>(payload.size()));
    put16(payload, csumAt, 0);
    put16(payload, csumAt, fold(sumWords(payload.data(), payload.size(), sumWords(pseudo.data(), 12))));
  } else if (proto == 1) {
    put16(payload, 2, 0);
    put16(payload, 2, fold(sumWords(payload.data(), payload.size())));
  }
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

enum : uint8_t { FIN = 1, SYN = 2, RST = 4, ACK = 16 };

Bytes tcp(uint16_t sport, uint16_t dport, uint32_t seq, uint32_t ack, uint8_t flags, Bytes data = {}) {
  Bytes t(20);
  put16(t, 0, sport);
  put16(t, 2, dport);
  for (int i = 0; i < 4; ++i) t[4 + i] = static_cast<uint8_t>(seq >> (24 - 8 * i));
  for (int i = 0; i < 4; ++i) t[8 + i] = static_cast<uint8_t>(ack >> (24 - 8 * i));
  t[12] = 5 << 4;
  t[13] = flags;
  put16(t, 14, 65535);
  t.insert(t.end(), data.begin(), data.end());
  return t;
}

err_t captureOutput(struct netif*, struct pbuf* p, const ip4_addr_t*) {
  Bytes b(p->tot_len);
  pbuf_copy_partial(p, b.data(), p->tot_len, 0);
  g_sent.push_back(b);
  return ERR_OK;
}

err_t initNetif(struct netif* n) {
  n->name[0] = 'h';
  n->name[1] = 'o';
  n->output = captureOutput;
  n->mtu = 1500;
  return ERR_OK;
}

struct Accepted {
  int count = 0;
  ip_addr_t local;
  u16_t localPort = 0;
  ip_addr_t remote;
  u16_t remotePort = 0;
  struct tcp_pcb* pcb = nullptr;
};
Accepted g_accepted;
u16_t g_raiseMss = 0;  // the sending MSS that accepted connections get, as the tunnel raises it

err_t onAccept(void*, struct tcp_pcb* pcb, err_t err) {
  if (err != ERR_OK || !pcb) return ERR_VAL;
  if (g_raiseMss) pcb->mss = g_raiseMss;
  g_accepted.count++;
  g_accepted.local = pcb->local_ip;
  g_accepted.localPort = pcb->local_port;
  g_accepted.remote = pcb->remote_ip;
  g_accepted.remotePort = pcb->remote_port;
  g_accepted.pcb = pcb;
  return ERR_OK;
}

const uint32_t kHost = ip(10, 198, 75, 60);
const uint32_t kStack = ip(10, 198, 75, 61);
const uint32_t kFar = ip(93, 184, 216, 34);

struct Stack : ::testing::Test {
  void SetUp() override {
    g_sent.clear();
    g_accepted = Accepted{};
    lwip_init();
    ip4_addr_t addr, mask, gw;
    addr.addr = kStack;
    mask.addr = ip(255, 255, 255, 0);
    gw.addr = 0;
    ASSERT_TRUE(netif_add(&netif, &addr, &mask, &gw, nullptr, initNetif, ip4_input));
    netif_set_up(&netif);
    netif_set_link_up(&netif);
    netif_set_default(&netif);
  }
  void TearDown() override {
    if (listener) tcp_close(listener);
    while (tcp_active_pcbs) tcp_abort(tcp_active_pcbs);
    while (tcp_tw_pcbs) tcp_abort(tcp_tw_pcbs);
    netif_remove(&netif);
  }
  void listenEverywhere() {
    struct tcp_pcb* pcb = tcp_new_ip_type(IPADDR_TYPE_V4);
    ASSERT_TRUE(pcb);
    tcp_bind_netif(pcb, &netif);
    listener = tcp_listen(pcb);
    ASSERT_TRUE(listener);
    tcp_accept(listener, onAccept);
  }
  void input(const Bytes& packet) {
    struct pbuf* p = pbuf_alloc(PBUF_RAW, static_cast<u16_t>(packet.size()), PBUF_POOL);
    ASSERT_TRUE(p);
    pbuf_take(p, packet.data(), static_cast<u16_t>(packet.size()));
    netif.input(p, &netif);
  }
  struct netif netif;
  struct tcp_pcb* listener = nullptr;
};

TEST_F(Stack, SynToAnyDestinationIsAcceptedWithThatDestinationAsLocalEnd) {
  netif.flags |= NETIF_FLAG_ANY_DEST_TCP;
  listenEverywhere();
  input(ipv4(kHost, kFar, 6, tcp(40000, 443, 1000, 0, SYN)));
  ASSERT_EQ(g_sent.size(), 1u);
  const Bytes& synAck = g_sent[0];
  uint32_t src, dst;
  std::memcpy(&src, &synAck[12], 4);
  std::memcpy(&dst, &synAck[16], 4);
  EXPECT_EQ(src, kFar);  // answered in the destination's name
  EXPECT_EQ(dst, kHost);
  EXPECT_EQ(get16(synAck, 20), 443);
  EXPECT_EQ(get16(synAck, 22), 40000);
  EXPECT_EQ(synAck[33] & (SYN | ACK), SYN | ACK);
  EXPECT_EQ(get32(synAck, 28), 1001u);
  EXPECT_EQ(get16(synAck, 34), TCP_WND);  // the advertised window
  uint32_t iss = get32(synAck, 24);

  input(ipv4(kHost, kFar, 6, tcp(40000, 443, 1001, iss + 1, ACK)));
  ASSERT_EQ(g_accepted.count, 1);
  EXPECT_EQ(ip_2_ip4(&g_accepted.local)->addr, kFar);
  EXPECT_EQ(g_accepted.localPort, 443);
  EXPECT_EQ(ip_2_ip4(&g_accepted.remote)->addr, kHost);
  EXPECT_EQ(g_accepted.remotePort, 40000);

  // A second destination on another port gets its own connection.
  input(ipv4(kHost, ip(1, 2, 3, 4), 6, tcp(40001, 22, 5000, 0, SYN)));
  ASSERT_EQ(g_sent.size(), 2u);
  EXPECT_EQ(get16(g_sent[1], 20), 22);
}

TEST_F(Stack, WithoutTheMarkTcpForOtherAddressesIsDropped) {
  listenEverywhere();
  input(ipv4(kHost, kFar, 6, tcp(40000, 443, 1000, 0, SYN)));
  EXPECT_TRUE(g_sent.empty());
  // The stack's own address still works.
  input(ipv4(kHost, kStack, 6, tcp(40000, 443, 1000, 0, SYN)));
  EXPECT_EQ(g_sent.size(), 1u);
}

TEST_F(Stack, IcmpEchoIsAnsweredOnlyForTheStackAddress) {
  netif.flags |= NETIF_FLAG_ANY_DEST_TCP;
  Bytes echo = {8, 0, 0, 0, 0x12, 0x34, 0, 1, 'p', 'i', 'n', 'g'};
  input(ipv4(kHost, kFar, 1, echo));
  EXPECT_TRUE(g_sent.empty());
  input(ipv4(kHost, kStack, 1, echo));
  ASSERT_EQ(g_sent.size(), 1u);
  EXPECT_EQ(g_sent[0][9], 1);
  EXPECT_EQ(g_sent[0][20], 0);  // echo reply
}

TEST_F(Stack, OtherProtocolsGetProtocolUnreachableOnlyForTheStackAddress) {
  netif.flags |= NETIF_FLAG_ANY_DEST_TCP;
  Bytes udp = {0x30, 0x39, 0, 53, 0, 12, 0, 0, 'd', 'n', 's', '!'};
  input(ipv4(kHost, kFar, 17, udp));
  EXPECT_TRUE(g_sent.empty());
  input(ipv4(kHost, kStack, 17, udp));
  ASSERT_EQ(g_sent.size(), 1u);
  EXPECT_EQ(g_sent[0][9], 1);   // ICMP
  EXPECT_EQ(g_sent[0][20], 3);  // destination unreachable
  EXPECT_EQ(g_sent[0][21], 2);  // protocol unreachable
}

// The stack closes first and keeps the connection in TIME-WAIT; the host,
// which holds nothing of it any more, opens a new one from the same port.
// That SYN must open a connection, not be answered with an ACK of the old
// one (the host would retry for as long as TIME-WAIT lasts).
TEST_F(Stack, SynFromThePortOfATimeWaitConnectionOpensANewOne) {
  netif.flags |= NETIF_FLAG_ANY_DEST_TCP;
  listenEverywhere();
  vantor_lwip_syn_timewait_reused = 0;
  input(ipv4(kHost, kFar, 6, tcp(40000, 80, 1000, 0, SYN)));
  ASSERT_EQ(g_sent.size(), 1u);
  uint32_t iss = get32(g_sent[0], 24);
  input(ipv4(kHost, kFar, 6, tcp(40000, 80, 1001, iss + 1, ACK)));
  ASSERT_EQ(g_accepted.count, 1);
  struct tcp_pcb* pcb = g_accepted.pcb;
  tcp_arg(pcb, nullptr);
  tcp_accept(pcb, nullptr);
  ASSERT_EQ(tcp_close(pcb), ERR_OK);
  ASSERT_EQ(g_sent.size(), 2u);
  EXPECT_EQ(g_sent[1][33] & FIN, FIN);
  input(ipv4(kHost, kFar, 6, tcp(40000, 80, 1001, iss + 2, ACK)));
  input(ipv4(kHost, kFar, 6, tcp(40000, 80, 1001, iss + 2, FIN | ACK)));
  ASSERT_TRUE(tcp_tw_pcbs);
  EXPECT_EQ(tcp_tw_pcbs->state, TIME_WAIT);
  // Other segments are still the old connection's business: a stray ACK
  // is answered from TIME-WAIT and changes nothing.
  std::size_t before = g_sent.size();
  input(ipv4(kHost, kFar, 6, tcp(40000, 80, 1002, iss + 2, ACK, Bytes{'x'})));
  ASSERT_EQ(g_sent.size(), before + 1);
  EXPECT_EQ(g_sent.back()[33] & (SYN | ACK), ACK);
  EXPECT_TRUE(tcp_tw_pcbs);

  before = g_sent.size();
  input(ipv4(kHost, kFar, 6, tcp(40000, 80, 777777, 0, SYN)));
  ASSERT_EQ(g_sent.size(), before + 1);
  const Bytes& synAck = g_sent.back();
  EXPECT_EQ(synAck[33] & (SYN | ACK), SYN | ACK);
  EXPECT_EQ(get32(synAck, 28), 777778u);
  EXPECT_FALSE(tcp_tw_pcbs);
  EXPECT_EQ(vantor_lwip_syn_timewait_reused, 1u);
  input(ipv4(kHost, kFar, 6, tcp(40000, 80, 777778, get32(synAck, 24) + 1, ACK)));
  EXPECT_EQ(g_accepted.count, 2);
  EXPECT_EQ(g_accepted.remotePort, 40000);
}

// A connection whose sending MSS was raised sends segments far longer than
// a frame, the whole stream intact; what it receives it takes in long
// segments too, and a reopened window is announced once a real segment's
// worth is free, not only once the raised MSS is.
TEST_F(Stack, RaisedSendMssSendsLongSegmentsAndStillAnnouncesTheWindow) {
  struct Restore {
    unsigned wnd = vantor_lwip_tcp_wnd, buf = vantor_lwip_tcp_snd_buf;
    ~Restore() {
      vantor_lwip_tcp_wnd = wnd;
      vantor_lwip_tcp_snd_buf = buf;
      g_raiseMss = 0;
    }
  } restore;
  vantor_lwip_tcp_wnd = 60000;
  vantor_lwip_tcp_snd_buf = 65535;
  g_raiseMss = 30 * 1460;
  netif.flags |= NETIF_FLAG_ANY_DEST_TCP;
  listenEverywhere();
  input(ipv4(kHost, kFar, 6, tcp(40000, 80, 1000, 0, SYN)));
  ASSERT_EQ(g_sent.size(), 1u);
  uint32_t iss = get32(g_sent[0], 24);
  input(ipv4(kHost, kFar, 6, tcp(40000, 80, 1001, iss + 1, ACK)));
  ASSERT_EQ(g_accepted.count, 1);
  struct tcp_pcb* pcb = g_accepted.pcb;

  Bytes data(60000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
  ASSERT_EQ(tcp_write(pcb, data.data(), static_cast<u16_t>(data.size()), TCP_WRITE_FLAG_COPY), ERR_OK);
  ASSERT_EQ(tcp_output(pcb), ERR_OK);
  Bytes stream;
  auto collect = [&](std::size_t from) {
    for (std::size_t i = from; i < g_sent.size(); ++i) {
      const Bytes& p = g_sent[i];
      ASSERT_EQ(get32(p, 24), iss + 1 + stream.size());
      stream.insert(stream.end(), p.begin() + 40, p.end());
    }
  };
  collect(1);
  ASSERT_EQ(g_sent.size(), 2u) << "one long segment, the rest held back until it is acknowledged";
  EXPECT_GT(g_sent[1].size(), 20000u);
  std::size_t before = g_sent.size();
  input(ipv4(kHost, kFar, 6, tcp(40000, 80, 1001, iss + 1 + static_cast<uint32_t>(stream.size()), ACK)));
  collect(before);
  EXPECT_EQ(stream, data);

  // 20000 bytes in one segment, taken at once: the window is announced whole again.
  Bytes incoming(20000, 'u');
  before = g_sent.size();
  input(ipv4(kHost, kFar, 6, tcp(40000, 80, 1001, iss + 1 + 60000, ACK, incoming)));
  ASSERT_GT(g_sent.size(), before);
  const Bytes& ack = g_sent.back();
  EXPECT_EQ(get32(ack, 28), 1001u + 20000);
  EXPECT_EQ(get16(ack, 34), 60000);
}

TEST_F(Stack, RandomSourceIsWired) {
  // Two draws from the tunnel's generator are not both zero.
  EXPECT_NE(vantor_lwip_rand() | vantor_lwip_rand(), 0u);
}

}  // namespace
