// The local service run in-process against raw clients and a recording fake
// node: the SOCKS dialogue, refusals, the upstream wire and the relay rules.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#include <tlhelp32.h>
#endif

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "crypto/cryptor.h"
#include "service/ss_manager.h"
#include "service/ssr_client.h"
#include "test_net.h"

namespace vantor {
namespace {

using test::Bytes;
using test::Conn;
using Clock = std::chrono::steady_clock;

const Bytes kSocks5Failure = {5, 1, 0, 1, 0, 0, 0, 0, 0, 0};
const Bytes kSocks4Failure = {0, 0x5C, 0, 0, 0, 0, 0, 0};
const Bytes kSocks4Rejected = {0, 0x5B, 0, 0, 0, 0, 0, 0};

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { startWith(nullptr, nullptr); }
  void startWith(const char* user, const char* password) {
    node_.server = "127.0.0.1";
    node_.server_port = test::closedPort();
    ASSERT_TRUE(service().setCurrentNode(&node_));
    ASSERT_TRUE(service().startService(user, password, 0)) << service().lastError();
    port_ = service().servicePort();
  }
  void TearDown() override {
    service().stopService();
    service().waitForSessions(15000);
  }
  static CSSManager& service() { return CSSManager::instance(); }
  void useNode(uint16_t port, int type = kNodeSocks5, const std::string& user = "", const std::string& password = "") {
    node_.server_port = port;
    node_.type = type;
    node_.username = user;
    node_.password = password;
    ASSERT_TRUE(service().setCurrentNode(&node_));  // sessions from now on
  }
  void useShadowsocksPipeline(const char* method) {
    node_.method = method;
    node_.password = "pw";
    node_.protocol = "origin";
    node_.obfs = "plain";
    ASSERT_TRUE(service().setCurrentNode(&node_));
  }
  // A connection that has passed the SOCKS 5 greeting without authentication.
  std::unique_ptr<Conn> greeted() {
    auto c = std::make_unique<Conn>(port_);
    c->send(Bytes{5, 1, 0});
    EXPECT_EQ(c->recv(2), (Bytes{5, 0}));
    return c;
  }

