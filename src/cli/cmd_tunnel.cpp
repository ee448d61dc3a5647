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
#include "netconf/additional_routes.h"
#include "netconf/host_setup.h"
#include "netconf/proxy_modes.h"
#include "netconf/route_plan.h"
#include "platform/host.h"
#include "platform/net.h"
#include "platform/routes.h"
#include "platform/signals.h"
#include "platform/termination_events.h"
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

// Metric of the tunnel gateway's default route: below every real one.
constexpr uint32_t kTunGatewayMetric = 5000;

void printReport(const std::vector<std::string>& report) {
  for (const auto& line : report) std::cerr << "vantor: " << line << "\n";
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
bool installMode(vantor::CKovalRouteMgr& routes, vantor::HostSetup& host, const vantor::ProxyMode& mode,
                 const vantor::NetworkState& state, const std::string& serverAddress, bool udp) {
  using namespace vantor;
  std::string error;
  vantor::setInterfaceMetric(state.tunIndex, mode.routeAll ? 1 : 1000);
  if (!routes.setPaths(state.defaultRoute.nextHop, state.defaultRoute.ifIndex, state.defaultRoute.direct,
                       tunnel::kTunnelStackAddress, state.tunIndex, false)) {
    std::cerr << "vantor: The route manager is failed to initialize.\n";
    return false;
  }
  if (!host.noteRoutes(error)) {
    std::cerr << "vantor: cannot record the host changes: " << error << "\n";
    return false;
  }
  // While everything goes through the tunnel, IPv6 must not leave beside
  // it (the node itself is always reached over IPv4 here).
  if (mode.routeAll && !host.blockIpv6(error)) {
    std::cerr << "vantor: cannot block IPv6: " << error << "\n";
    return false;
  }
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
  std::vector<uint32_t> servers;
  for (const std::string& text : {plan.publicDns1, plan.publicDns2}) {
    uint32_t address = 0;
    if (platform::parseIpv4(text, address)) servers.push_back(address);
  }
  bool replaceLocal = !(udp && plan.forceProxyDnsServer && mode.kind != kModeGlobal);
  // Like every setting of the interfaces, a DNS change that does not take
  // leaves the old servers in place and the connection goes on.
  if (!host.configureDns(state.tunIndex, state.localIndex, servers, replaceLocal, error))
    std::cerr << "vantor: the DNS servers stay as they were: " << error << "\n";
  flushResolver();
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

  {
    HostChangeRecord running;
    if (running.load(error) && running.runningOwner() != 0) {
      std::cerr << "vantor: another Vantor (process " << running.runningOwner()
                << ") runs a tunnel in this network namespace\n";
      return cli::kExitFailed;
    }
  }
  // Whatever an earlier run in this namespace left behind goes first.
  std::vector<std::string> report;
  cleanupLeftovers(report);
  printReport(report);
  report.clear();

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

  HostChangeRecord record;
  HostSetup host(record);
  auto fail = [&](const std::string& text) {
    if (!text.empty()) std::cerr << "vantor: " << text << "\n";
    host.undo(report);
    printReport(report);
    return cli::kExitFailed;
  };
  if (!host.prepareTunInterface(state.tunName, error))
    return fail("TUN virtual network interface driver install failed. (" + state.tunName + ": " + error + ")");
  state.tunIndex = platform::interfaceIndex(state.tunName);
  if (mode) {
    storeNetworkState(state, settings());
    if (!saveSettings(&settingsError)) std::cerr << "vantor: " << settingsError << "\n";
  }
  if (mode && !host.addTunGateway(state.tunName, kTunGatewayMetric, error)) return fail(error);

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
  if (!tunnel::startTunnel(state.tunName, service.servicePort(), udp)) {
    service.stopService();
    return fail("the tunnel did not start on " + state.tunName);
  }
  CKovalRouteMgr routes;
  CRouterMgr::setInstance(&routes);
  if (mode && !installMode(routes, host, *mode, state, serverAddress, udp)) {
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
  if (!host.undo(report)) rc = 1;
  printReport(report);
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
