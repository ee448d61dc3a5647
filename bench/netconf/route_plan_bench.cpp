// Time to install and to remove a proxy mode's route plan through the route
// manager, against `ip -batch` adding and deleting the same routes, in one
// run inside a network namespace of its own (root):
//
//   route_plan_bench [MODE] [ROUNDS]     (default "Skip China and LAN", 5)
//
// Prints one line: routes=N ours_install_ms ours_remove_ms ip_install_ms
// ip_remove_ms (best of ROUNDS each, alternating).
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "catalogue/app_paths.h"
#include "netconf/proxy_modes.h"
#include "netconf/route_mgr.h"
#include "netconf/route_plan.h"
#include "platform/net.h"
#include "platform/routes.h"

using namespace vantor;

namespace {

double millisecondsOf(const std::function<void()>& work) {
  auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string modeName = argc > 1 ? argv[1] : "Skip China and LAN";
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  if (::geteuid() != 0 || ::unshare(CLONE_NEWNET) != 0) {
    std::fprintf(stderr, "route_plan_bench: needs root (a network namespace of its own)\n");
    return 1;
  }
  if (std::system("ip link set lo up && ip link add phys0 type veth peer name phys1 && "
                  "ip link add tun0 type veth peer name tun1 && ip link set phys1 up && ip link set tun1 up && "
                  "ip addr add 192.0.2.10/24 dev phys0 && ip link set phys0 up && "
                  "ip addr add 10.198.75.60/24 dev tun0 && ip link set tun0 up && "
                  "ip route add default via 192.0.2.1") != 0) {
    std::fprintf(stderr, "route_plan_bench: cannot set up the namespace\n");
    return 1;
  }
  CProxyModeMgr& modes = CProxyModeMgr::instance();
  modes.scanRules({paths::shippedRulesDir()}, false);
  int index = modes.find(modeName);
  if (index < 0) {
    std::fprintf(stderr, "route_plan_bench: no mode \"%s\" in %s\n", modeName.c_str(),
                 paths::shippedRulesDir().c_str());
    return 1;
  }
  ProxyMode& mode = modes.modes()[static_cast<std::size_t>(index)];
  modes.loadNetworks(mode);

  DefaultRoute way = detectDefaultRoute();
  CKovalRouteMgr mgr;
  if (!mgr.setPaths(way.nextHop, way.ifIndex, way.direct, "10.198.75.61", platform::interfaceIndex("tun0"), false)) {
    std::fprintf(stderr, "route_plan_bench: setPaths failed\n");
    return 1;
  }
  RoutePlanInput input;
  input.serverAddress = "203.0.113.1";
  input.publicDns2 = "208.67.220.220";

  // The same routes for ip -batch, written from what the plan installed.
  installRoutes(mgr, mode, input);
  std::vector<platform::RouteRow> rows;
  platform::listRoutes(rows);
  const std::string addFile = "/tmp/route_plan_bench.add", delFile = "/tmp/route_plan_bench.del";
  {
    std::ofstream add(addFile), del(delFile);
    for (const auto& r : rows) {
      if (r.protocol != platform::kVantorRouteProtocol) continue;
      std::string route = platform::formatIpv4(r.destination) + "/" +
                          std::to_string(platform::maskPrefixLength(r.mask)) + " via " +
                          platform::formatIpv4(r.nextHop) + " dev " + platform::interfaceName(r.ifIndex) +
                          " proto 76 metric " + std::to_string(r.metric);
      add << "route add " << route << "\n";
      del << "route del " << route << "\n";
    }
  }
  const std::size_t routes = mgr.trackedCount();
  mgr.removeAllRoutes();

  double oursAdd = 1e9, oursDel = 1e9, ipAdd = 1e9, ipDel = 1e9;
  for (int round = 0; round < rounds; ++round) {
    oursAdd = std::min(oursAdd, millisecondsOf([&] { installRoutes(mgr, mode, input); }));
    oursDel = std::min(oursDel, millisecondsOf([&] { mgr.removeAllRoutes(); }));
    ipAdd = std::min(ipAdd, millisecondsOf([&] { std::system(("ip -batch " + addFile).c_str()); }));
    ipDel = std::min(ipDel, millisecondsOf([&] { std::system(("ip -batch " + delFile).c_str()); }));
  }
  std::remove(addFile.c_str());
  std::remove(delFile.c_str());
  std::printf(
      "route_plan mode=\"%s\" routes=%zu ours_install_ms=%.1f ours_remove_ms=%.1f ip_batch_install_ms=%.1f "
      "ip_batch_remove_ms=%.1f install_ratio=%.2f remove_ratio=%.2f\n",
      mode.name.c_str(), routes, oursAdd, oursDel, ipAdd, ipDel, ipAdd / oursAdd, ipDel / oursDel);
  return 0;
}