  CNodeInfo node_;
  uint16_t port_ = 0;
};

TEST_F(ServiceTest, GreetingRefusals) {
  {
    Conn c(port_);  // only user/password offered to a service without credentials
    c.send(Bytes{5, 1, 2});
    EXPECT_EQ(c.recv(2), (Bytes{5, 0xFF}));
    EXPECT_TRUE(c.closedWithin(1000));
  }
  {
    Conn c(port_);
    c.send(Bytes{5, 0});
    EXPECT_EQ(c.recv(2), (Bytes{5, 0xFF}));
    EXPECT_TRUE(c.closedWithin(1000));
  }
  {
    Conn c(port_);  // not SOCKS at all
    c.send("GET / HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(c.closedWithin(1000));
  }
}

TEST_F(ServiceTest, Socks5RequestRefusals) {
  struct Case {
    Bytes request;
    Bytes reply;  // empty: closed without a reply
  };
  const Case cases[] = {
      {{5, 1, 0, 9}, {5, 8, 0, 1, 0, 0, 0, 0, 0, 0}},
      // IPv6 is an address type of ours, but :: (like 0.0.0.0) or port 0 is no destination.
      {{5, 1, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 80}, {}},
      {{5, 1, 0, 4, 0x20, 1, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}, {}},
      {test::socks5ConnectIpv4(0, 80), {}},          // 0.0.0.0
      {test::socks5ConnectIpv4(0x0100007f, 0), {}},  // port 0
      {{5, 9, 0, 1, 127, 0, 0, 1, 0, 80}, {}},       // unknown command
      {{5, 1, 0, 3, 0, 0, 80}, {}},                  // empty name
      {{6, 1, 0, 1, 127, 0, 0, 1, 0, 80}, {}},       // bad version
  };
  for (const auto& tc : cases) {
    auto c = greeted();
    c->send(tc.request);
    if (!tc.reply.empty()) {
      EXPECT_EQ(c->recv(tc.reply.size()), tc.reply);
    }
    EXPECT_TRUE(c->closedWithin(1500));
  }
}

TEST_F(ServiceTest, TruncatedSocks5RequestsGetTheirReplyCodes) {
  const std::pair<Bytes, uint8_t> cases[] = {{{5}, 7}, {{5, 1}, 1}, {{5, 1, 0}, 8}};
  for (const auto& [partial, rep] : cases) {
    auto c = greeted();
    c->send(partial);
    c->shutdownWrite();
    EXPECT_EQ(c->recv(10), (Bytes{5, rep, 0, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(c->closedWithin(1500));
  }
}

TEST_F(ServiceTest, Socks4Refusals) {
  Bytes longUser = {4, 1, 0, 80, 1, 2, 3, 4};
  longUser.insert(longUser.end(), 255, 'u');
  longUser.push_back(0);
  Bytes longName = {4, 1, 0, 80, 0, 0, 0, 1, 0};
  longName.insert(longName.end(), 255, 'n');
  longName.push_back(0);
  const std::pair<Bytes, Bytes> cases[] = {
      {{4}, kSocks4Rejected},              // command missing
      {{4, 3, 0, 80, 1, 2, 3, 4, 0}, {}},  // unknown command
      {{4, 1, 0, 80, 0, 0, 0, 0, 0}, {}},  // address 0
      {{4, 1, 0, 0, 1, 2, 3, 4, 0}, {}},   // port 0
      {longUser, kSocks4Rejected},
      {longName, kSocks4Rejected},
  };
  for (const auto& [request, reply] : cases) {
    Conn c(port_);
    c.send(request);
    if (request.size() == 1) c.shutdownWrite();
    if (!reply.empty()) {
      EXPECT_EQ(c.recv(8), reply);
    }
    EXPECT_TRUE(c.closedWithin(1500));
  }
}

TEST_F(ServiceTest, DialogueHasOneDeadlineHoweverSlowlyItTrickles) {
  // One byte every 3 s keeps every read within its 5 s; the dialogue as a
  // whole still ends 10 s after the connection came in.
  Conn c(port_);
  const Bytes greeting = {5, 8, 0, 0, 0, 0, 0, 0, 0, 0};
  auto start = Clock::now();
  bool closed = false;
  for (std::size_t i = 0; i < greeting.size() && !closed; ++i) {
    c.send(Bytes{greeting[i]});
    closed = c.closedWithin(3000);
  }
  EXPECT_TRUE(closed);
  auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(9500));
  EXPECT_LE(waited, std::chrono::milliseconds(11500));
}

TEST_F(ServiceTest, SilentClientIsDroppedAfterFiveSeconds) {
  Conn c(port_);
  auto start = Clock::now();
  EXPECT_TRUE(c.closedWithin(7000));
  auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(4500));
  EXPECT_LE(waited, std::chrono::milliseconds(6500));
}

TEST_F(ServiceTest, Socks5NodeSeesNamesAsNamesAndAddressesAsAddresses) {
  test::FakeSocksNode fake(false);
  useNode(fake.port());
  {
    auto c = greeted();
    c->send(test::socks5Connect("target.example", 443));
    Bytes reply = c->recv(10);
    ASSERT_EQ(reply.size(), 10u);
    EXPECT_EQ(reply[1], 0);
    c->send("ping");
    EXPECT_EQ(c->recv(4), (Bytes{'p', 'i', 'n', 'g'}));
  }
  {
    auto c = greeted();
    c->send(test::socks5ConnectIpv4(0x04030201, 80));
    EXPECT_EQ(c->recv(10).at(1), 0);
  }
  {
    Conn c(port_);  // SOCKS 4a with a name
    Bytes req = {4, 1, 0x1F, 0x90, 0, 0, 0, 9, 'u', 0};
    for (char ch : std::string("name.example")) req.push_back(static_cast<uint8_t>(ch));
    req.push_back(0);
    c.send(req);
    Bytes reply = c.recv(8);
    ASSERT_EQ(reply.size(), 8u);
    EXPECT_EQ(reply[1], 0x5A);
  }
  // An IPv6 destination (the tunnel's form for IPv6 connections) reaches
  // the node as address type 4 with the same 16 bytes.
  const Bytes v6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0x22, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01};
  {
    auto c = greeted();
    Bytes req = {5, 1, 0, 4};
    req.insert(req.end(), v6.begin(), v6.end());
    req.insert(req.end(), {0x1F, 0x90});
    c->send(req);
    EXPECT_EQ(c->recv(10).at(1), 0);
  }
  auto requests = fake.requests();
  ASSERT_EQ(requests.size(), 4u);
  for (const auto& r : requests) EXPECT_EQ(r.greeting, (Bytes{0}));  // no credentials: method 0 only
  Bytes ipv6Request = {5, 1, 0, 4};
  ipv6Request.insert(ipv6Request.end(), v6.begin(), v6.end());
  ipv6Request.insert(ipv6Request.end(), {0x1F, 0x90});
  EXPECT_EQ(requests[3].request, ipv6Request);
  Bytes name = {5, 1, 0, 3, 14};
  for (char ch : std::string("target.example")) name.push_back(static_cast<uint8_t>(ch));
  name.insert(name.end(), {1, 187});
  EXPECT_EQ(requests[0].request, name);
  EXPECT_EQ(requests[1].request, (Bytes{5, 1, 0, 1, 1, 2, 3, 4, 0, 80}));
  EXPECT_EQ(requests[2].request.at(3), 3);
  EXPECT_EQ(requests[2].request.at(4), 12);
  EXPECT_GE(node_.ConnectedTimes.load(), 4);
  EXPECT_EQ(node_.FailureTimes.load(), 0);
  EXPECT_GT(node_.Latency.load(), 0);
}

TEST_F(ServiceTest, Socks5NodeLoginAndTrafficCounters) {
  test::FakeSocksNode fake(false, {}, true);
  useNode(fake.port(), kNodeSocks5, "alice", "s3cret");
  {
    auto c = greeted();
    c->send(test::socks5ConnectIpv4(0x0100007f, 9));
    ASSERT_EQ(c->recv(10).at(1), 0);
    Bytes payload(100000, 0x42);
    c->send(payload);
    EXPECT_EQ(c->recv(payload.size()), payload);
  }
  auto requests = fake.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].greeting, (Bytes{2}));
  Bytes login = {1, 5, 'a', 'l', 'i', 'c', 'e', 6, 's', '3', 'c', 'r', 'e', 't'};
  EXPECT_EQ(requests[0].login, login);
  EXPECT_EQ(node_.Upload_traffic.load(), 100000.0);
  EXPECT_EQ(node_.Download_traffic.load(), 100000.0);
}

