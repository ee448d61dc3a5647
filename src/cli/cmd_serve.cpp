// vantor serve: the local SOCKS service for one node, in the foreground.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "app/http_proxy.h"
#include "app/pac.h"
#include "app/startup.h"
#include "cli/command.h"
#include "cli/node_arg.h"

namespace {

using vantor::cli::currentNodeFrom;

struct ServeOptions {
  std::string node;
  uint16_t port = 0;
  int statsInterval = 0;
  std::string localUser;
  std::string localPassword;
  int httpPort = -1;  // -1: no HTTP proxy; 0: any free port
  int httpIdle = 0;   // 0: the proxy's own idle limit
};

int serve(const ServeOptions& options) {
  using namespace vantor;
  CNodeInfo* node = currentNodeFrom(options.node);
  if (!node) return 2;
  app::CLocalService& service = cli::core().service();
  app::blockTerminationSignals();
  const char* user = options.localUser.empty() ? nullptr : options.localUser.c_str();
  const char* password = options.localPassword.empty() ? nullptr : options.localPassword.c_str();
  if (!service.start(user, password, options.port)) {
    std::cerr << "vantor: Local service of SSR started failed, restart this program and retry it."
              << " (error " << service.lastError() << ")\n";
    return 1;
  }
  std::printf("listening on 127.0.0.1:%u\n", service.port());
  app::CHttpProxy& http = app::localHttpProxy();
  if (options.httpPort >= 0) {
    std::string error;
    http.setSocksLogin(options.localUser, options.localPassword);
    http.setIdleLimit(options.httpIdle);
    http.setPacText(app::loadPacScript(paths::configFile("pac.txt"), paths::configFile("userpac.txt"), {},
                                       /*writeWhenMissing=*/false));
    if (!http.start(service.port(), static_cast<uint16_t>(options.httpPort), error)) {
      std::cerr << "vantor: HTTP started failed: " << error << "\n";
      service.stop();
      return 1;
    }
    std::printf("http proxy 127.0.0.1:%u\n", http.port());
  }
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
        std::printf("connections=%d upload=%.0f download=%.0f rate=%s\n", service.liveConnections(),
                    node->Upload_traffic.load(), node->Download_traffic.load(), node->rateText().c_str());
        std::fflush(stdout);
      }
    });
  }

  app::waitTerminationSignal();
  done = true;
  if (stats.joinable()) stats.join();
  http.stop();
  service.stop();
  // Relay loops notice the cleared relay flag within one pass; sessions still
  // in a handshake end on their own time-outs, which the process need not wait for.
  service.waitForSessions(1000);
  std::fflush(stdout);
  return 0;
}

vantor::cli::Registration serveRegistration{
    "serve",
    [](CLI::App& app) -> vantor::cli::Runner {
      auto options = std::make_shared<ServeOptions>();
      auto* cmd = app.add_subcommand("serve", "Run the local SOCKS service for one node in the foreground");
      cmd->add_option("--node", options->node,
                      "Node: socks5://[user:pass@]host:port, socks4://host:port, ss://... or ssr://... link")
          ->required();
      cmd->add_option("--port", options->port, "Local port (default 16666 or the next free one)");
      cmd->add_option("--stats", options->statsInterval, "Print live connections and traffic every N seconds")
          ->check(CLI::Range(0, 3600));
      cmd->add_option("--local-user", options->localUser, "Demand this user name from local clients");
      cmd->add_option("--local-password", options->localPassword, "Demand this password from local clients");
      cmd->add_option("--http", options->httpPort,
                      "Also run an HTTP proxy (CONNECT and http:// requests) on 127.0.0.1:PORT over the service "
                      "(0: any free port)")
          ->check(CLI::Range(0, 65535));
      cmd->add_option("--http-idle", options->httpIdle,
                      "Close HTTP proxy tunnels and answers in which nothing moved for this many seconds "
                      "(default 300)")
          ->check(CLI::Range(1, 86400));
      return [options] { return serve(*options); };
    },
    10};

}  // namespace
