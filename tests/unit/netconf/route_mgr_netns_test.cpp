// The route manager, the route plan and the start-up clean-up against the
// real kernel: every test moves this (single-threaded) test process into a
// fresh network namespace with two veth interfaces, the "physical" one with
// a default gateway and the "tunnel" one with 10.198.75.60/24.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "helper/session.h"
#include "netconf/host_setup.h"
#include "netconf/route_mgr.h"
#include "netconf/route_plan.h"
#include "platform/files.h"
#include "platform/routes.h"

namespace vantor {
namespace {

std::string run(const std::string& command) {
  std::string out;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  ::pclose(p);
  return out;
}

int countLines(const std::string& text) {
  int n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

// Our routes as iproute2 shows them (protocol 76).
std::string ourRoutes() { return run("ip -4 route show proto 76"); }

class NetnsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (network namespaces)";
    ASSERT_EQ(::unshare(CLONE_NEWNET), 0);
    char dir[] = "/tmp/vantor-netns-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    runtime_ = dir;
    ::setenv("VANTOR_RUNTIME_DIR", runtime_.c_str(), 1);
    std::string setup =
        "ip link set lo up && ip link add phys0 type veth peer name phys1 && "
        "ip link add tun0 type veth peer name tun1 && ip link set phys1 up && ip link set tun1 up && "
        "ip addr add 192.0.2.10/24 dev phys0 && ip link set phys0 up && "
        "ip addr add 10.198.75.60/24 dev tun0 && ip link set tun0 up";
    ASSERT_EQ(std::system(setup.c_str()), 0);
    phys_ = platform::interfaceIndex("phys0");
    tun_ = platform::interfaceIndex("tun0");
  }
  void TearDown() override {
    if (!runtime_.empty()) std::system(("rm -rf " + runtime_).c_str());
  }
  void setPaths(CRouterMgr& mgr) { ASSERT_TRUE(mgr.setPaths("192.0.2.1", phys_, false, "10.198.75.61", tun_, false)); }
  std::string runtime_;
  int phys_ = 0, tun_ = 0;
};

TEST_F(NetnsTest, AddTrackDeleteAndRemoveAllAgainstTheKernelTable) {
  CKovalRouteMgr mgr;
  EXPECT_FALSE(mgr.addTunnelRoute("10.1.0.0", "255.255.0.0"));  // no paths yet
  setPaths(mgr);
  EXPECT_TRUE(mgr.addTunnelRoute("10.1.0.0", "255.255.0.0"));
  EXPECT_TRUE(mgr.addDirectRoute("203.0.113.7", "255.255.255.255"));
  std::string table = ourRoutes();
  EXPECT_NE(table.find("10.1.0.0/16 via 10.198.75.61 dev tun0 metric 1"), std::string::npos) << table;
  EXPECT_NE(table.find("203.0.113.7 via 192.0.2.1 dev phys0 metric 1"), std::string::npos) << table;

  // Loopback: refused, nothing added.
  EXPECT_FALSE(mgr.addDirectRoute("127.0.0.1", "255.255.255.255"));
  EXPECT_FALSE(mgr.isTracked("127.0.0.1", "255.255.255.255"));
  // A duplicate is tracked once and exists once.
  EXPECT_TRUE(mgr.addTunnelRoute("10.1.0.0", "255.255.0.0"));
  EXPECT_EQ(mgr.trackedCount(), 2u);
  EXPECT_EQ(countLines(ourRoutes()), 2) << ourRoutes();

  EXPECT_TRUE(mgr.deleteRoute("203.0.113.7", "255.255.255.255"));
  EXPECT_FALSE(mgr.isTracked("203.0.113.7", "255.255.255.255"));
  EXPECT_EQ(ourRoutes().find("203.0.113.7"), std::string::npos);

  // Remove all leaves foreign routes alone.
  ASSERT_EQ(std::system("ip route add 198.51.100.0/24 via 192.0.2.1"), 0);
  mgr.removeAllRoutes();
  EXPECT_EQ(mgr.trackedCount(), 0u);
  EXPECT_EQ(ourRoutes(), "");
  EXPECT_NE(run("ip route show").find("198.51.100.0/24 via 192.0.2.1"), std::string::npos);
  // Adding works again without new paths.
  EXPECT_TRUE(mgr.addTunnelRoute("10.2.0.0", "255.255.0.0"));
  EXPECT_EQ(countLines(ourRoutes()), 1);
}

TEST_F(NetnsTest, InterfaceMetricIsAddedAndBulkAddsAreTracked) {
  setInterfaceMetric(tun_, 1000);
  CKovalRouteMgr mgr;
  setPaths(mgr);
  std::vector<CRouterMgr::Request> many;
  for (uint32_t i = 0; i < 3000; ++i) {
    uint32_t host = 0x0b000000u | (i << 8);  // 11.x.y.0/24
    uint32_t net = __builtin_bswap32(host);
    many.push_back({net, platform::prefixMask(24), i % 2 == 0});
  }
  many.push_back({__builtin_bswap32(0x7f000000u), platform::prefixMask(8), true});  // loopback: refused
  EXPECT_EQ(mgr.addRoutes(many), 3000u);
  EXPECT_EQ(mgr.trackedCount(), 3000u);
  EXPECT_EQ(countLines(ourRoutes()), 3000);
  EXPECT_NE(ourRoutes().find("11.0.0.0/24 via 10.198.75.61 dev tun0 metric 1001"), std::string::npos);
  EXPECT_NE(ourRoutes().find("11.0.1.0/24 via 192.0.2.1 dev phys0 metric 1"), std::string::npos);
  mgr.removeAllRoutes();
  EXPECT_EQ(ourRoutes(), "");
  setInterfaceMetric(tun_, 0);
}

TEST_F(NetnsTest, ConcurrentAddsFromSeveralThreadsAreEachTrackedOnce) {
  // The controller and the UDP relay's threads add routes at the same time.
  CKovalRouteMgr mgr;
  setPaths(mgr);
  CRouterMgr::setInstance(&mgr);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t, &mgr] {
      for (int i = 0; i < 100; ++i) {
        // Every thread adds the same 100 hosts plus 100 of its own.
        std::string shared = "203.0.113." + std::to_string(i + 1);
        std::string own = "198.18." + std::to_string(t) + "." + std::to_string(i + 1);
        CRouterMgr::addDirectHostRoute(shared);
        mgr.addTunnelRoute(own, "255.255.255.255");
        mgr.isTracked(shared, "255.255.255.255");
      }
    });
  for (auto& th : threads) th.join();
  CRouterMgr::setInstance(nullptr);
  EXPECT_EQ(mgr.trackedCount(), 500u);
  EXPECT_EQ(countLines(ourRoutes()), 500);
  mgr.removeAllRoutes();
  EXPECT_EQ(ourRoutes(), "");
}

