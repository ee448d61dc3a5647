// The pure halves of the Windows route and DNS code: what reaches IP Helper
// and netsh. They build and run on every system.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/net.h"
#include "platform/windows/command_line.h"
#include "platform/windows/dns_args.h"
#include "platform/windows/route_rows.h"

namespace vantor::platform::windows {
namespace {

uint32_t ip(const char* text) {
  uint32_t a = 0;
  EXPECT_TRUE(parseIpv4(text, a)) << text;
  return a;
}

TEST(WindowsRouteRows, PlanRowsBecomeForwardRowsAndBack) {
  // A gateway route of the plan: 10.8.0.0/16 via 192.168.1.1 on interface 7.
  RouteRow gw;
  gw.destination = ip("10.8.0.0");
  gw.mask = prefixMask(16);
  gw.nextHop = ip("192.168.1.1");
  gw.ifIndex = 7;
  gw.metric = 5;
  ForwardRowFields f;
  ASSERT_EQ(forwardRowFromRoute(gw, f), 0u);
  EXPECT_EQ(f.family, kFamilyIpv4);
  EXPECT_EQ(f.prefixLength, 16);
  EXPECT_EQ(std::memcmp(f.destination, "\x0A\x08\x00\x00", 4), 0);
  EXPECT_EQ(std::memcmp(f.nextHop, "\xC0\xA8\x01\x01", 4), 0);
  EXPECT_EQ(f.ifIndex, 7u);
  EXPECT_EQ(f.metric, 5u);
  EXPECT_EQ(f.protocol, kVantorRouteProtocol);
  RouteRow back;
  ASSERT_TRUE(routeFromForwardRow(f, back));
  EXPECT_EQ(back.destination, gw.destination);
  EXPECT_EQ(back.mask, gw.mask);
  EXPECT_EQ(back.nextHop, gw.nextHop);
  EXPECT_FALSE(back.direct);
  EXPECT_EQ(back.ifIndex, 7);
  EXPECT_EQ(back.protocol, kVantorRouteProtocol);

  // An on-link route (the tunnel's /1 halves): the next hop is 0.0.0.0 even
  // when the row carries a stale one.
  RouteRow link;
  link.destination = ip("128.0.0.0");
  link.mask = prefixMask(1);
  link.nextHop = ip("10.0.0.1");
  link.direct = true;
  link.ifIndex = 12;
  ASSERT_EQ(forwardRowFromRoute(link, f), 0u);
  EXPECT_EQ(f.prefixLength, 1);
  EXPECT_EQ(std::memcmp(f.nextHop, "\0\0\0\0", 4), 0);
  ASSERT_TRUE(routeFromForwardRow(f, back));
  EXPECT_TRUE(back.direct);

  // A host route, and the default route.
  RouteRow host = gw;
  host.destination = ip("203.0.113.9");
  host.mask = prefixMask(32);
  ASSERT_EQ(forwardRowFromRoute(host, f), 0u);
  EXPECT_EQ(f.prefixLength, 32);
  RouteRow any = gw;
  any.destination = 0;
  any.mask = 0;
  ASSERT_EQ(forwardRowFromRoute(any, f), 0u);
  EXPECT_EQ(f.prefixLength, 0);

  // IPv4 parsing refuses the other family.
  f.family = kFamilyIpv6;
  EXPECT_FALSE(routeFromForwardRow(f, back));
}

TEST(WindowsRouteRows, MalformedRowsAreRefusedNotWidened) {
  ForwardRowFields f;
  RouteRow r;
  r.ifIndex = 3;
  r.direct = true;
  r.destination = ip("10.1.2.3");
  r.mask = prefixMask(8);  // host bits set: must not become 10.0.0.0/8
  EXPECT_EQ(forwardRowFromRoute(r, f), kErrorInvalidParameter);
  r.destination = ip("10.0.0.0");
  r.mask = ip("255.0.255.0");  // not contiguous
  EXPECT_EQ(forwardRowFromRoute(r, f), kErrorInvalidParameter);
  r.mask = prefixMask(8);
  r.ifIndex = 0;  // on-link, but on which link?
  EXPECT_EQ(forwardRowFromRoute(r, f), kErrorInvalidParameter);
  r.direct = false;
  r.nextHop = ip("192.168.1.1");  // a gateway alone is enough: its interface is looked up
  EXPECT_EQ(forwardRowFromRoute(r, f), 0u);
  EXPECT_EQ(f.ifIndex, 0u);
}

TEST(WindowsRouteRows, Ipv6RowsKeepPrefixGatewayAndInterface) {
  Ipv6RouteRow r;
  ASSERT_TRUE(parseIpv6("2001:db8::", r.destination));
  r.prefixLength = 32;
  ASSERT_TRUE(parseIpv6("fe80::1", r.gateway));
  r.hasGateway = true;
  r.ifIndex = 9;
  r.metric = 10;
  ForwardRowFields f;
  ASSERT_EQ(forwardRowFromRoute(r, f), 0u);
  EXPECT_EQ(f.family, kFamilyIpv6);
  EXPECT_EQ(f.prefixLength, 32);
  EXPECT_EQ(f.nextHop[0], 0xFE);
  Ipv6RouteRow back;
  ASSERT_TRUE(ipv6RouteFromForwardRow(f, back));
  EXPECT_EQ(std::memcmp(back.destination, r.destination, 16), 0);
  EXPECT_EQ(std::memcmp(back.gateway, r.gateway, 16), 0);
  EXPECT_TRUE(back.hasGateway);
  EXPECT_EQ(back.ifIndex, 9);
  EXPECT_EQ(back.metric, 10u);

  r.hasGateway = false;  // on the tunnel's link
  ASSERT_EQ(forwardRowFromRoute(r, f), 0u);
  ASSERT_TRUE(ipv6RouteFromForwardRow(f, back));
  EXPECT_FALSE(back.hasGateway);

  r.prefixLength = 16;  // 2001:db8:: has bits beyond /16
  EXPECT_EQ(forwardRowFromRoute(r, f), kErrorInvalidParameter);
  r.prefixLength = 129;
  EXPECT_EQ(forwardRowFromRoute(r, f), kErrorInvalidParameter);
}

TEST(WindowsDnsArgs, NetshCommandsAreArgumentVectors) {
  std::vector<uint32_t> servers{ip("1.1.1.1"), ip("8.8.8.8"), ip("9.9.9.9")};
  auto commands = netshDnsCommands(14, servers, false);
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(commands[0],
            (std::vector<std::string>{"netsh", "interface", "ipv4", "set", "dnsservers", "name=14", "source=static",
                                      "address=1.1.1.1", "register=none", "validate=no"}));
  EXPECT_EQ(commands[1], (std::vector<std::string>{"netsh", "interface", "ipv4", "add", "dnsservers", "name=14",
                                                   "address=8.8.8.8", "index=2", "validate=no"}));
  EXPECT_EQ(commands[2][6], "address=9.9.9.9");
  EXPECT_EQ(commands[2][7], "index=3");

  EXPECT_EQ(netshDnsCommands(14, servers, true),
            (std::vector<std::vector<std::string>>{
                {"netsh", "interface", "ipv4", "set", "dnsservers", "name=14", "source=dhcp"}}));
  auto none = netshDnsCommands(3, {}, false);
  ASSERT_EQ(none.size(), 1u);
  EXPECT_EQ(none[0][7], "address=none");
}

TEST(WindowsDnsArgs, ServerListsAndTheWayBackToDhcp) {
  std::vector<uint32_t> servers{ip("1.1.1.1"), ip("8.8.8.8")};
  EXPECT_EQ(dnsNameServerValue(servers), "1.1.1.1,8.8.8.8");
  EXPECT_EQ(dnsNameServerValue({}), "");
  // The registry separates with blanks (DhcpNameServer) or commas (NameServer).
  EXPECT_EQ(parseDnsServerList("1.1.1.1 8.8.8.8"), servers);
  EXPECT_EQ(parseDnsServerList("1.1.1.1,8.8.8.8,"), servers);
  EXPECT_EQ(parseDnsServerList(" 1.1.1.1;;fe80::1 8.8.8.8 junk"), servers);
  EXPECT_TRUE(parseDnsServerList("").empty());

  EXPECT_TRUE(dnsRestoresToDhcp({}, servers));
  EXPECT_TRUE(dnsRestoresToDhcp(servers, servers));
  // A static list that differs from DHCP's (even only in order) stays static.
  EXPECT_FALSE(dnsRestoresToDhcp({servers[1], servers[0]}, servers));
  EXPECT_FALSE(dnsRestoresToDhcp(servers, {}));
}

// The Run entry's command line must split back into the same arguments.
TEST(WindowsCommandLine, QuotesOnlyWhatMustBeQuoted) {
  EXPECT_EQ(quoteArgument("--tray"), "--tray");
  EXPECT_EQ(quoteArgument(""), "\"\"");
  EXPECT_EQ(quoteArgument("C:\\Program Files\\Vantor\\vantor.exe"), "\"C:\\Program Files\\Vantor\\vantor.exe\"");
  // Backslashes before a quote are doubled and the quote escaped; a trailing
  // run before the closing quote is doubled; others stay single.
  EXPECT_EQ(quoteArgument("a \"b\""), "\"a \\\"b\\\"\"");
  EXPECT_EQ(quoteArgument("dir\\ x\\"), "\"dir\\ x\\\\\"");
  EXPECT_EQ(quoteArgument("x\\\"y"), "\"x\\\\\\\"y\"");
  EXPECT_EQ(commandLine({"connect", "--node", "my node"}), "connect --node \"my node\"");
}

}  // namespace
}  // namespace vantor::platform::windows