TEST_F(ServiceTest, Socks4NodeGetsResolvedAddressesAndRefusalsAreTranslated) {
  test::FakeSocksNode granted(true);
  useNode(granted.port(), kNodeSocks4, "uid");
  {
    auto c = greeted();
    c->send(test::socks5Connect("localhost", 8080));
    EXPECT_EQ(c->recv(10).at(1), 0);
  }
  auto requests = granted.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].request, (Bytes{4, 1, 0x1F, 0x90, 127, 0, 0, 1, 'u', 'i', 'd', 0}));

  test::FakeSocksNode refusing(true, Bytes{0, 0x5B, 0, 0, 0, 0, 0, 0});
  useNode(refusing.port(), kNodeSocks4);
  {
    auto c = greeted();
    c->send(test::socks5ConnectIpv4(0x0100007f, 80));
    EXPECT_EQ(c->recv(10), kSocks5Failure);
    EXPECT_TRUE(c->closedWithin(1000));
  }
  {
    Conn c(port_);
    c.send(Bytes{4, 1, 0, 80, 127, 0, 0, 1, 0});
    EXPECT_EQ(c.recv(8), kSocks4Failure);
  }
  // SOCKS 4 has no form for an IPv6 destination: refused here, never sent
  // on as a name the node would look up.
  useNode(granted.port(), kNodeSocks4, "uid");
  {
    auto c = greeted();
    Bytes req = {5, 1, 0, 4, 0x20, 1, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 80};
    c->send(req);
    EXPECT_EQ(c->recv(10), kSocks5Failure);
  }
  EXPECT_EQ(granted.requests().size(), 1u);
}