TEST_F(NetnsTest, DefaultRouteDetectionTakesTheSmallestMetric) {
  DefaultRoute none = detectDefaultRoute();
  EXPECT_EQ(none.nextHop, "");
  EXPECT_EQ(none.ifIndex, -1);
  ASSERT_EQ(std::system("ip addr add 198.18.0.2/24 dev tun0 && "
                        "ip route add default via 192.0.2.1 dev phys0 metric 25 && "
                        "ip route add default via 198.18.0.1 dev tun0 metric 10"),
            0);
  DefaultRoute best = detectDefaultRoute();
  EXPECT_EQ(best.nextHop, "198.18.0.1");
  EXPECT_EQ(best.ifIndex, tun_);
  EXPECT_FALSE(best.direct);
  // Our own half-default routes never count as the way out.
  CKovalRouteMgr mgr;
  setPaths(mgr);
  mgr.addTunnelRoute("0.0.0.0", "128.0.0.0");
  EXPECT_EQ(detectDefaultRoute().nextHop, "198.18.0.1");
}

TEST_F(NetnsTest, StartupCleanupRemovesWhatAKilledProcessLeft) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The "earlier run": routes, an IPv6 block and a recorded TUN address,
    // made while it holds the namespace.
    helper::HostHold hold;
    std::string holdError;
    if (!hold.take(0, holdError)) ::_exit(1);
    CKovalRouteMgr mgr;
    HostChangeRecord record;
    HostSetup host(record);
    std::string error;
    bool ok = mgr.setPaths("192.0.2.1", phys_, false, "10.198.75.61", tun_, false) && host.noteRoutes(error) &&
              mgr.addTunnelRoute("0.0.0.0", "128.0.0.0") && mgr.addTunnelRoute("128.0.0.0", "128.0.0.0") &&
              mgr.addDirectRoute("203.0.113.9", "255.255.255.255");
    host.blockIpv6(error);
    char c = ok ? '1' : '0';
    (void)!::write(ready[1], &c, 1);
    ::pause();
    ::_exit(0);
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, '1');
  // While the earlier run lives, its changes are in use: nothing is undone.
  std::vector<std::string> early;
  std::string error;
  EXPECT_FALSE(helper::undoStaleSession(0, early, error));
  EXPECT_NE(error.find("in use by another Vantor connection (uid 0)"), std::string::npos) << error;
  EXPECT_EQ(countLines(ourRoutes()), 3) << ourRoutes();
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ASSERT_EQ(std::system("ip route add 198.51.100.0/24 via 192.0.2.1 proto static"), 0);
  EXPECT_EQ(countLines(ourRoutes()), 3) << ourRoutes();

  std::vector<std::string> report;
  EXPECT_TRUE(helper::undoStaleSession(0, report, error)) << error;
  EXPECT_EQ(ourRoutes(), "");
  EXPECT_EQ(run("ip -6 route show proto 76"), "");
  EXPECT_NE(run("ip route show").find("198.51.100.0/24"), std::string::npos);
  EXPECT_FALSE(platform::fileExists(HostChangeRecord::pathForThisNamespace()));

  // Routes of ours with no record at all are found by their protocol number.
  ASSERT_EQ(std::system("ip route add 10.9.0.0/16 via 10.198.75.61 proto 76"), 0);
  report.clear();
  EXPECT_TRUE(helper::undoStaleSession(0, report, error)) << error;
  EXPECT_EQ(ourRoutes(), "");
}

