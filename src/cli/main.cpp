// vantor: command-line front end.
//   vantor serve --node URI [--port N] [--local-user U --local-password P]
//   vantor tunnel --node URI [--ifname NAME] [--no-udp] [--verbose]
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <iostream>
#include <memory>
#include <string>

#include "catalogue/node_uri.h"
#include "platform/net.h"
#include "platform/signals.h"
#include "platform/termination_events.h"
#include "platform/tun.h"
#include "service/ss_manager.h"
#include "tunnel/core/tun2socks.h"

namespace {

struct ServeOptions {
  std::string node;
  uint16_t port = 0;
  int statsInterval = 0;
  std::string localUser;
  std::string localPassword;
};

// Parses the node argument and makes it the service's current node. The node
// lives as long as the process: sessions hold plain pointers to it.
vantor::CNodeInfo* currentNodeFrom(const std::string& text) {
  using namespace vantor;
  std::string error;
  auto params = parseNodeUri(text, error);
  if (!params) {
    std::cerr << "vantor: " << error << "\n";
    return nullptr;
  }
  auto* node = new CNodeInfo(1, *params);
  if (!CSSManager::instance().setCurrentNode(node)) {
    std::cerr << "vantor: the node is incomplete (server and port, and for Shadowsocks a method and password, are required)\n";
    delete node;
    return nullptr;
  }
  return node;
}

int serve(const ServeOptions& options) {
  using namespace vantor;
  CNodeInfo* node = currentNodeFrom(options.node);
  if (!node) return 2;
  CSSManager& service = CSSManager::instance();
  platform::blockTerminationSignals();
  const char* user = options.localUser.empty() ? nullptr : options.localUser.c_str();
  const char* password = options.localPassword.empty() ? nullptr : options.localPassword.c_str();
  if (!service.startService(user, password, options.port)) {
    std::cerr << "vantor: Local service of SSR started failed, restart this program and retry it."
              << " (error " << service.lastError() << ")\n";
    return 1;
  }
  std::printf("listening on 127.0.0.1:%u\n", service.servicePort());
  std::fflush(stdout);

  // Optional periodic status: what the traffic window shows, one line at a time.
  std::atomic<bool> done{false};
  std::thread stats;
  if (options.statsInterval > 0) {
    stats = std::thread([&] {
      auto next = std::chrono::steady_clock::now();
      while (!done) {
        next += std::chrono::seconds(options.statsInterval);
        while (!done && std::chrono::steady_clock::now() < next)
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (done) break;
        std::printf("connections=%d upload=%.0f download=%.0f rate=%s\n", service.liveConnectionCount(),
                    node->Upload_traffic.load(), node->Download_traffic.load(), node->rateText().c_str());
        std::fflush(stdout);
      }
    });
  }

  platform::waitTerminationSignal();
  done = true;
  if (stats.joinable()) stats.join();
  service.stopService();
  // Relay loops notice the cleared relay flag within one pass; sessions still
  // in a handshake end on their own time-outs, which the process need not wait for.
  service.waitForSessions(1000);
  std::fflush(stdout);
  return 0;
}

struct TunnelOptions {
  std::string node;
  std::string ifname = "vantor0";
  bool noUdp = false;
  bool verbose = false;
};

// What `vantor tunnel` changed on the host, so that it can undo exactly that.
struct InterfaceSetup {
  std::string name;
  bool created = false;
  bool addedAddress = false;
  bool broughtUp = false;
  uint32_t address = 0;