TEST(ShadowsocksAddressHeader, Ipv6TargetsTakeTheirSixteenBytes) {
  uint8_t out[262];
  ASSERT_EQ(CSSRCLient::addressHeader(socks::kAtypIpv6, "2001:db8::1", 443, out), 19);
  const uint8_t expected[19] = {4, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x01, 0xbb};
  EXPECT_EQ(0, std::memcmp(out, expected, 19));
  EXPECT_EQ(CSSRCLient::headLength(socks::kAtypIpv6, "2001:db8::1"), 19);
  EXPECT_EQ(CSSRCLient::addressHeader(socks::kAtypIpv6, "not-an-address", 443, out), 0);
  EXPECT_EQ(CSSRCLient::addressHeader(socks::kAtypIpv4, "10.1.2.3", 80, out), 7);
}

TEST_F(ServiceTest, RefusingNodeCostsFourAttempts) {
  auto c = greeted();
  c->send(test::socks5ConnectIpv4(0x0100007f, 80));
  EXPECT_EQ(c->recv(10), kSocks5Failure);
  EXPECT_EQ(node_.ConnectedTimes.load(), 4);
  EXPECT_EQ(node_.FailureTimes.load(), 4);
}

TEST_F(ServiceTest, SilentNodeCostsFourAttemptsOfTenSeconds) {
  // A listener whose queue is full drops further SYNs: connects to it hang.
  test::Listener blackhole(0);
  std::vector<platform::SocketHandle> fillers;
  for (int i = 0; i < 3; ++i) {
    auto s = platform::createSocket(platform::SocketType::Tcp);
    platform::setNonBlocking(s, true);
    platform::connectSocket(s, {platform::kLoopbackAddress, blackhole.port()});
    fillers.push_back(s);
  }
  useNode(blackhole.port());
  auto c = greeted();
  auto start = Clock::now();
  c->send(test::socks5ConnectIpv4(0x0100007f, 80));
  EXPECT_EQ(c->recv(10, 60000), kSocks5Failure);
  EXPECT_GE(Clock::now() - start, std::chrono::seconds(39));
  EXPECT_EQ(node_.ConnectedTimes.load(), 4);
  EXPECT_EQ(node_.FailureTimes.load(), 4);
  for (auto s : fillers) platform::closeSocket(s);
}

