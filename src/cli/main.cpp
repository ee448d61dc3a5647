// vantor: command-line front end.
//   vantor serve --node URI [--port N] [--local-user U --local-password P]
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <iostream>
#include <memory>
#include <string>

#include "catalogue/node_uri.h"
#include "platform/signals.h"
#include "service/ss_manager.h"

namespace {

struct ServeOptions {
  std::string node;
  uint16_t port = 0;
  int statsInterval = 0;
  std::string localUser;
  std::string localPassword;
};

int serve(const ServeOptions& options) {
  using namespace vantor;
  std::string error;
  auto params = parseNodeUri(options.node, error);
  if (!params) {
    std::cerr << "vantor: " << error << "\n";
    return 2;
  }
  // The node lives as long as the process: sessions hold plain pointers to it.
  auto* node = new CNodeInfo(1, *params);
  CSSManager& service = CSSManager::instance();
  if (!service.setCurrentNode(node)) {
    std::cerr << "vantor: the node is incomplete (server and port, and for Shadowsocks a method and password, are required)\n";
    return 2;
  }
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
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int rc = app.exit(e);
    return rc == 0 ? 0 : 2;
  }
  if (serveCmd->parsed()) return serve(serveOptions);
  return 2;
}