  void undo() {
    std::string error;
    if (broughtUp && !vantor::platform::setInterfaceUp(name, false, error))
      std::cerr << "vantor: could not bring " << name << " down: " << error << "\n";
    if (addedAddress && !vantor::platform::removeInterfaceAddress(name, address, vantor::tunnel::kTunnelPrefixLength, error))
      std::cerr << "vantor: could not remove the address of " << name << ": " << error << "\n";
    if (created && !vantor::platform::tunDeletePersistent(name, error))
      std::cerr << "vantor: could not remove " << name << ": " << error << "\n";
    broughtUp = addedAddress = created = false;
  }
};

int tunnel(const TunnelOptions& options) {
  using namespace vantor;
  if (!currentNodeFrom(options.node)) return 2;
  CSSManager& service = CSSManager::instance();
  std::string error;
  // Before any thread exists: termination requests are taken by this thread.
  platform::blockTerminationSignals();

  InterfaceSetup setup;
  setup.name = options.ifname;
  platform::parseIpv4(tunnel::kTunnelHostAddress, setup.address);
  if (!platform::interfaceExists(setup.name)) {
    if (!platform::tunCreatePersistent(setup.name, error)) {
      std::cerr << "vantor: cannot create the TUN interface " << setup.name << ": " << error << "\n";
      return 1;
    }
    setup.created = true;
  }
  if (!platform::interfaceHasAddress(setup.name, setup.address)) {
    if (!platform::addInterfaceAddress(setup.name, setup.address, tunnel::kTunnelPrefixLength, error)) {
      std::cerr << "vantor: cannot give " << setup.name << " the address " << tunnel::kTunnelHostAddress << ": " << error << "\n";
      setup.undo();
      return 1;
    }
    setup.addedAddress = true;
  }
  if (!platform::interfaceIsUp(setup.name)) {
    if (!platform::setInterfaceUp(setup.name, true, error)) {
      std::cerr << "vantor: cannot bring " << setup.name << " up: " << error << "\n";
      setup.undo();
      return 1;
    }
    setup.broughtUp = true;
  }

  if (!service.startService(nullptr, nullptr, 0)) {
    std::cerr << "vantor: Local service of SSR started failed, restart this program and retry it."
              << " (error " << service.lastError() << ")\n";
    setup.undo();
    return 1;
  }
  if (options.verbose) tunnel::tun2socks_set_log_sink(tunnel::BLog_StderrSink());
  tunnel::tun2socks_set_handle_signals(false);
  if (!tunnel::startTunnel(setup.name, service.servicePort(), !options.noUdp)) {
    std::cerr << "vantor: the tunnel did not start on " << setup.name << "\n";
    service.stopService();
    setup.undo();
    return 1;
  }
  std::printf("tunnel up on %s\n", setup.name.c_str());
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
  tunnel::tun2socks_stop(true);
  service.stopService();
  service.waitForSessions(1000);
  setup.undo();
  std::fflush(stdout);
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Vantor: send a whole computer's traffic through one proxy node"};
  app.require_subcommand(1);
  ServeOptions serveOptions;
  auto* serveCmd = app.add_subcommand("serve", "Run the local SOCKS service for one node in the foreground");
  serveCmd->add_option("--node", serveOptions.node, "Node: socks5://[user:pass@]host:port, socks4://host:port, ss://... or ssr://... link")
      ->required();
  serveCmd->add_option("--port", serveOptions.port, "Local port (default 16666 or the next free one)");
  serveCmd->add_option("--stats", serveOptions.statsInterval,
                       "Print live connections and traffic every N seconds")
      ->check(CLI::Range(0, 3600));
  serveCmd->add_option("--local-user", serveOptions.localUser, "Demand this user name from local clients");
  serveCmd->add_option("--local-password", serveOptions.localPassword, "Demand this password from local clients");
  TunnelOptions tunnelOptions;
  auto* tunnelCmd = app.add_subcommand(
      "tunnel", "Send the TCP and UDP traffic routed into a TUN interface through the node (runs in the foreground)");
  tunnelCmd->add_option("--node", tunnelOptions.node, "Node: socks5://, socks4://, ss:// or ssr:// link")->required();
  tunnelCmd->add_option("--ifname", tunnelOptions.ifname, "TUN interface to create or reuse (default vantor0)");
  tunnelCmd->add_flag("--no-udp", tunnelOptions.noUdp, "Leave UDP alone: only TCP is carried");
  tunnelCmd->add_flag("--verbose", tunnelOptions.verbose, "Write the tunnel's log lines to standard error");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int rc = app.exit(e);
    return rc == 0 ? 0 : 2;
  }
  if (serveCmd->parsed()) return serve(serveOptions);
  if (tunnelCmd->parsed()) return tunnel(tunnelOptions);
  return 2;
}
