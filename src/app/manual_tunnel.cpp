#include "app/manual_tunnel.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>

#include "catalogue/node_mgr.h"
#include "catalogue/node_uri.h"
#include "catalogue/settings.h"
#include "helper/client.h"
#include "netconf/host_setup.h"
#include "netconf/proxy_modes.h"
#include "netconf/route_plan.h"
#include "platform/host.h"
#include "platform/net.h"
#include "platform/routes.h"
#include "platform/signals.h"
#include "platform/termination_events.h"
#include "platform/tun.h"
#include "service/ss_manager.h"
#include "tunnel/core/tun2socks.h"

namespace vantor::app {
namespace {

static_assert(kManualTunnelMinTcpWindow == tunnel::kTunnelMinTcpWindow);
static_assert(kManualTunnelMaxTcpWindow == tunnel::kTunnelMaxTcpWindow);

constexpr int kExitFailed = 1;
constexpr int kExitBadInput = 2;

void printReport(const Json::Value& answer) {
  for (const Json::Value& line : answer["report"]) std::cerr << "vantor: " << line.asString() << "\n";
}

Json::Value opRequest(const char* op) {
  Json::Value request;
  request["op"] = op;
  return request;
}

// One request to the helper; false after a message.
bool ask(helper::HelperClient& helper, const Json::Value& request, Json::Value& answer, const char* what,
         long* handle = nullptr) {
  std::string error;
  if (helper.call(request, answer, error, handle)) return true;
  std::cerr << "vantor: " << what << ": " << error << "\n";
  return false;
}

// "a.b.c.d/prefix" or "a.b.c.d", strictly: a typing error must not become a
// route somewhere else.
bool parseRoute(const std::string& text, NetworkEntry& entry) {
  std::string address = text;
  int prefix = 32;
  auto slash = text.find('/');
  if (slash != std::string::npos) {
    address = text.substr(0, slash);
    std::string bits = text.substr(slash + 1);
    if (bits.empty() || bits.size() > 2 || bits.find_first_not_of("0123456789") != std::string::npos) return false;
    prefix = std::stoi(bits);
    if (prefix > 32) return false;
  }
  uint32_t parsed = 0;
  if (!platform::parseIpv4(address, parsed)) return false;
  entry = parseNetworkLine(address + "/" + std::to_string(prefix));
  return entry.prefix == prefix;
}

// "2001:db8::/32" or a bare IPv6 address, in its plain form; false for
// anything else (host bits beyond the prefix included).
bool parseRoute6(const std::string& text, std::string& network, uint8_t address[16], int& prefix) {
  if (!platform::parseIpv6Network(text, address, prefix)) return false;
  network = platform::formatIpv6(address) + "/" + std::to_string(prefix);
  return true;
}

bool covers6(const uint8_t network[16], int prefix, const uint8_t address[16]) {
  int whole = prefix / 8;
  if (std::memcmp(network, address, static_cast<std::size_t>(whole)) != 0) return false;
  int rest = prefix % 8;
  if (rest == 0) return true;
  auto mask = static_cast<uint8_t>(0xff << (8 - rest));
  return (network[whole] & mask) == (address[whole] & mask);
}

// The node of the command line, made the service's current node (sessions
// hold their own snapshot of it and share its counters). Null after a
// message.
std::unique_ptr<CNodeInfo> nodeFrom(const std::string& text) {
  std::string error;
  auto params = parseNodeUri(text, error);
  if (params) error = unsupportedNodeReason(*params);
  if (!params || !error.empty()) {
    std::cerr << "vantor: " << error << "\n";
    return nullptr;
  }
  auto node = std::make_unique<CNodeInfo>(1, *params);
  if (!CSSManager::instance().setCurrentNode(node.get(), &error)) {
    std::cerr << "vantor: " << error << "\n";
    return nullptr;
  }
  return node;
}

}  // namespace

int runManualTunnel(const ManualTunnelOptions& options) {
  ProxyMode listed;
  listed.kind = kModeRuleFile;
  listed.name = "routes";
  // IPv6 networks, and which of them would take the node's own address.
  std::vector<std::string> routes6;
  std::vector<std::pair<std::array<uint8_t, 16>, int>> networks6;
  for (const std::string& text : options.routes) {
    NetworkEntry entry;
    std::string network6;
    std::array<uint8_t, 16> address6{};
    int prefix6 = 0;
    if (text.find(':') != std::string::npos && parseRoute6(text, network6, address6.data(), prefix6)) {
      routes6.push_back(network6);
      networks6.emplace_back(address6, prefix6);
      continue;
    }
    if (!parseRoute(text, entry)) {
      std::cerr << "vantor: not a network: \"" << text << "\" (a.b.c.d/prefix, a.b.c.d or an IPv6 network)\n";
      return kExitBadInput;
    }
    listed.networks.push_back(entry);
  }
  std::unique_ptr<CNodeInfo> node = nodeFrom(options.node);
  if (!node) return kExitBadInput;
  CSSManager& service = CSSManager::instance();
  std::string error;
  // Before any thread exists: termination requests are taken by this thread.
  platform::blockTerminationSignals();

  // The helper (or, for root, its code in this process) makes every host
  // change; it puts back what an earlier run in this namespace left.
  auto helper = helper::HelperClient::open(error);
  if (!helper) {
    std::cerr << "vantor: " << error << "\n";
    return kExitFailed;
  }
  Json::Value answer;

  std::string settingsError;
  if (!loadSettings(&settingsError)) std::cerr << "vantor: " << settingsError << " (defaults used)\n";
  const bool udp = !options.noUdp && !settings().bDontProxyUDP;

  NetworkState state;
  bool haveDefault = detectConnections(state, options.ifname);
  std::string serverAddress;
  std::string directNode6;  // the node's IPv6 address when a listed network covers it
  if (!listed.networks.empty() || !routes6.empty()) {
    if (!haveDefault || (state.defaultRoute.nextHop.empty() && !state.defaultRoute.direct)) {
      std::cerr << "vantor: Basic routing information is missing\n";
      return kExitFailed;
    }
    // IPv4 when the node has it, else IPv6.
    platform::IpEndpoint address;
    if (!platform::resolveAddress(node->server, address)) {
      std::cerr << "vantor: Can not resolve SS server's domain name\n";
      return kExitFailed;
    }
    serverAddress = platform::formatIpAddress(address);
    for (const auto& [network, prefix] : networks6)
      if (address.ipv6 && covers6(network.data(), prefix, address.address)) directNode6 = serverAddress;
  }

  auto fail = [&](const std::string& text) {
    if (!text.empty()) std::cerr << "vantor: " << text << "\n";
    Json::Value undone;
    ask(*helper, opRequest("undo"), undone, "cannot undo the host changes");
    printReport(undone);
    return kExitFailed;
  };
  Json::Value configure = opRequest("tun_configure");
  if (!options.ifname.empty()) configure["name"] = options.ifname;
  std::string configureError;
  if (!helper->call(configure, answer, configureError))
    return fail("TUN virtual network interface driver install failed. (" + configureError + ")");
  state.tunName = answer["name"].asString();
  state.tunIndex = answer["index"].asInt();
  if (!routes6.empty() && !ask(*helper, opRequest("tun_ipv6"), answer, "cannot give the TUN interface IPv6"))
    return fail("");

  if (!service.startService(nullptr, nullptr, 0)) {
    return fail("Local service of SSR started failed, restart this program and retry it. (error " +
                std::to_string(service.lastError()) + ")");
  }
  if (options.verbose) tunnel::tun2socks_set_log_sink(tunnel::BLog_StderrSink());
  tunnel::tun2socks_set_handle_signals(false);
  tunnel::TunnelSettings tunnelSettings;
  tunnelSettings.deviceOffload = !options.noOffload;
  // One setting for every tunnel: the option only overrides it.
  tunnelSettings.tcpWindow =
      options.tcpWindow != 0 ? options.tcpWindow : static_cast<uint32_t>(std::max(0, settings().nTcpWindow));
  tunnel::tun2socks_set_settings(tunnelSettings);
  Json::Value open = opRequest("tun_open");
  open["offload"] = tunnelSettings.deviceOffload;
  long handle = -1;
  if (!ask(*helper, open, answer, "cannot open the TUN interface", &handle) || handle < 0) {
    service.stopService();
    return fail("");
  }
  platform::tunProvideHandle(state.tunName, handle, answer["offload"].asBool());
  if (!tunnel::startTunnel(state.tunName, service.servicePort(), udp, !routes6.empty())) {
    service.stopService();
    return fail("the tunnel did not start on " + state.tunName);
  }
  helper::CHelperRouteMgr routes(*helper);
  CRouterMgr::setInstance(&routes);
  auto stopAll = [&] {
    routes.removeAllRoutes();
    CRouterMgr::setInstance(nullptr);
    tunnel::tun2socks_stop(true);
    service.stopService();
    service.waitForSessions(1000);
  };
  if (!listed.networks.empty()) {
    // The same route planning as a connection's, with the listed networks
    // as the mode's and nothing of DNS.
    if (!routes.setPaths(state.defaultRoute.nextHop, state.defaultRoute.ifIndex, state.defaultRoute.direct,
                         tunnel::kTunnelStackAddress, state.tunIndex, false)) {
      stopAll();
      return fail("The route manager is failed to initialize.");
    }
    RoutePlanInput plan;
    plan.serverAddress = serverAddress;
    plan.udpEnabled = udp;
    plan.networksOnly = true;
    const std::string hostName = platform::hostName();
    const std::vector<std::string> own = platform::hostIpv4Addresses();
    plan.isLocal = [&](const std::string& a) { return isLocalAddress(a, hostName, own); };
    listed.networksLoaded = true;
    std::size_t count = installRoutes(routes, listed, plan);
    if (!routes.lastError().empty()) {
      std::string text = "routes: " + routes.lastError();
      stopAll();
      return fail(text);
    }
    std::printf("%zu routes\n", count);
  }
  if (!routes6.empty()) {
    std::size_t count = 0;
    // The node's own address first, through the host's IPv6 default route.
    for (const char* via : {"direct", "tunnel"}) {
      Json::Value request = opRequest("routes6_add");
      request["via"] = via;
      request["routes"] = Json::Value(Json::arrayValue);
      if (std::strcmp(via, "direct") == 0) {
        if (directNode6.empty()) continue;
        request["routes"].append(directNode6 + "/128");
      } else {
        for (const std::string& network : routes6) request["routes"].append(network);
      }
      if (!ask(*helper, request, answer, "cannot route IPv6")) {
        stopAll();
        return fail("");
      }
      count += request["routes"].size();
    }
    std::printf("%zu IPv6 routes\n", count);
  }
  std::printf("tunnel up on %s (segmentation offload %s)\n", state.tunName.c_str(),
              tunnel::tun2socks_device_offload() ? "on" : "off");
  std::fflush(stdout);

  int rc = 0;
  for (;;) {
    if (platform::waitTerminationSignalFor(200) != 0) break;
    if (!tunnel::tun2socks_is_running()) {
      std::cerr << "vantor: the tunnel stopped on its own (device error)\n";
      rc = 1;
      break;
    }
  }
  stopAll();
  const tunnel::TunnelCounters c = tunnel::tun2socks_counters();
  std::printf(
      "tunnel counters: accepted %llu, accept failed %llu, SYN replaced TIME-WAIT %llu, SYN met open connection "
      "%llu, SYN dropped %llu, input dropped %llu, budget held max %llu\n",
      static_cast<unsigned long long>(c.accepted), static_cast<unsigned long long>(c.acceptFailed),
      static_cast<unsigned long long>(c.synTimeWaitReused), static_cast<unsigned long long>(c.synOnOpenConnection),
      static_cast<unsigned long long>(c.synDropped), static_cast<unsigned long long>(c.inputDropped),
      static_cast<unsigned long long>(c.budgetHeldMax));
  if (!ask(*helper, opRequest("undo"), answer, "cannot undo the host changes")) rc = 1;
  printReport(answer);
  std::fflush(stdout);
  return rc;
}

}  // namespace vantor::app
