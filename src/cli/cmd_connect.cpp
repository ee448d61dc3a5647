// vantor connect / status / disconnect: the connection controller in the
// foreground with its status lines on standard output, and the two verbs
// that talk to a running one through its control endpoint.
#include <atomic>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "app/controller.h"
#include "app/i18n.h"
#include "app/instance.h"
#include "app/startup.h"
#include "cli/command.h"

namespace {

using namespace vantor;

struct ConnectOptions {
  std::string node;
  std::string mode;
};

// The core's events as the console shows them: status lines on standard
// output, messages on standard error. Runs on the core's event thread only.
void printEvent(const app::CoreEvent& event) {
  auto line = [](FILE* to, const std::string& text) {
    std::fprintf(to, "%s\n", text.c_str());
    std::fflush(to);
  };
  switch (event.kind) {
    case app::CoreEvent::kStatus:
      line(stdout, event.text);
      break;
    case app::CoreEvent::kMessage: {
      // A failure's reason comes on a line of its own, prefixed like the text.
      std::size_t start = 0;
      for (;;) {
        std::size_t end = event.text.find('\n', start);
        std::string part = event.text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!part.empty()) line(stderr, "vantor: " + part);
        if (end == std::string::npos) break;
        start = end + 1;
      }
      break;
    }
    case app::CoreEvent::kSummary:
      if (!event.summary.connected) break;
      line(stdout, event.summary.proxyLine);
      line(stdout, event.summary.modeLine);
      line(stdout, event.summary.udpLine);
      break;
    case app::CoreEvent::kUdpWarning:
      if (event.flag) line(stdout, event.tooltip);
      break;
    default:  // the window's: button, controls, state, show/hide, traffic
      break;
  }
}

bool isNumber(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

int connect(const ConnectOptions& options) {
  // Before any thread exists: termination requests are taken by this thread.
  app::blockTerminationSignals();
  app::CVexorApp& core = cli::core();
  std::string error;
  std::vector<std::string> report;
  switch (core.start(error, report)) {
    case app::CVexorApp::Outcome::AlreadyRunning:
      std::cerr << "vantor: already running (" << paths::runtimeDir()
                << "); use `vantor status` or `vantor disconnect`\n";
      return cli::kExitFailed;
    case app::CVexorApp::Outcome::Failed:
      std::cerr << "vantor: " << error << "\n";
      return cli::kExitFailed;
    case app::CVexorApp::Outcome::Ready:
      break;
  }
  for (const auto& line : report) std::cerr << "vantor: " << line << "\n";

  core.events().startThread(printEvent);
  core.openConnection();
  // What the core printed must be out before this verb prints or returns.
  auto flushed = [&core] { core.events().flush(5000); };

  int32_t nodeId = -1;
  if (isNumber(options.node)) {
    nodeId = options.node.size() > 9 ? -1 : std::stoi(options.node);
    if (nodeId < 0 || !core.findNode(nodeId)) {
      std::cerr << "vantor: no node " << options.node << " (see `vantor nodes list`)\n";
      return cli::kExitBadInput;
    }
  } else if (options.node.empty()) {
    // The node used last time, as the window preselects it.
    CNodeMgr& store = core.catalogue().nodes();
    store.select(core.settings().get().LastUsedNodeId);
    if (CNodeInfo* node = store.selectedNode()) nodeId = node->id;
  } else {
    auto params = app::CCatalogue::parseNode(options.node, error);
    if (!params) {
      std::cerr << "vantor: " << error << "\n";
      return cli::kExitBadInput;
    }
    nodeId = core.addTransientNode(*params);
  }
  int modeIndex = 0;
  if (!options.mode.empty()) {
    modeIndex = core.catalogue().modes().find(options.mode);
    if (modeIndex < 0) {
      std::cerr << "vantor: no proxy mode \"" << options.mode << "\" (see `vantor modes`)\n";
      return cli::kExitBadInput;
    }
  }

  if (!core.startServices(error)) {
    std::cerr << "vantor: " << error << "\n";
    return cli::kExitFailed;
  }
  std::printf("local service 127.0.0.1:%u\nhttp proxy 127.0.0.1:%u\n", core.service().port(), core.httpProxyPort());
  std::fflush(stdout);

  std::atomic<bool> disconnectAsked{false};
  if (!core.serveControl([&] { disconnectAsked = true; }, error))
    std::cerr << "vantor: no control endpoint: " << error << "\n";

  core.detectNetwork(/*wait=*/true);
  flushed();
  for (const auto& line : core.takeReport()) std::cerr << "vantor: " << line << "\n";

  int rc = cli::kExitOk;
  if (!core.connect(nodeId, modeIndex) || (core.waitIdle(-1), core.state() != app::kConnected)) {
    rc = cli::kExitFailed;
  } else {
    flushed();
    for (const auto& line : core.takeReport()) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    core.startNetworkMonitor();
    while (app::waitTerminationSignalFor(200) == 0) {
      if (disconnectAsked && core.state() == app::kIdle) break;
    }
  }
  core.exitConnection();
  core.undoHostChanges();
  core.instance().stop();
  flushed();
  for (const auto& line : core.takeReport()) std::cerr << "vantor: " << line << "\n";
  core.service().waitForSessions(1000);
  return rc;
}

int askRunning(const std::string& verb) {
  std::string answer;
  if (!app::sendControlRequest(paths::runtimeDir(), verb, answer)) {
    std::cout << "state: not running\n";
    return cli::kExitFailed;
  }
  if (answer.rfind("ok\n", 0) != 0) {
    std::cerr << "vantor: " << answer;
    return cli::kExitFailed;
  }
  std::cout << answer.substr(3);
  return cli::kExitOk;
}

vantor::cli::Registration connectRegistration{
    "connect",
    [](CLI::App& app) -> vantor::cli::Runner {
      auto options = std::make_shared<ConnectOptions>();
      auto* connectCmd = app.add_subcommand(
          "connect", "Connect the whole computer through a node in the foreground; SIGINT or SIGTERM disconnects");
      connectCmd->add_option("--node", options->node,
                             "A stored node's id, or a socks5://, socks4://, ss:// or ssr:// link");
      connectCmd->add_option("--mode", options->mode, "Proxy mode by name or index (see `vantor modes`; default 0)");
      auto* statusCmd = app.add_subcommand("status", "State, node, mode, UDP and traffic of the running connection");
      auto* disconnectCmd = app.add_subcommand("disconnect", "Disconnect the running connection");
      return [=] {
        if (statusCmd->parsed()) return askRunning("status");
        if (disconnectCmd->parsed()) return askRunning("disconnect");
        return connect(*options);
      };
    },
    30};

}  // namespace
