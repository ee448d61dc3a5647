// vantor tunnel: the packet tunnel on a TUN interface, in the foreground, set
// up by hand for debugging (only the routes given with --route). A proxy
// mode's routes and DNS are `vantor connect --mode`.
#include <iostream>
#include <memory>
#include <string>

#include "app/manual_tunnel.h"
#include "cli/command.h"

namespace {

vantor::cli::Registration tunnelRegistration{
    "tunnel",
    [](CLI::App& app) -> vantor::cli::Runner {
      auto options = std::make_shared<vantor::app::ManualTunnelOptions>();
      auto mode = std::make_shared<std::string>();
      auto* cmd = app.add_subcommand(
          "tunnel",
          "Debugging: send the TCP and UDP traffic routed into a TUN interface through the node, with only the "
          "routes given (runs in the foreground); a whole-host connection is `vantor connect`");
      cmd->add_option("--node", options->node, "Node: socks5://, socks4://, ss:// or ssr:// link")->required();
      cmd->add_option("--ifname", options->ifname, "TUN interface to create or reuse (root only; default KOVAL1)");
      cmd->add_option("--route", options->routes,
                      "Network a.b.c.d/prefix (or a.b.c.d), or an IPv6 network such as 2001:db8::/32, to route "
                      "into the interface; repeatable. The node's "
                      "own address stays direct");
      cmd->add_option("--mode", *mode, "No longer here: use `vantor connect --mode`");
      cmd->add_flag("--no-udp", options->noUdp, "Leave UDP alone: only TCP is carried");
      cmd->add_flag("--verbose", options->verbose, "Write the tunnel's log lines to standard error");
      cmd->add_flag(
          "--no-offload", options->noOffload,
          "Move one plain packet per device read and write, even where the device offers segmentation offload");
      cmd->add_option("--tcp-window", options->tcpWindow,
                      "Receive window and send buffer of every tunnelled TCP connection in bytes, with window scaling "
                      "(default: the setting nTcpWindow; 0 there: 1 MiB; 5840: the small window without scaling)")
          ->check(CLI::Range(vantor::app::kManualTunnelMinTcpWindow, vantor::app::kManualTunnelMaxTcpWindow));
      return [options, mode] {
        if (!mode->empty()) {
          std::cerr << "vantor: `vantor tunnel` installs no proxy mode; connect the whole host with `vantor connect "
                       "--node NODE --mode "
                    << *mode << "`\n";
          return vantor::cli::kExitBadInput;
        }
        return vantor::app::runManualTunnel(*options);
      };
    },
    20};

}  // namespace
