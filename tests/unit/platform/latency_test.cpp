// A node's latency without privileges: the ICMP datagram socket where the
// system admits our group, else the TCP connection time to the node's port.
// Each test runs in a network namespace of its own, where it sets
// net.ipv4.ping_group_range to decide which way is open.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/icmp.h"

namespace vantor::platform {
namespace {

const std::string kPayload(32, 'E');

class Latency : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (network namespaces)";
    ASSERT_EQ(::unshare(CLONE_NEWNET), 0);
    ASSERT_EQ(std::system("ip link set lo up"), 0);
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener_, 8), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  void TearDown() override {
    if (listener_ >= 0) ::close(listener_);
  }
  static void pingGroups(const char* range) { std::ofstream("/proc/sys/net/ipv4/ping_group_range") << range << "\n"; }
  // How many connections reached the listener since the last call.
  int accepted() {
    int n = 0;
    for (int fd; (fd = ::accept(listener_, nullptr, nullptr)) >= 0; ++n) ::close(fd);
    return n;
  }

  int listener_ = -1;
  uint16_t port_ = 0;
};

TEST_F(Latency, WithoutEchoRightsTheNodesPortIsTimedInstead) {
  pingGroups("1 0");  // nobody may open an ICMP datagram socket (root neither)
  EXPECT_FALSE(icmpDatagramAllowed());
  EchoResult r;
  EXPECT_FALSE(icmpEcho("127.0.0.1", kPayload, 64, 1000, r)) << "never a raw socket instead";

  ASSERT_TRUE(measureLatency("127.0.0.1", port_, kPayload, 64, 2000, r));
  EXPECT_EQ(r.method, LatencyMethod::TcpConnect);
  EXPECT_EQ(r.from, "127.0.0.1");
  EXPECT_GE(r.roundTripMs, 0);
  EXPECT_LT(r.roundTripMs, 1000);
  EXPECT_EQ(accepted(), 1) << "the time is that of a real connection to the port";

  // A closed port answers with a reset: the host is there, the time is real.
  ::close(listener_);
  listener_ = -1;
  EchoResult refused;
  EXPECT_TRUE(measureLatency("127.0.0.1", port_, kPayload, 64, 2000, refused));
  EXPECT_EQ(refused.method, LatencyMethod::TcpConnect);

  // No answer at all is no latency: no route, no port to try.
  EchoResult none;
  EXPECT_FALSE(measureLatency("192.0.2.1", port_, kPayload, 64, 2000, none));
  EXPECT_FALSE(measureLatency("127.0.0.1", 0, kPayload, 64, 2000, none));
}

TEST_F(Latency, WhereEchoesAreAllowedTheyAreUsedAndThePortIsLeftAlone) {
  pingGroups("0 2147483647");
  EXPECT_TRUE(icmpDatagramAllowed());
  EchoResult r;
  ASSERT_TRUE(measureLatency("127.0.0.1", port_, kPayload, 64, 2000, r));
  EXPECT_EQ(r.method, LatencyMethod::IcmpEcho);
  EXPECT_EQ(r.from, "127.0.0.1");
  EXPECT_EQ(accepted(), 0);
}

// A node reached over IPv6: the echo is ICMPv6 (the same group rule admits
// it), and the fallback connects to the IPv6 address.
TEST_F(Latency, IpV6NodesAreMeasuredBothWays) {
  int listener6 = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK, 0);
  ASSERT_GE(listener6, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  ASSERT_EQ(::bind(listener6, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener6, 8), 0);
  socklen_t length = sizeof address;
  ::getsockname(listener6, reinterpret_cast<sockaddr*>(&address), &length);
  const uint16_t port6 = ntohs(address.sin6_port);

  pingGroups("0 2147483647");
  EchoResult echo;
  ASSERT_TRUE(measureLatency("::1", port6, kPayload, 64, 2000, echo));
  EXPECT_EQ(echo.method, LatencyMethod::IcmpEcho);
  EXPECT_EQ(echo.from, "::1");
  EchoResult unreachable;
  EXPECT_FALSE(icmpEcho("2001:db8::1", kPayload, 64, 500, unreachable)) << "no route: no answer";

  pingGroups("1 0");
  EchoResult timed;
  ASSERT_TRUE(measureLatency("::1", port6, kPayload, 64, 2000, timed));
  EXPECT_EQ(timed.method, LatencyMethod::TcpConnect);
  EXPECT_EQ(timed.from, "::1");
  int reached = 0;
  for (int fd; (fd = ::accept(listener6, nullptr, nullptr)) >= 0; ++reached) ::close(fd);
  EXPECT_EQ(reached, 1) << "the time is that of a real connection to the IPv6 port";
  ::close(listener6);
}

}  // namespace
}  // namespace vantor::platform
