// The udpgw flow table over a scripted stream: exact message bytes, conid
// choice and reuse, replies that must be dropped, buffering without a
// stream, fairness between flows, keepalives, and the framing decoder.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tunnel/base/blog.h"
#include "tunnel/base/btime.h"
#include "tunnel/udpgw/packet_proto.h"
#include "tunnel/udpgw/udpgw_client.h"

namespace vantor::tunnel {
namespace {

using Bytes = std::vector<uint8_t>;

BAddr v4(const char* ip, uint16_t port) { return BAddr_MakeIPv4(inet_addr(ip), htons(port)); }
Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The far end of the stream: takes what the client sends (at most `chunk`
// bytes per send when set) and feeds it what a server would answer.
struct FakeStream {
  StreamSender sender;
  StreamReceiver receiver;
  Bytes wire;
  int chunk = 0;
  int sends = 0;
  uint8_t* recvBuf = nullptr;
  int recvAvail = 0;
  Bytes pendingIn;

  explicit FakeStream(BReactor* r) {
    StreamSender_Init(&sender, r, sendOp, this);
    StreamReceiver_Init(&receiver, r, recvOp, this);
  }
  ~FakeStream() {
    StreamSender_Free(&sender);
    StreamReceiver_Free(&receiver);
  }
  static void sendOp(void* p, const uint8_t* data, int len) {
    auto* f = static_cast<FakeStream*>(p);
    ++f->sends;
    int n = f->chunk > 0 && f->chunk < len ? f->chunk : len;
    f->wire.insert(f->wire.end(), data, data + n);
    StreamSender_Done(&f->sender, n);
  }
  static void recvOp(void* p, uint8_t* buf, int avail) {
    auto* f = static_cast<FakeStream*>(p);
    f->recvBuf = buf;
    f->recvAvail = avail;
    f->pump();
  }
  void feed(const Bytes& b) {
    pendingIn.insert(pendingIn.end(), b.begin(), b.end());
    pump();
  }
  void pump() {
    if (!recvBuf || pendingIn.empty()) return;
    int n = std::min<int>(recvAvail, static_cast<int>(pendingIn.size()));
    std::memcpy(recvBuf, pendingIn.data(), static_cast<std::size_t>(n));
    pendingIn.erase(pendingIn.begin(), pendingIn.begin() + n);
    recvBuf = nullptr;
    StreamReceiver_Done(&receiver, n);
  }
  // Splits what was sent into messages (without their length headers).
  std::vector<Bytes> messages() const {
    std::vector<Bytes> out;
    std::size_t pos = 0;
    while (pos + 2 <= wire.size()) {
      std::size_t len = wire[pos] | wire[pos + 1] << 8;
      if (pos + 2 + len > wire.size()) break;
      out.emplace_back(wire.begin() + static_cast<long>(pos + 2), wire.begin() + static_cast<long>(pos + 2 + len));
      pos += 2 + len;
    }
    EXPECT_EQ(pos, wire.size()) << "a message was cut off";
    return out;
  }
};

struct Received {
  BAddr local, remote;
  Bytes data;
};

Bytes frame(const Bytes& msg) {
  Bytes out = {static_cast<uint8_t>(msg.size() & 0xFF), static_cast<uint8_t>(msg.size() >> 8)};
  out.insert(out.end(), msg.begin(), msg.end());
  return out;
}

// A reply message for `conid` from `from`.
Bytes reply(uint16_t conid, const BAddr& from, const Bytes& data, uint8_t flags = 0) {
  Bytes m = {flags, static_cast<uint8_t>(conid & 0xFF), static_cast<uint8_t>(conid >> 8)};
  const auto* ip = reinterpret_cast<const uint8_t*>(&from.ipv4);
  const auto* port = reinterpret_cast<const uint8_t*>(&from.port);
  m.insert(m.end(), ip, ip + 4);
  m.insert(m.end(), port, port + 2);
  m.insert(m.end(), data.begin(), data.end());
  return frame(m);
}

class UdpGwClientTest : public ::testing::Test {
 protected:
  static constexpr int kUdpMtu = 1472;
  BReactor reactor;
  UdpGwClient client;
  std::vector<Received> received;
  int serverErrors = 0;
  ReactorTimer quitTimer;
  ReactorJob quitJob;

  void SetUp() override {
    BLog_Init(BLog_DiscardSink());
    BTime_Init();
    ASSERT_TRUE(BReactor_Init(&reactor));
  }
  void TearDown() override {
    UdpGwClient_Free(&client);
    BReactor_Free(&reactor);
    BLog_Free();
  }
  void init(int maxConnections = 1000, btime_t keepalive = 10000) {
    ASSERT_TRUE(
        UdpGwClient_Init(&client, kUdpMtu, maxConnections, 8, keepalive, &reactor, this, onServerError, onReceived));
  }
  static void onServerError(void* u) { ++static_cast<UdpGwClientTest*>(u)->serverErrors; }
  static void onReceived(void* u, BAddr l, BAddr r, const uint8_t* d, int n) {
    static_cast<UdpGwClientTest*>(u)->received.push_back({l, r, Bytes(d, d + n)});
  }
  static void quit(void* u) { BReactor_Quit(static_cast<BReactor*>(u), 0); }
  // Quits once the loop has nothing left to do but wait.
  static void quitWhenIdle(void* u) { ReactorJob_SetIdle(&static_cast<UdpGwClientTest*>(u)->quitJob); }
  // Runs every pending job, then `ms` of timers.
  void run(btime_t ms = 0) {
    ReactorJob_Init(&quitJob, &reactor, quit, &reactor);
    ReactorTimer_Init(&quitTimer, ms, quitWhenIdle, this);
    BReactor_SetTimer(&reactor, &quitTimer);
    reactor.exiting.store(false);
    BReactor_Exec(&reactor);
  }
  void submit(const BAddr& local, const BAddr& remote, const std::string& text, int flags = 0) {
    Bytes d = bytes(text);
    UdpGwClient_SubmitPacket(&client, local, remote, flags, d.data(), static_cast<int>(d.size()));
  }
};

const BAddr kApp = v4("10.198.75.60", 40000);
const BAddr kApp2 = v4("10.198.75.60", 40001);
const BAddr kDns = v4("10.220.0.1", 53);
const BAddr kEcho = v4("10.220.0.1", 7);

TEST_F(UdpGwClientTest, MessagesCarryTheExactLayoutAndRebindOnlyOnAFlowsFirstDatagram) {
  init();
  FakeStream s(&reactor);
  ASSERT_TRUE(UdpGwClient_ConnectServer(&client, &s.sender, &s.receiver));
  submit(kApp, kDns, "q1");
  submit(kApp, kDns, "q2");
  submit(kApp2, kDns, "x");
  run();
  // The new flow's first message goes before the first flow's second one:
  // the queue is fair between flows.
  Bytes expected = {11,  0, 0x02, 0, 0,  10,  220, 0, 1,    0, 53, 'q', '1', 10, 0, 0x02, 1,  0,   10,
                    220, 0, 1,    0, 53, 'x', 11,  0, 0x00, 0, 0,  10,  220, 0,  1, 0,    53, 'q', '2'};
  EXPECT_EQ(s.wire, expected);
  EXPECT_EQ(s.sends, 1) << "what one round offered leaves in one send";
  // The caller's flags travel along.
  s.wire.clear();
  submit(kApp, kDns, "d", UDPGW_CLIENT_FLAG_DNS);
  run();
  ASSERT_EQ(s.messages().size(), 1u);
  EXPECT_EQ(s.messages()[0][0], UDPGW_CLIENT_FLAG_DNS);
}

TEST_F(UdpGwClientTest, RepliesReachTheirFlowAndBadOnesAreDroppedWithoutEndingTheStream) {
  init();
  FakeStream s(&reactor);
  ASSERT_TRUE(UdpGwClient_ConnectServer(&client, &s.sender, &s.receiver));
  submit(kApp, kDns, "q");
  submit(kApp2, kEcho, "e");
  run();
  Bytes in;
  auto add = [&](const Bytes& b) { in.insert(in.end(), b.begin(), b.end()); };
  add(reply(1, kEcho, bytes("echo")));
  add(frame({0x00, 0x01}));                                              // 2-byte message: no header
  add(reply(7, kDns, bytes("nobody")));                                  // unknown conid
  add(reply(0, kEcho, bytes("other peer")));                             // conid 0 sent to kDns only
  add(frame({0x00, 0x00, 0x00, 10, 220, 0}));                            // IPv4 address cut off
  add(reply(0, kDns, Bytes(kUdpMtu + 1, 0xAB)));                         // more than a datagram may carry
  add(reply(0, kDns, bytes("answer"), 0x7F & ~UDPGW_CLIENT_FLAG_IPV6));  // other flags are ignored
  // Byte by byte: messages split anywhere still come out whole.
  for (uint8_t b : in) {
    s.feed({b});
    run();
  }
  EXPECT_EQ(serverErrors, 0);
  ASSERT_EQ(received.size(), 3u);
  EXPECT_TRUE(BAddr_Equal(received[0].local, kApp2));
  EXPECT_TRUE(BAddr_Equal(received[0].remote, kEcho));
  EXPECT_EQ(received[0].data, bytes("echo"));
  // Full cone: a peer the socket never sent to reaches it, as itself.
  EXPECT_TRUE(BAddr_Equal(received[1].local, kApp));
  EXPECT_TRUE(BAddr_Equal(received[1].remote, kEcho));
  EXPECT_EQ(received[1].data, bytes("other peer"));
  EXPECT_TRUE(BAddr_Equal(received[2].local, kApp));
  EXPECT_TRUE(BAddr_Equal(received[2].remote, kDns));
  EXPECT_EQ(received[2].data, bytes("answer"));
  EXPECT_EQ(client.droppedReceived, 4u);
}

TEST_F(UdpGwClientTest, OneSocketIsOneFlowWhateverItsPeersAndTheirNumberIsBounded) {
  init();
  FakeStream s(&reactor);
  ASSERT_TRUE(UdpGwClient_ConnectServer(&client, &s.sender, &s.receiver));
  submit(kApp, kDns, "a");
  submit(kApp, kEcho, "b");
  run();
  auto m = s.messages();
  ASSERT_EQ(m.size(), 2u);
  // One conid, each message with its own destination; only the first rebinds.
  EXPECT_EQ(m[0][0], UDPGW_CLIENT_FLAG_REBIND);
  EXPECT_EQ(m[1][0], 0);
  EXPECT_EQ(m[0][1], m[1][1]);
  EXPECT_EQ(m[1][8], 7);  // the second one's port: the echo's
  EXPECT_EQ(client.numConnections, 1);
  EXPECT_EQ(UdpGwClient_FindConid(&client, kApp, kEcho), UdpGwClient_FindConid(&client, kApp, kDns));
  // Peers it never sent to are heard, up to the limit of remote addresses.
  for (int i = 0; i < kUdpGwMaxRemotes; ++i)
    s.feed(reply(0, v4("10.230.0.1", static_cast<uint16_t>(1000 + i)), bytes("p")));
  run();
  ASSERT_EQ(received.size(), static_cast<std::size_t>(kUdpGwMaxRemotes - 2));
  EXPECT_TRUE(
      BAddr_Equal(received.back().remote, v4("10.230.0.1", static_cast<uint16_t>(1000 + kUdpGwMaxRemotes - 3))));
  EXPECT_EQ(client.droppedReceived, 2u);
  // Known ones still are; sending to a new peer makes room for it.
  s.feed(reply(0, kDns, bytes("known")));
  run();
  EXPECT_EQ(received.back().data, bytes("known"));
  submit(kApp, v4("10.240.0.1", 9), "new");
  s.feed(reply(0, v4("10.240.0.1", 9), bytes("from new")));
  run();
  EXPECT_EQ(received.back().data, bytes("from new"));
  EXPECT_EQ(client.droppedReceived, 2u);
}

TEST_F(UdpGwClientTest, ConidsAreTakenInOrderAndTheLeastRecentlyUsedIsReusedWhenFull) {
  init(3);
  FakeStream s(&reactor);
  ASSERT_TRUE(UdpGwClient_ConnectServer(&client, &s.sender, &s.receiver));
  BAddr apps[5] = {v4("10.0.0.1", 1), v4("10.0.0.2", 2), v4("10.0.0.3", 3), v4("10.0.0.4", 4), v4("10.0.0.5", 5)};
  for (int i = 0; i < 3; ++i) submit(apps[i], kDns, "a");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(UdpGwClient_FindConid(&client, apps[i], kDns), i);
  // A reply touches flow 0, so flow 1 is now the least recently used.
  run();
  s.feed(reply(0, kDns, bytes("r")));
  run();
  s.wire.clear();
  submit(apps[3], kDns, "new");
  run();
  EXPECT_EQ(UdpGwClient_FindConid(&client, apps[3], kDns), 1);
  EXPECT_EQ(UdpGwClient_FindConid(&client, apps[1], kDns), -1);
  EXPECT_EQ(client.numConnections, 3);
  auto m = s.messages();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0][0], UDPGW_CLIENT_FLAG_REBIND);
  EXPECT_EQ(m[0][1], 1);
  // A late answer to the flow that lost conid 1 does not reach the new flow...
  s.feed(reply(1, kEcho, bytes("late")));
  run();
  ASSERT_EQ(received.size(), 1u);
  // ...but one from the new flow's peer does, for the new flow's application.
  BAddr dns2 = kDns;
  s.feed(reply(1, dns2, bytes("fresh")));
  run();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_TRUE(BAddr_Equal(received[1].local, apps[3]));
  // Then flow 2 is the oldest: the next new flow takes conid 2.
  submit(apps[4], kDns, "n");
  EXPECT_EQ(UdpGwClient_FindConid(&client, apps[4], kDns), 2);
}

TEST_F(UdpGwClientTest, WithoutAStreamMessagesWaitUpToTheBufferAndGoOutOnTheNextStream) {
  init();
  // Eight largest datagrams fill a flow's buffer; the ninth is dropped.
  std::string big(kUdpMtu, 'b');
  for (int i = 0; i < 9; ++i) submit(kApp, kEcho, big);
  EXPECT_EQ(client.droppedOutOfBuffer, 1u);
  // A small datagram of another flow has its own buffer.
  submit(kApp2, kDns, "small");
  auto first = std::make_unique<FakeStream>(&reactor);
  first->chunk = 1000;  // the stream takes a message in pieces
  ASSERT_TRUE(UdpGwClient_ConnectServer(&client, &first->sender, &first->receiver));
  // The stream ends after the first piece of a message; the message must
  // go out whole on the next stream.
  ASSERT_EQ(first->wire.size(), 1000u);
  UdpGwClient_DisconnectServer(&client);
  first.reset();
  run();
  FakeStream second(&reactor);
  ASSERT_TRUE(UdpGwClient_ConnectServer(&client, &second.sender, &second.receiver));
  run();
  auto m = second.messages();
  ASSERT_EQ(m.size(), 9u);
  int big_count = 0;
  for (auto& msg : m) big_count += msg.size() == 9u + kUdpMtu;
  EXPECT_EQ(big_count, 8);
  EXPECT_EQ(m[0][0], UDPGW_CLIENT_FLAG_REBIND);
}

TEST_F(UdpGwClientTest, ABusyFlowDoesNotHoldBackAnotherFlow) {
  init();
  for (int i = 0; i < 8; ++i) submit(kApp, kEcho, std::string(1000, static_cast<char>('a' + i)));
  submit(kApp2, kDns, "dns");
  FakeStream s(&reactor);
  ASSERT_TRUE(UdpGwClient_ConnectServer(&client, &s.sender, &s.receiver));
  run();
  auto m = s.messages();
  ASSERT_EQ(m.size(), 9u);
  std::size_t dnsAt = 0;
  for (std::size_t i = 0; i < m.size(); ++i)
    if (m[i][1] == 1) dnsAt = i;
  EXPECT_LE(dnsAt, 1u) << "the other flow waited behind the busy one";
  // The busy flow's own messages stay in order.
  char last = 0;
  for (auto& msg : m)
    if (msg[1] == 0) {
      EXPECT_GT(static_cast<char>(msg.back()), last);
      last = static_cast<char>(msg.back());
    }
}

TEST_F(UdpGwClientTest, AnIdleStreamCarriesKeepalives) {
  init(1000, 30);
  FakeStream s(&reactor);
  ASSERT_TRUE(UdpGwClient_ConnectServer(&client, &s.sender, &s.receiver));
  run(100);
  ASSERT_GE(s.wire.size(), 5u);
  EXPECT_LE(s.wire.size(), 20u);  // about one per 30 ms, not more
  ASSERT_EQ(s.wire.size() % 5, 0u);
  for (std::size_t i = 0; i < s.wire.size(); i += 5)
    EXPECT_EQ(Bytes(s.wire.begin() + static_cast<long>(i), s.wire.begin() + static_cast<long>(i) + 5),
              (Bytes{0x03, 0x00, 0x01, 0x00, 0x00}));
  // Traffic restarts the wait: a busy stream carries no keepalive.
  s.wire.clear();
  for (int i = 0; i < 10; ++i) {
    submit(kApp, kDns, "x");
    run(10);
  }
  for (auto& msg : s.messages()) EXPECT_NE(msg[0], UDPGW_CLIENT_FLAG_KEEPALIVE);
}

struct DecoderHarness {
  std::vector<Bytes> got;
  int errors = 0;
  static void onMessage(void* u, const uint8_t* d, int n) {
    static_cast<DecoderHarness*>(u)->got.emplace_back(d, d + n);
  }
  static void onError(void* u) { ++static_cast<DecoderHarness*>(u)->errors; }
};

TEST_F(UdpGwClientTest, DecoderEndsTheStreamOnALengthAboveItsMaximum) {
  init();
  FakeStream s(&reactor);
  DecoderHarness h;
  PacketProtoDecoder d;
  ASSERT_TRUE(PacketProtoDecoder_Init(&d, &s.receiver, 10, DecoderHarness::onMessage, DecoderHarness::onError, &h));
  s.feed({0, 0, 10, 0, '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 11, 0});
  run();
  ASSERT_EQ(h.got.size(), 2u);
  EXPECT_TRUE(h.got[0].empty());
  EXPECT_EQ(h.got[1], bytes("0123456789"));
  EXPECT_EQ(h.errors, 1);
  PacketProtoDecoder_Free(&d);
}

}  // namespace
}  // namespace vantor::tunnel