TEST_F(NetnsTest, RoutePlanPerModeKind) {
  CKovalRouteMgr mgr;
  setPaths(mgr);
  RoutePlanInput input;
  input.serverAddress = "203.0.113.1";
  input.publicDns2 = "9.9.9.9";
  input.additionalRoutes = {{"8.8.8.8", 0}, {"8.8.4.4", 1}, {"1.1.1.1", 5}};
  input.isLocal = [](const std::string& a) { return isLocalAddress(a, "", {"192.0.2.10"}); };

  ProxyMode global;  // "Global wide"
  global.routeAll = true;
  installRoutes(mgr, global, input);
  EXPECT_EQ(input.publicDns1, kDefaultPublicDns1);
  std::string table = ourRoutes();
  EXPECT_NE(table.find("0.0.0.0/1 via 10.198.75.61"), std::string::npos) << table;
  EXPECT_NE(table.find("128.0.0.0/1 via 10.198.75.61"), std::string::npos) << table;
  EXPECT_NE(table.find("203.0.113.1 via 192.0.2.1 dev phys0"), std::string::npos) << table;
  // UDP on and DNS forced through the proxy: DNS servers into the tunnel.
  EXPECT_NE(table.find("208.67.222.222 via 10.198.75.61"), std::string::npos) << table;
  EXPECT_NE(table.find("9.9.9.9 via 10.198.75.61"), std::string::npos) << table;
  EXPECT_NE(table.find("8.8.8.8 via 192.0.2.1"), std::string::npos) << table;
  EXPECT_NE(table.find("8.8.4.4 via 10.198.75.61"), std::string::npos) << table;
  EXPECT_EQ(table.find("1.1.1.1"), std::string::npos) << table;
  EXPECT_EQ(mgr.trackedCount(), 7u);
  mgr.removeAllRoutes();

  // A rule mode with its networks direct, no route-all, UDP off: DNS direct;
  // a node on a local network gets no host route, its exit address does.
  ProxyMode rules;
  rules.kind = kModeRuleFile;
  rules.listedDirect = true;
  rules.networks = {parseNetworkLine("100.64.0.0/10"), parseNetworkLine("127.0.0.0/8"),
                    parseNetworkLine("198.18.0.0/15")};
  input.serverAddress = "192.0.2.77";
  input.exitAddress = "203.0.113.50";
  input.udpEnabled = false;
  input.additionalRoutes.clear();
  installRoutes(mgr, rules, input);
  table = ourRoutes();
  EXPECT_EQ(table.find("0.0.0.0/1"), std::string::npos) << table;
  EXPECT_EQ(table.find("192.0.2.77"), std::string::npos) << table;
  EXPECT_NE(table.find("203.0.113.50 via 192.0.2.1"), std::string::npos) << table;
  EXPECT_NE(table.find("100.64.0.0/10 via 192.0.2.1"), std::string::npos) << table;
  EXPECT_NE(table.find("198.18.0.0/15 via 192.0.2.1"), std::string::npos) << table;
  EXPECT_EQ(table.find("127.0.0.0"), std::string::npos) << table;
  EXPECT_NE(table.find("208.67.222.222 via 192.0.2.1"), std::string::npos) << table;
  mgr.removeAllRoutes();

  // The networks go into the tunnel when they are not listed direct.
  rules.listedDirect = false;
  input.udpEnabled = true;
  installRoutes(mgr, rules, input);
  EXPECT_NE(ourRoutes().find("100.64.0.0/10 via 10.198.75.61"), std::string::npos) << ourRoutes();
  mgr.removeAllRoutes();

  // A node reached over IPv6 has no IPv4 host route (its text is no IPv4
  // address, and must not turn into some other host route).
  input.serverAddress = "2001:db8::5";
  input.exitAddress.clear();
  installRoutes(mgr, global, input);
  table = ourRoutes();
  EXPECT_EQ(table.find("255.255.255.255"), std::string::npos) << table;
  EXPECT_NE(table.find("0.0.0.0/1 via 10.198.75.61"), std::string::npos) << table;
  EXPECT_EQ(mgr.trackedCount(), 4u) << table;  // the two halves and the two DNS servers
}

