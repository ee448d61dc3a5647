// The background probe of a node whose server is an IPv6 address: it is
// measured and its address learned, as an IPv4 node's is.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "catalogue/node_probe.h"

namespace vantor {
namespace {

TEST(NodeProbe, AnIpv6OnlyNodeGetsItsLatencyAndAddress) {
  // A listener on ::1 answers the port fallback where ICMP echoes are not
  // allowed; where they are, ::1 answers the ICMPv6 echo itself.
  int listener = ::socket(AF_INET6, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);

  ProbeInput in;
  in.server = "::1";
  in.port = ntohs(address.sin6_port);
  in.countryIndex = 0;  // known: no country lookup
  ProbeOutput out = probeNode(in);
  EXPECT_GT(out.latency, 0);
  EXPECT_EQ(out.resolvedIp, "::1");
  EXPECT_EQ(resolveNodeAddress("::1"), "::1");
  EXPECT_EQ(resolveNodeAddress("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(resolveNodeAddress(""), "");
  ::close(listener);
}

}  // namespace
}  // namespace vantor
