// vantor tunnel: the packet tunnel on a TUN interface, in the foreground;
// with --mode it also installs the mode's routes and DNS servers and takes
// them back when it stops.
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "catalogue/app_paths.h"
#include "catalogue/settings.h"
#include "cli/command.h"
#include "cli/node_arg.h"
#include "helper/client.h"
#include "netconf/additional_routes.h"
#include "netconf/host_setup.h"
#include "netconf/network_settings.h"
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

namespace {

using vantor::cli::currentNodeFrom;

struct TunnelOptions {
  std::string node;
  std::string ifname;
  std::string mode;
  bool noUdp = false;
  bool verbose = false;
  bool noOffload = false;
  uint32_t tcpWindow = 0;
};

void printReport(const Json::Value& answer) {
  for (const Json::Value& line : answer["report"]) std::cerr << "vantor: " << line.asString() << "\n";
}

Json::Value opRequest(const char* op) {
  Json::Value request;
  request["op"] = op;
  return request;
}

// One request to the helper; false after a message.
bool ask(vantor::helper::HelperClient& helper, const Json::Value& request, Json::Value& answer, const char* what,
         long* handle = nullptr) {
  std::string error;
  if (helper.call(request, answer, error, handle)) return true;
  std::cerr << "vantor: " << what << ": " << error << "\n";
  return false;
}

// The mode named on the command line, with its networks loaded; null (after
// a message) when there is none or it does not use the tunnel.
vantor::ProxyMode* modeFrom(const std::string& text) {
  using namespace vantor;
  CProxyModeMgr& modes = CProxyModeMgr::instance();
  modes.scanRules({paths::shippedRulesDir(), paths::userRulesDir()}, false);
  int index = modes.find(text);
  if (index < 0) {
    std::cerr << "vantor: no proxy mode \"" << text << "\" (see `vantor modes`)\n";
    return nullptr;
  }
  modes.setCurrentMode(index);
  ProxyMode& mode = modes.currentMode();
  if (!mode.usesTunnel()) {
    std::cerr << "vantor: \"" << mode.name << "\" is a web-browser mode; `vantor tunnel` runs the TUN modes only\n";
    return nullptr;
  }
  modes.loadNetworks(mode);
  return &mode;
}

// Routes, the IPv6 block and DNS for the mode. False after a message.
bool installMode(vantor::helper::HelperClient& helper, vantor::helper::CHelperRouteMgr& routes,
                 const vantor::ProxyMode& mode, const vantor::NetworkState& state, const std::string& serverAddress,
                 bool udp) {
  using namespace vantor;
  Json::Value answer;
  vantor::setInterfaceMetric(state.tunIndex, mode.routeAll ? 1 : 1000);
  if (!routes.setPaths(state.defaultRoute.nextHop, state.defaultRoute.ifIndex, state.defaultRoute.direct,
                       tunnel::kTunnelStackAddress, state.tunIndex, false)) {
    std::cerr << "vantor: The route manager is failed to initialize.\n";
    return false;
  }
  // While everything goes through the tunnel, IPv6 must not leave beside
  // it (the node itself is always reached over IPv4 here).
  if (mode.routeAll && !ask(helper, opRequest("block_ipv6"), answer, "cannot block IPv6")) return false;
  Settings& s = settings();
  const std::vector<std::string> dns = tunDnsServers(s);
  CAdditionalRouteMgr& additional = CAdditionalRouteMgr::instance();
  additional.load();
  RoutePlanInput plan;
  plan.serverAddress = serverAddress;
  plan.udpEnabled = udp;
  plan.publicDns1 = dns.size() > 0 ? dns[0] : std::string();
  plan.publicDns2 = dns.size() > 1 ? dns[1] : std::string();
  plan.forceProxyDnsServer = s.ForceProxyDNSServer;
  plan.additionalRoutes = additional.routes();
  const std::string hostName = platform::hostName();
  const std::vector<std::string> own = platform::hostIpv4Addresses();
  plan.isLocal = [&](const std::string& a) { return isLocalAddress(a, hostName, own); };
  std::size_t count = installRoutes(routes, mode, plan);
  if (!routes.lastError().empty()) {
    std::cerr << "vantor: routes: " << routes.lastError() << "\n";
    return false;
  }
  Json::Value request = helper::dnsRequest({plan.publicDns1, plan.publicDns2},
                                           !(udp && plan.forceProxyDnsServer && mode.kind != kModeGlobal));
  // Like every setting of the interfaces, a DNS change that does not take
  // leaves the old servers in place and the connection goes on.
  if (!request["servers"].empty()) ask(helper, request, answer, "the DNS servers stay as they were");
  std::printf("mode \"%s\": %zu routes\n", mode.name.c_str(), count);
  return true;
}

int tunnel(const TunnelOptions& options) {
  using namespace vantor;
  CNodeInfo* node = currentNodeFrom(options.node);
  if (!node) return cli::kExitBadInput;
  ProxyMode* mode = nullptr;
  if (!options.mode.empty() && !(mode = modeFrom(options.mode))) return cli::kExitBadInput;
  CSSManager& service = CSSManager::instance();
  std::string error;
  // Before any thread exists: termination requests are taken by this thread.
  platform::blockTerminationSignals();

  // The helper (or, for root, its code in this process) makes every host
  // change; it puts back what an earlier run in this namespace left.
  auto helper = helper::HelperClient::open(error);
  if (!helper) {
    std::cerr << "vantor: " << error << "\n";
    return cli::kExitFailed;
  }
  Json::Value answer;

  std::string settingsError;
  if (!loadSettings(&settingsError)) std::cerr << "vantor: " << settingsError << " (defaults used)\n";
  applyDnsChoice(settings());
  const bool udp = !options.noUdp && !settings().bDontProxyUDP;

  NetworkState state;
  bool haveDefault = detectConnections(state, options.ifname);
  std::string serverAddress;
  if (mode) {
    if (!haveDefault || state.defaultRoute.nextHop.empty()) {
      std::cerr << "vantor: Basic routing information is missing\n";
      return cli::kExitFailed;
    }
    uint32_t address = 0;
    if (!platform::resolveIpv4(node->server, address)) {
      std::cerr << "vantor: Can not resolve SS server's domain name\n";
      return cli::kExitFailed;
    }
    serverAddress = platform::formatIpv4(address);
  }

  auto fail = [&](const std::string& text) {
    if (!text.empty()) std::cerr << "vantor: " << text << "\n";
    Json::Value undone;
    ask(*helper, opRequest("undo"), undone, "cannot undo the host changes");
    printReport(undone);
    return cli::kExitFailed;
  };
  Json::Value configure = opRequest("tun_configure");
  if (!options.ifname.empty()) configure["name"] = options.ifname;
  std::string configureError;
  if (!helper->call(configure, answer, configureError))
    return fail("TUN virtual network interface driver install failed. (" + configureError + ")");
  state.tunName = answer["name"].asString();
  state.tunIndex = answer["index"].asInt();
  if (mode) {
    storeNetworkState(state, settings());
    if (!saveSettings(&settingsError)) std::cerr << "vantor: " << settingsError << "\n";
  }

  if (!service.startService(nullptr, nullptr, 0)) {
    return fail("Local service of SSR started failed, restart this program and retry it. (error " +
                std::to_string(service.lastError()) + ")");
  }
  if (options.verbose) tunnel::tun2socks_set_log_sink(tunnel::BLog_StderrSink());
  tunnel::tun2socks_set_handle_signals(false);
  tunnel::TunnelSettings tunnelSettings;
  tunnelSettings.deviceOffload = !options.noOffload;
  tunnelSettings.tcpWindow = options.tcpWindow;
  tunnel::tun2socks_set_settings(tunnelSettings);
  Json::Value open = opRequest("tun_open");
  open["offload"] = tunnelSettings.deviceOffload;
  long handle = -1;
  if (!ask(*helper, open, answer, "cannot open the TUN interface", &handle) || handle < 0) {
    service.stopService();
    return fail("");
  }
  platform::tunProvideHandle(state.tunName, handle, answer["offload"].asBool());
  if (!tunnel::startTunnel(state.tunName, service.servicePort(), udp)) {
    service.stopService();
    return fail("the tunnel did not start on " + state.tunName);
  }
  helper::CHelperRouteMgr routes(*helper);
  CRouterMgr::setInstance(&routes);
  if (mode && !installMode(*helper, routes, *mode, state, serverAddress, udp)) {
    routes.removeAllRoutes();
    tunnel::tun2socks_stop(true);
    service.stopService();
    return fail("");
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
  routes.removeAllRoutes();
  CRouterMgr::setInstance(nullptr);
  tunnel::tun2socks_stop(true);
  service.stopService();
  service.waitForSessions(1000);
  if (!ask(*helper, opRequest("undo"), answer, "cannot undo the host changes")) rc = 1;
  printReport(answer);
  std::fflush(stdout);
  return rc;
}

vantor::cli::Registration tunnelRegistration{
    "tunnel",
    [](CLI::App& app) -> vantor::cli::Runner {
      auto options = std::make_shared<TunnelOptions>();
      auto* cmd = app.add_subcommand(
          "tunnel",
          "Send the TCP and UDP traffic routed into a TUN interface through the node (runs in the foreground)");
      cmd->add_option("--node", options->node, "Node: socks5://, socks4://, ss:// or ssr:// link")->required();
      cmd->add_option("--ifname", options->ifname, "TUN interface to create or reuse (default KOVAL1)");
      cmd->add_option("--mode", options->mode,
                      "Proxy mode (name or index, see `vantor modes`): install its routes and DNS servers");
      cmd->add_flag("--no-udp", options->noUdp, "Leave UDP alone: only TCP is carried");
      cmd->add_flag("--verbose", options->verbose, "Write the tunnel's log lines to standard error");
      cmd->add_flag(
          "--no-offload", options->noOffload,
          "Move one plain packet per device read and write, even where the device offers segmentation offload");
      cmd->add_option("--tcp-window", options->tcpWindow,
                      "Receive window and send buffer of every tunnelled TCP connection in bytes, with window scaling "
                      "(default: 5840-byte window, 16384-byte send buffer)")
          ->check(CLI::Range(vantor::tunnel::kTunnelMinTcpWindow, vantor::tunnel::kTunnelMaxTcpWindow));
      return [options] { return tunnel(*options); };
    },
    20};

}  // namespace
