// The Windows host queries against the system they run on (under Wine in
// CI): interfaces, addresses and routes read through IP Helper agree with
// each other, and the latency probes answer on loopback. Nothing here
// changes the host.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/dns_config.h"
#include "platform/host.h"
#include "platform/icmp.h"
#include "platform/net.h"
#include "platform/routes.h"

namespace vantor::platform {
namespace {

TEST(WindowsHost, InterfacesAddressesAndRoutesAgree) {
  EXPECT_FALSE(hostName().empty());
  auto interfaces = listInterfaces();
  ASSERT_FALSE(interfaces.empty());
  for (const auto& [index, name] : interfaces) {
    EXPECT_EQ(interfaceName(index), name) << index;
    EXPECT_EQ(interfaceIndex(name), index) << name;
  }
  EXPECT_EQ(interfaceIndex("no such interface here"), 0);
  EXPECT_EQ(interfaceName(0), "");

  std::vector<HostAddress> addresses;
  ASSERT_TRUE(hostAddresses(addresses));
  for (const HostAddress& a : addresses) {
    std::vector<InterfaceAddress> own;
    ASSERT_TRUE(interfaceAddresses(a.ifIndex, own));
    EXPECT_TRUE(std::any_of(own.begin(), own.end(), [&](const InterfaceAddress& o) { return o.address == a.address; }))
        << formatIpv4(a.address);
  }
  // hostIpv4Addresses leaves loopback out.
  for (const std::string& text : hostIpv4Addresses()) EXPECT_NE(text.rfind("127.", 0), 0u) << text;

  std::vector<RouteRow> routes;
  ASSERT_TRUE(listRoutes(routes));
  for (const RouteRow& r : routes) EXPECT_GE(maskPrefixLength(r.mask), 0) << describeRoute(r);

  // The DNS servers of every interface with an address can be read; an
  // interface that does not exist is an error, not an empty list.
  std::vector<uint32_t> servers;
  std::string error;
  for (const HostAddress& a : addresses) EXPECT_TRUE(resolvedLinkDns(a.ifIndex, servers, error)) << error;
  EXPECT_FALSE(resolvedLinkDns(999999, servers, error));
}

TEST(WindowsHost, LoopbackAnswersTheLatencyProbes) {
  SocketHandle server = createSocket(SocketType::Tcp);
  ASSERT_NE(server, kInvalidSocket);
  Ipv4Endpoint at{kLoopbackAddress, 0};
  ASSERT_TRUE(bindSocket(server, at) && listenSocket(server, 4) && localEndpoint(server, at));
  EchoResult result;
  ASSERT_TRUE(tcpConnectTime("127.0.0.1", at.port, 3000, result));
  EXPECT_EQ(result.method, LatencyMethod::TcpConnect);
  EXPECT_EQ(result.from, "127.0.0.1");
  closeSocket(server);
  // A refusal is an answer too; no port, or no address, is not.
  EXPECT_TRUE(tcpConnectTime("127.0.0.1", at.port, 3000, result));
  EXPECT_FALSE(tcpConnectTime("127.0.0.1", 0, 1000, result));
  EXPECT_FALSE(tcpConnectTime("not an address", 80, 1000, result));
  EXPECT_FALSE(icmpEcho("not an address", "x", 64, 1000, result));
  // The echo through the ICMP helper, with the node tester's payload.
  ASSERT_TRUE(icmpDatagramAllowed());
  ASSERT_TRUE(icmpEcho("127.0.0.1", std::string(32, 'E'), 64, 3000, result));
  EXPECT_EQ(result.method, LatencyMethod::IcmpEcho);
  EXPECT_EQ(result.from, "127.0.0.1");
}

}  // namespace
}  // namespace vantor::platform
