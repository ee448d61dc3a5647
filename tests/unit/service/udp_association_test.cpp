// The SOCKS 5 UDP association of the udpgw relay against a scripted node on
// ::1: the request names the family of the control connection, and the
// relay of the reply is taken in either family.
#include "service/udp_association.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace vantor {
namespace {

using Bytes = std::vector<uint8_t>;

// A listener on [::1]:0 and the one connection it takes.
class Ipv6Node {
 public:
  Ipv6Node() {
    listener_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    socklen_t len = sizeof a;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener_, 4) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return;
    port_ = ntohs(a.sin6_port);
  }
  ~Ipv6Node() {
    if (conn_ >= 0) ::close(conn_);
    if (listener_ >= 0) ::close(listener_);
  }
  uint16_t port() const { return port_; }
  platform::IpEndpoint endpoint() const {
    platform::IpEndpoint e;
    platform::parseIpAddress("::1", e);
    e.port = port_;
    return e;
  }
  bool accept() {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 3000) != 1) return false;
    conn_ = ::accept(listener_, nullptr, nullptr);
    return conn_ >= 0;
  }
  Bytes recv(std::size_t n) {
    Bytes out(n);
    std::size_t got = 0;
    while (got < n) {
      pollfd p{conn_, POLLIN, 0};
      if (::poll(&p, 1, 3000) != 1) break;
      ssize_t r = ::recv(conn_, out.data() + got, n - got, 0);
      if (r <= 0) break;
      got += static_cast<std::size_t>(r);
    }
    out.resize(got);
    return out;
  }
  void send(const Bytes& data) { ASSERT_EQ(::send(conn_, data.data(), data.size(), 0), ssize_t(data.size())); }

 private:
  int listener_ = -1;
  int conn_ = -1;
  uint16_t port_ = 0;
};

// advance() until it is no longer pending (the node's bytes take a moment),
// or `ms` have passed.
CSocksUdpAssociation::Outcome settle(CSocksUdpAssociation& a, int ms = 3000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    auto outcome = a.advance();
    if (outcome != CSocksUdpAssociation::Outcome::Pending || std::chrono::steady_clock::now() > deadline)
      return outcome;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Up to the request: greeting, method "none", then UDP ASSOCIATE.
Bytes handshake(Ipv6Node& node, CSocksUdpAssociation& a) {
  EXPECT_TRUE(a.start(node.endpoint()));
  EXPECT_TRUE(node.accept());
  EXPECT_EQ(settle(a, 100), CSocksUdpAssociation::Outcome::Pending);
  EXPECT_EQ(node.recv(3), (Bytes{5, 1, 0}));
  node.send({5, 0});
  EXPECT_EQ(settle(a, 100), CSocksUdpAssociation::Outcome::Pending);
  return node.recv(22);
}

TEST(UdpAssociationIpv6, RequestsInTheControlFamilyAndTakesAnIpv6Relay) {
  Ipv6Node node;
  ASSERT_NE(node.port(), 0) << "no IPv6 loopback";
  CSocksUdpAssociation a("", "");
  Bytes request = handshake(node, a);
  Bytes expected(22, 0);
  expected[0] = 5;
  expected[1] = 3;
  expected[3] = 4;  // [::]:0
  EXPECT_EQ(request, expected);

  // A relay of its own, on an IPv6 address.
  Bytes reply = {5, 0, 0, 4, 0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0x12, 0x34};
  node.send(Bytes(reply.begin(), reply.begin() + 12));  // a reply in two pieces
  EXPECT_EQ(settle(a, 100), CSocksUdpAssociation::Outcome::Pending);
  node.send(Bytes(reply.begin() + 12, reply.end()));
  ASSERT_EQ(settle(a), CSocksUdpAssociation::Outcome::Ready);
  EXPECT_EQ(platform::formatIpEndpoint(a.relay()), "[fd00::9]:4660");
}

TEST(UdpAssociationIpv6, AnUnspecifiedRelayIsTheNodesOwnAddress) {
  Ipv6Node node;
  ASSERT_NE(node.port(), 0) << "no IPv6 loopback";
  CSocksUdpAssociation a("", "");
  handshake(node, a);
  Bytes reply(22, 0);
  reply[0] = 5;
  reply[3] = 4;
  reply[20] = 0x1f;
  reply[21] = 0x90;
  node.send(reply);
  ASSERT_EQ(settle(a), CSocksUdpAssociation::Outcome::Ready);
  EXPECT_TRUE(a.relay().ipv6);
  EXPECT_EQ(platform::formatIpEndpoint(a.relay()), "[::1]:8080");

  // 0.0.0.0 from a node reached over IPv6 means the same.
  Ipv6Node node2;
  CSocksUdpAssociation b("", "");
  handshake(node2, b);
  node2.send({5, 0, 0, 1, 0, 0, 0, 0, 0x1f, 0x91});
  ASSERT_EQ(settle(b), CSocksUdpAssociation::Outcome::Ready);
  EXPECT_EQ(platform::formatIpEndpoint(b.relay()), "[::1]:8081");

  // An IPv4 relay named by a node reached over IPv6 is taken as it is.
  Ipv6Node node3;
  CSocksUdpAssociation c("", "");
  handshake(node3, c);
  node3.send({5, 0, 0, 1, 127, 0, 0, 1, 0x1f, 0x92});
  ASSERT_EQ(settle(c), CSocksUdpAssociation::Outcome::Ready);
  EXPECT_EQ(platform::formatIpEndpoint(c.relay()), "127.0.0.1:8082");
}

}  // namespace
}  // namespace vantor