// The kernel publishes carrier changes with a delay of up to a second.
bool becomes(bool wanted, const std::function<bool()>& probe) {
  for (int i = 0; i < 60; ++i) {
    if (probe() == wanted) return true;
    ::usleep(50 * 1000);
  }
  return false;
}

TEST_F(NetnsTest, InterfaceDownFollowsTheCarrier) {
  auto down = [this] { return interfaceDown(phys_); };
  EXPECT_TRUE(becomes(false, down));
  ASSERT_EQ(std::system("ip link set phys1 down"), 0);  // the far end goes away
  EXPECT_TRUE(becomes(true, down));
  ASSERT_EQ(std::system("ip link set phys1 up"), 0);
  EXPECT_TRUE(becomes(false, down));
  EXPECT_FALSE(interfaceDown(9999));  // a failed query counts as up
}

TEST_F(NetnsTest, Ipv6BlockRoutesAreOursAndRemovable) {
  std::string error;
  ASSERT_TRUE(platform::addIpv6Unreachable("::/1", error)) << error;
  EXPECT_TRUE(platform::hasIpv6Unreachable("::/1"));
  EXPECT_FALSE(platform::hasIpv6Unreachable("8000::/1"));
  EXPECT_NE(run("ip -6 route show proto 76").find("unreachable ::/1"), std::string::npos);
  ASSERT_TRUE(platform::deleteIpv6Unreachable("::/1", error)) << error;
  EXPECT_EQ(run("ip -6 route show proto 76"), "");
  EXPECT_FALSE(platform::addIpv6Unreachable("not-a-prefix", error));
}

}  // namespace
}  // namespace vantor
