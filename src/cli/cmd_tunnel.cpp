// vantor tunnel: the packet tunnel on a TUN interface, in the foreground.
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "cli/command.h"
#include "cli/node_arg.h"
#include "platform/net.h"
#include "platform/signals.h"
#include "platform/termination_events.h"
#include "platform/tun.h"
#include "service/ss_manager.h"
#include "tunnel/core/tun2socks.h"

namespace {

using vantor::cli::currentNodeFrom;

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

vantor::cli::Registration tunnelRegistration{"tunnel", [](CLI::App& app) -> vantor::cli::Runner {
  auto options = std::make_shared<TunnelOptions>();
  auto* cmd = app.add_subcommand(
      "tunnel", "Send the TCP and UDP traffic routed into a TUN interface through the node (runs in the foreground)");
  cmd->add_option("--node", options->node, "Node: socks5://, socks4://, ss:// or ssr:// link")->required();
  cmd->add_option("--ifname", options->ifname, "TUN interface to create or reuse (default vantor0)");
  cmd->add_flag("--no-udp", options->noUdp, "Leave UDP alone: only TCP is carried");
  cmd->add_flag("--verbose", options->verbose, "Write the tunnel's log lines to standard error");
  return [options] { return tunnel(*options); };
}, 20};

}  // namespace
