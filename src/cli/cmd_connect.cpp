// vantor connect / status / disconnect: the connection controller in the
// foreground with its status lines on standard output, and the two verbs
// that talk to a running one through its control endpoint.
#include <atomic>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>

#include "app/controller.h"
#include "app/http_proxy.h"
#include "app/i18n.h"
#include "app/instance.h"
#include "app/program_backend.h"
#include "app/startup.h"
#include "catalogue/app_paths.h"
#include "catalogue/node_mgr.h"
#include "catalogue/node_uri.h"
#include "cli/command.h"
#include "netconf/proxy_modes.h"
#include "platform/signals.h"
#include "platform/termination_events.h"
#include "service/ss_manager.h"

namespace {

using namespace vantor;

struct ConnectOptions {
  std::string node;
  std::string mode;
};

// Status lines on standard output, message boxes on standard error.
class ConsoleObserver : public app::IControllerObserver {
 public:
  void onStatus(const std::string& text) override { line(stdout, text); }
  // A failure's reason comes on a line of its own, prefixed like the text.
  void onMessage(const std::string& text) override {
    std::size_t start = 0;
    for (;;) {
      std::size_t end = text.find('\n', start);
      std::string part = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
      if (!part.empty()) line(stderr, "vantor: " + part);
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  void onStateChanged(int) override {}
  void onButton(const std::string&, const std::string&) override {}
  void onControlsEnabled(bool) override {}
  void onSummary(const app::StatusSummary& summary) override {
    if (!summary.connected) return;
    line(stdout, summary.proxyLine);
    line(stdout, summary.modeLine);
    line(stdout, summary.udpLine);
  }
  void onUdpWarning(bool visible, const std::string& tooltip) override {
    if (visible) line(stdout, tooltip);
  }

 private:
  void line(FILE* to, const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    std::fprintf(to, "%s\n", text.c_str());
    std::fflush(to);
  }
  std::mutex lock_;
};

bool isNumber(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

int connect(const ConnectOptions& options) {
  // Before any thread exists: termination requests are taken by this thread.
  platform::blockTerminationSignals();
  app::CVexorApp shell;
  std::string error;
  std::vector<std::string> report;
  switch (shell.start(error, report)) {
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

  app::CProgramBackend backend;
  ConsoleObserver observer;
  app::CConnectionController controller(backend, observer);

  int32_t nodeId = -1;
  if (isNumber(options.node)) {
    nodeId = options.node.size() > 9 ? -1 : std::stoi(options.node);
    if (nodeId < 0 || !backend.findNode(nodeId)) {
      std::cerr << "vantor: no node " << options.node << " (see `vantor nodes list`)\n";
      return cli::kExitBadInput;
    }
  } else if (options.node.empty()) {
    // The node used last time, as the window preselects it.
    backend.selectNode(backend.settings().LastUsedNodeId);
    if (CNodeInfo* node = backend.selectedNode()) nodeId = node->id;
  } else {
    auto params = parseNodeUri(options.node, error);
    if (params) error = unsupportedNodeReason(*params);
    if (!params || !error.empty()) {
      std::cerr << "vantor: " << error << "\n";
      return cli::kExitBadInput;
    }
    nodeId = backend.addTransientNode(std::make_unique<CNodeInfo>(0, *params));
  }
  int modeIndex = 0;
  if (!options.mode.empty()) {
    modeIndex = CProxyModeMgr::instance().find(options.mode);
    if (modeIndex < 0) {
      std::cerr << "vantor: no proxy mode \"" << options.mode << "\" (see `vantor modes`)\n";
      return cli::kExitBadInput;
    }
  }

  if (!shell.startServices(error)) {
    std::cerr << "vantor: " << error << "\n";
    return cli::kExitFailed;
  }
  std::printf("local service 127.0.0.1:%u\nhttp proxy 127.0.0.1:%u\n", CSSManager::instance().servicePort(),
              app::localHttpProxy().port());
  std::fflush(stdout);

  std::atomic<bool> disconnectAsked{false};
  app::CInstance& instance = shell.instance();
  if (!instance.serve(
          [&](const std::string& verb, std::string& answer) {
            if (verb == "show") return true;  // no window to show
            if (verb == "status") {
              answer = app::statusText(controller);
              return true;
            }
            if (verb == "disconnect") {
              disconnectAsked = true;
              if (controller.disconnectCommand()) controller.waitForWorker(60000);
              answer = std::string("state: ") + app::stateName(controller.state()) + "\n";
              return true;
            }
            return false;
          },
          error))
    std::cerr << "vantor: no control endpoint: " << error << "\n";

  app::NetworkFacts facts;
  backend.detectConnections(facts);
  controller.setNetworkFacts(facts);
  if (facts.tapCount < 1) {
    controller.startDriverReinstall();
    controller.waitForWorker(-1);
  }
  for (const auto& line : backend.takeReport()) std::cerr << "vantor: " << line << "\n";

  int rc = cli::kExitOk;
  if (!controller.connectCommand(nodeId, modeIndex) ||
      (controller.waitForWorker(-1), controller.state() != app::kConnected)) {
    rc = cli::kExitFailed;
  } else {
    for (const auto& line : backend.takeReport()) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    controller.startNetworkMonitor();
    while (platform::waitTerminationSignalFor(200) == 0) {
      if (disconnectAsked && controller.state() == app::kIdle) break;
    }
  }
  controller.exitCommand();
  backend.undoHostChanges();
  instance.stop();
  for (const auto& line : backend.takeReport()) std::cerr << "vantor: " << line << "\n";
  CSSManager::instance().waitForSessions(1000);
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