// An IPv6 relay address is taken (a node reached over IPv6 names one), but
// a relay on port 0 is none.
TEST_F(ServiceTest, UdpAssociateFailsOnARelayWithoutPort) {
  Bytes ipv6Reply = {5, 0, 0, 4};
  ipv6Reply.insert(ipv6Reply.end(), 18, 0);
  for (const Bytes& reply : {ipv6Reply, Bytes{5, 0, 0, 1, 0, 0, 0, 0, 0, 0}}) {
    test::FakeSocksNode fake(false, reply);
    useNode(fake.port());
    auto c = greeted();
    c->send(Bytes{5, 3, 0, 1, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(c->recv(10), kSocks5Failure) << "relay address type " << int(reply[3]);
    EXPECT_TRUE(c->closedWithin(1000));
    ASSERT_EQ(fake.requests().size(), 1u);
    // The node is reached over IPv4 here, so the request names 0.0.0.0:0.
    EXPECT_EQ(fake.requests()[0].request, (Bytes{5, 3, 0, 1, 0, 0, 0, 0, 0, 0}));
  }
}

TEST_F(ServiceTest, UpstreamCloseClosesTheClient) {
  auto fake = std::make_unique<test::FakeSocksNode>(false);
  useNode(fake->port());
  auto c = greeted();
  c->send(test::socks5ConnectIpv4(0x0100007f, 80));
  ASSERT_EQ(c->recv(10).at(1), 0);
  c->send("x");
  EXPECT_EQ(c->recv(1), (Bytes{'x'}));
  fake.reset();  // the node closes its side
  EXPECT_TRUE(c->closedWithin(2000));
}

TEST_F(ServiceTest, ARunningSessionKeepsItsNodeWhenAnotherBecomesCurrent) {
  test::FakeSocksNode first(false, {}, true), second(false, {}, true);
  useNode(first.port(), kNodeSocks5, "one", "pw1");
  auto running = greeted();
  running->send(test::socks5ConnectIpv4(0x0100007f, 80));
  ASSERT_EQ(running->recv(10).at(1), 0);
  // The next connect: another node, and the old record changed under it.
  NodeRef before = service().currentNode();
  useNode(second.port(), kNodeSocks5, "two", "pw2");
  EXPECT_EQ(before->server_port, first.port());
  const Bytes data = {'s', 't', 'i', 'l', 'l'};
  running->send(data);
  EXPECT_EQ(running->recv(data.size()), data) << "the running session still relays to the first node";
  auto next = greeted();
  next->send(test::socks5ConnectIpv4(0x0100007f, 80));
  ASSERT_EQ(next->recv(10).at(1), 0);
  ASSERT_EQ(first.requests().size(), 1u);
  ASSERT_EQ(second.requests().size(), 1u);
  EXPECT_EQ(first.requests()[0].login, (Bytes{1, 3, 'o', 'n', 'e', 3, 'p', 'w', '1'}));
  EXPECT_EQ(second.requests()[0].login, (Bytes{1, 3, 't', 'w', 'o', 3, 'p', 'w', '2'}));
}

TEST_F(ServiceTest, UdpgwDestinationRunsTheUdpRelayInsteadOfAConnect) {
  test::FakeSocksNode fake(false);
  useNode(fake.port());
  {
    auto c = greeted();
    c->send(test::socks5ConnectIpv4(0x0100007f, 7300));
    Bytes reply = c->recv(10);
    ASSERT_EQ(reply.size(), 10u);
    EXPECT_EQ(reply[1], 0);
    EXPECT_EQ((Bytes{reply[4], reply[5], reply[6], reply[7]}), (Bytes{127, 0, 0, 1}));
    EXPECT_EQ(((reply[8] << 8) | reply[9]), port_);
    // A keepalive opens no flow; the stream stays open for more.
    c->send(Bytes{3, 0, 1, 0, 0});
    EXPECT_FALSE(c->closedWithin(500));
    EXPECT_EQ(service().liveConnectionCount(), 1);
  }
  EXPECT_TRUE(service().waitForSessions(3000));
  EXPECT_EQ(service().liveConnectionCount(), 0);
  EXPECT_EQ(fake.connections(), 0);
}

TEST_F(ServiceTest, BindRelaysTheIncomingPeerPlainlyForEveryNodeKind) {
  // The peer connects to this host, not to the node: whatever the node
  // speaks, its bytes pass unchanged, and the address named is one the
  // client can reach.
  for (int type : {kNodeSocks5, kNodeShadowsocks}) {
    SCOPED_TRACE(type);
    node_.type = type;
    useShadowsocksPipeline("aes-256-gcm");
    auto c = greeted();
    c->send(Bytes{5, 2, 0, 1, 127, 0, 0, 1, 0, 21});
    Bytes first = c->recv(10);
    ASSERT_EQ(first.size(), 10u);
    ASSERT_EQ(first[1], 0);
    EXPECT_EQ((Bytes{first[4], first[5], first[6], first[7]}), (Bytes{127, 0, 0, 1}));
    uint16_t bindPort = static_cast<uint16_t>(first[8] << 8 | first[9]);
    Conn peer(bindPort);
    ASSERT_TRUE(peer.connected());
    Bytes second = c->recv(10);
    ASSERT_EQ(second.size(), 10u);
    EXPECT_EQ(second[1], 0);
    EXPECT_EQ((Bytes{second[4], second[5], second[6], second[7]}), (Bytes{127, 0, 0, 1}));
    peer.send("hello");
    EXPECT_EQ(c->recv(5), (Bytes{'h', 'e', 'l', 'l', 'o'}));
    c->send("back");
    EXPECT_EQ(peer.recv(4), (Bytes{'b', 'a', 'c', 'k'}));
  }
}

// A cipher whose every call fails, in place of a working one.
class BrokenCryptor : public CCryptor {
 public:
  BrokenCryptor() : CCryptor("broken", "pw", 16, 16) {}
  bool Encrypt(const uint8_t*, int, uint8_t*&, int&, bool) override { return false; }
  bool Decrypt(const uint8_t*, int, uint8_t*&, int&, bool&, bool) override { return false; }
};

class BrokenCipherSession : public CSSRCLient {
 public:
  BrokenCipherSession(NodeRef sessionNode, SocketHandle client, SocketHandle upstream)
      : CSSRCLient(std::move(sessionNode), client, "", "") {
    upstreamSocket = upstream;
  }
  void breakCipher() { cryptor = std::make_unique<BrokenCryptor>(); }
};

TEST_F(ServiceTest, BytesThatCannotBeEncryptedEndTheConnection) {
  node_.type = kNodeShadowsocks;
  useShadowsocksPipeline("aes-256-cfb");
  test::Listener listener;
  Conn client(listener.port()), clientEnd(listener.accept(2000));
  Conn nodeEnd(listener.port()), upstream(listener.accept(2000));
  auto* session = new BrokenCipherSession(node_.snapshot(), clientEnd.handle(), upstream.handle());
  ASSERT_TRUE(session->createPipeline());
  session->breakCipher();
  const uint8_t data[4] = {1, 2, 3, 4};
  // Not "nothing sent": a gap in the node's stream.
  EXPECT_EQ(session->sendUpstream(upstream.handle(), data, 4, 1), -1);
  std::atomic<bool> ended{false};
  std::thread relay([&] {
    session->relayTcp();
    ended = true;
  });
  client.send("data");
  auto deadline = Clock::now() + std::chrono::seconds(2);
  while (!ended && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(ended) << "the relay went on past bytes it could not encrypt";
  if (!ended) service().disableRelay();
  relay.join();
  service().enableRelay();
  // The session closes both of its sockets; the Conns must not close them again.
  (void)clientEnd.release();
  (void)upstream.release();
  delete session;
  EXPECT_TRUE(client.closedWithin(1000));
  EXPECT_TRUE(nodeEnd.closedWithin(1000));
}

TEST_F(ServiceTest, DisableRelayEndsEveryRelayAndTheCountFalls) {
  test::FakeSocksNode fake(false);
  useNode(fake.port());
  std::vector<std::unique_ptr<Conn>> clients;
  for (int i = 0; i < 20; ++i) {
    clients.push_back(greeted());
    clients.back()->send(test::socks5ConnectIpv4(0x0100007f, 80));
    ASSERT_EQ(clients.back()->recv(10).at(1), 0);
  }
  EXPECT_EQ(service().liveConnectionCount(), 20);
  auto start = Clock::now();
  std::thread off([] { service().disableRelay(); });
  for (auto& c : clients) EXPECT_TRUE(c->closedWithin(1000));
  EXPECT_LE(Clock::now() - start, std::chrono::milliseconds(450));
  off.join();
  EXPECT_TRUE(service().waitForSessions(2000));
  EXPECT_EQ(service().liveConnectionCount(), 0);
  service().enableRelay();
}

TEST_F(ServiceTest, ConnectionBeyondTheCapIsClosedAtOnce) {
  std::vector<std::unique_ptr<Conn>> silent;
  for (std::size_t i = 0; i < kMaxSessionsRunning; ++i) silent.push_back(std::make_unique<Conn>(port_));
  auto deadline = Clock::now() + std::chrono::seconds(4);
  while (service().sessionCount() < kMaxSessionsRunning && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(service().sessionCount(), kMaxSessionsRunning);
  Conn extra(port_);
  EXPECT_TRUE(extra.closedWithin(1000));
}

TEST_F(ServiceTest, NodeKindsWithoutASessionCloseAtOnce) {
  node_.type = kNodeHttp;
  ASSERT_TRUE(service().setCurrentNode(&node_));
  Conn c(port_);
  EXPECT_TRUE(c.closedWithin(1000));
  EXPECT_TRUE(service().waitForSessions(1000));
}

// The threads of this process, by id.
std::set<std::string> processThreads() {
  std::set<std::string> ids;
#ifdef _WIN32
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.insert(std::to_string(entry.th32ThreadID));
  CloseHandle(snapshot);
#else
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    ids.insert(entry.path().filename().string());
#endif
  return ids;
}

TEST_F(ServiceTest, SessionThreadsAreReusedAndLeaveWhenTheServiceStops) {
  auto refusedSession = [this] {
    Conn c(port_);
    c.send(Bytes{5, 1, 2});
    EXPECT_EQ(c.recv(2), (Bytes{5, 0xFF}));
    EXPECT_TRUE(c.closedWithin(1000));
    EXPECT_TRUE(service().waitForSessions(1000));
  };
  refusedSession();
  const std::set<std::string> afterFirst = processThreads();
  for (int i = 0; i < 20; ++i) refusedSession();
  EXPECT_EQ(processThreads(), afterFirst) << "a session thread was made instead of reused";

  service().stopService();
  // The accept thread and the idle session thread go.
  auto deadline = Clock::now() + std::chrono::seconds(2);
  while (processThreads().size() + 2 > afterFirst.size() && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_LE(processThreads().size() + 2, afterFirst.size());
}

class CredentialTest : public ServiceTest {
 protected:
  void SetUp() override { startWith("user", "pass"); }
};

TEST_F(CredentialTest, LocalLoginIsDemanded) {
  {
    Conn c(port_);
    c.send(Bytes{5, 1, 0});
    EXPECT_EQ(c.recv(2), (Bytes{5, 0xFF}));
  }
  {
    Conn c(port_);
    c.send(Bytes{5, 2, 0, 2});
    EXPECT_EQ(c.recv(2), (Bytes{5, 2}));
    c.send(Bytes{1, 4, 'u', 's', 'e', 'r', 4, 'p', 'a', 's', 'S'});
    EXPECT_EQ(c.recv(2), (Bytes{1, 1}));
    EXPECT_TRUE(c.closedWithin(1000));
  }
  {
    Conn c(port_);  // a zero-length user name is malformed: closed without a reply
    c.send(Bytes{5, 1, 2, 1, 0});
    EXPECT_EQ(c.recv(2), (Bytes{5, 2}));
    EXPECT_TRUE(c.closedWithin(1000));
  }
  {
    Conn c(port_);
    c.send(Bytes{5, 1, 2});
    EXPECT_EQ(c.recv(2), (Bytes{5, 2}));
    c.send(Bytes{1, 4, 'u', 's', 'e', 'r', 4, 'p', 'a', 's', 's'});
    EXPECT_EQ(c.recv(2), (Bytes{1, 0}));
    c.send(test::socks5ConnectIpv4(0x0100007f, 80));
    EXPECT_EQ(c.recv(10), kSocks5Failure);  // the node is a closed port
  }
}

TEST_F(CredentialTest, Socks4IsRefusedWhenALoginIsDemanded) {
  test::FakeSocksNode fake(false);
  useNode(fake.port());
  Bytes socks4a = {4, 1, 0, 80, 0, 0, 0, 1, 0};
  for (char ch : std::string("name.example")) socks4a.push_back(static_cast<uint8_t>(ch));
  socks4a.push_back(0);
  for (const Bytes& request : {Bytes{4, 1, 0, 80, 127, 0, 0, 1, 'u', 0}, socks4a}) {
    Conn c(port_);
    c.send(request);
    EXPECT_EQ(c.recv(8), kSocks4Rejected);
    EXPECT_TRUE(c.closedWithin(1000));
  }
  EXPECT_EQ(fake.connections(), 0);
}

TEST(ServiceWithoutNode, ConnectionsAreClosedAndLeaveNoSession) {
  CSSManager& service = CSSManager::instance();
  ASSERT_EQ(service.currentNode(), nullptr);
  ASSERT_TRUE(service.startService(nullptr, nullptr, 0));
  {
    Conn c(service.servicePort());
    EXPECT_TRUE(c.closedWithin(1000));
  }
  EXPECT_TRUE(service.waitForSessions(1000));
  service.stopService();
  EXPECT_FALSE(service.isServiceRunning());
}

TEST(ServiceStart, TakenPortMovesOnOrFails) {
  test::Listener taken;
  CSSManager& service = CSSManager::instance();
  ASSERT_TRUE(service.startService(nullptr, nullptr, taken.port()));
  EXPECT_GT(service.servicePort(), taken.port());
  EXPECT_LE(service.servicePort(), taken.port() + 99);
  service.stopService();
  service.autoNextPort = 0;
  EXPECT_FALSE(service.startService(nullptr, nullptr, taken.port()));
  EXPECT_EQ(service.lastError(), CSSManager::kBindFailed);
  EXPECT_FALSE(service.isServiceRunning());
  service.autoNextPort = 1;
}

}  // namespace
}  // namespace vantor
