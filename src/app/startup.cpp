#include "app/startup.h"

#include <sodium.h>

#include <ctime>

#include "app/http_proxy.h"
#include "app/program_backend.h"
#include "app/i18n.h"
#include "app/controller.h"
#include "app/pac.h"
#include "app/system_proxy.h"
#include "catalogue/app_paths.h"
#include "catalogue/events.h"
#include "catalogue/ini_file.h"
#include "catalogue/node_mgr.h"
#include "catalogue/subscription_refresh.h"
#include "catalogue/subscriptions.h"
#include "catalogue/settings.h"
#include "crypto/ssr/auth_data.h"
#include "helper/client.h"
#include "netconf/proxy_modes.h"
#include "platform/crash.h"
#include "service/ss_manager.h"

namespace vantor::app {
namespace {

// What a killed run of this user left on the host: the helper puts it back.
// Without a helper there is nothing of ours to put back (nobody could have
// made the changes).
void cleanupHostLeftovers(std::vector<std::string>& report) {
  std::string error;
  auto helper = helper::HelperClient::open(error);
  if (!helper) return;
  Json::Value request, answer;
  request["op"] = "cleanup";
  if (!helper->call(request, answer, error)) report.push_back(error);
  for (const Json::Value& line : answer["report"]) report.push_back(line.asString());
}

}  // namespace

std::vector<Ipv4Network> chinaNetworks() {
  std::vector<Ipv4Network> out;
  std::string text;
  bool plain = true;
  if (!readRuleFile(paths::shippedRulesDir() + "/china_only.rules", text, plain)) return out;
  std::size_t start = text.find('\n');
  while (start != std::string::npos && start < text.size()) {
    std::size_t end = text.find('\n', start + 1);
    std::string line = text.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) {
      NetworkEntry entry = parseNetworkLine(line);
      if (entry.address != 0xFFFFFFFFu) out.push_back({entry.address, static_cast<uint8_t>(entry.prefix)});
    }
    start = end;
  }
  return out;
}

CVexorApp::CVexorApp() : instance_(std::make_unique<CInstance>(paths::runtimeDir())) { installServiceFetchRelay(); }

CVexorApp::~CVexorApp() {
  // The control endpoint's thread calls the controller: it ends first.
  instance_->stop();
  if (refresher_.joinable()) refresher_.join();
  controller_.reset();
  backend_.reset();
  events_.stopThread();
}

CVexorApp::Outcome CVexorApp::start(std::string& error, std::vector<std::string>& report) {
  platform::installCrashHandler(paths::logDir(), kVersionText);
  if (!paths::ensureConfigFolders(error) || !paths::ensureRuntimeDir(error)) return Outcome::Failed;

  switch (instance_->acquire(error)) {
    case CInstance::Start::First:
      break;
    case CInstance::Start::AlreadyRunning: {
      std::string answer;
      sendControlRequest(paths::runtimeDir(), "show", answer, 5000);
      return Outcome::AlreadyRunning;
    }
    case CInstance::Start::Failed:
      return Outcome::Failed;
  }

  initLanguage(paths::langDir(), paths::configFile("language.ini"));

  // What a save killed half-way left behind.
  removeStaleConfigTempFiles(paths::configDir());
  std::string settingsError;
  if (!loadSettings(&settingsError)) report.push_back("settings: " + settingsError);
  pacText_ = loadPacScript(paths::configFile("pac.txt"), paths::configFile("userpac.txt"), chinaNetworks());
  sodiumReady_ = sodium_init() >= 0;
  std::string catalogueError;
  if (!CNodeMgr::instance().loadNodes(&catalogueError)) report.push_back("nodes: " + catalogueError);
  CNodeMgr::instance().writeLocalHostInfo();
  if (!CSubscriptionMgr::instance().loadSubscriptions(&catalogueError))
    report.push_back("subscriptions: " + catalogueError);
  CEventMgr::instance().loadEvents();
  fileWarnings_ = takeConfigFileWarnings();
  report.insert(report.end(), fileWarnings_.begin(), fileWarnings_.end());
  InitAuthData();
  // Due subscriptions are fetched beside the rest of the start-up: a slow
  // server must not hold up the connection.
  refresher_ = std::thread([this] {
    bool changed = false;
    for (const RefreshOutcome& outcome :
         refreshDueSubscriptions(catalogue_.subscriptions(), catalogue_.nodes(), std::time(nullptr)))
      changed = changed || outcome.added > 0 || outcome.removed > 0;
    if (changed) post(CoreEvent::kCatalogueChanged);
  });

  // What an earlier run left behind: its routes, TUN interface, DNS and
  // desktop proxy settings.
  cleanupHostLeftovers(report);
  std::vector<std::string> proxyReport;
  systemProxy().restore(proxyReport);
  report.insert(report.end(), proxyReport.begin(), proxyReport.end());
  return Outcome::Ready;
}

bool CVexorApp::startServices(std::string& error) {
  if (!service_.running() && !service_.start(nullptr, nullptr, 0)) {
    error = tr("Local service of SSR started failed, restart this program and retry it.");
    return false;
  }
  CHttpProxy& http = localHttpProxy();
  http.setPacText(pacText_);
  if (start_privoxy(5, "127.0.0.1", service_.port(), 0, 0, "127.0.0.1", 0, "unset") != 0) {
    error = tr("HTTP started failed, restart this program and retry it.");
    return false;
  }
  return true;
}

uint16_t CVexorApp::httpProxyPort() const { return localHttpProxy().port(); }

std::optional<TrafficNow> CVexorApp::traffic(bool connected) {
  CNodeMgr& store = catalogue_.nodes();
  CNodeInfo* node = store.selectedNode();
  if (!node) return std::nullopt;
  TrafficNow now;
  now.total = store.totalTrafficText();
  now.rate = connected ? node->rateText() : std::string("0 B/s");
  now.connections = service_.liveConnections();
  return now;
}

void CVexorApp::openConnection() {
  if (controller_) return;
  backend_ = std::make_unique<CProgramBackend>();
  openConnection(*backend_);
}

void CVexorApp::openConnection(IConnectionBackend& backend) {
  if (controller_) return;
  connectionBackend_ = &backend;
  controller_ = std::make_unique<CConnectionController>(backend, *this);
}

void CVexorApp::closeConnection() {
  controller_.reset();
  connectionBackend_ = nullptr;
  backend_.reset();
}

void CVexorApp::detectNetwork(bool wait) {
  NetworkFacts facts;
  connectionBackend_->detectConnections(facts);
  controller_->setNetworkFacts(facts);
  if (facts.tapCount < 1) {
    controller_->startDriverReinstall();
    if (wait) controller_->waitForWorker(-1);
  }
}

int32_t CVexorApp::addTransientNode(const NodeParams& params) {
  if (!backend_) return -1;
  return backend_->addTransientNode(std::make_unique<CNodeInfo>(0, params));
}

CNodeInfo* CVexorApp::findNode(int32_t id) { return connectionBackend_ ? connectionBackend_->findNode(id) : nullptr; }

std::vector<std::string> CVexorApp::takeReport() {
  return backend_ ? backend_->takeReport() : std::vector<std::string>{};
}

void CVexorApp::undoHostChanges() {
  if (backend_) backend_->undoHostChanges();
}

bool CVexorApp::serveControl(std::function<void()> disconnected, std::string& error) {
  return instance_->serve(
      [this, disconnected](const std::string& verb, std::string& answer) {
        if (verb == "show") {
          onShowWindow();
          return true;
        }
        if (!controller_) return false;
        if (verb == "status") {
          answer = app::statusText(*controller_);
          return true;
        }
        if (verb == "disconnect") {
          if (disconnected) disconnected();
          if (controller_->disconnectCommand()) controller_->waitForWorker(60000);
          answer = std::string("state: ") + stateName(controller_->state()) + "\n";
          return true;
        }
        return false;
      },
      error);
}

void CVexorApp::post(CoreEvent::Kind kind, std::function<void(CoreEvent&)> fill) {
  CoreEvent event;
  event.kind = kind;
  if (fill) fill(event);
  events_.post(std::move(event));
}

void CVexorApp::onStatus(const std::string& text) {
  post(CoreEvent::kStatus, [&](CoreEvent& e) { e.text = text; });
}
void CVexorApp::onMessage(const std::string& text) {
  post(CoreEvent::kMessage, [&](CoreEvent& e) { e.text = text; });
}
void CVexorApp::onStateChanged(int state) {
  post(CoreEvent::kState, [&](CoreEvent& e) { e.state = state; });
}
void CVexorApp::onButton(const std::string& text, const std::string& tooltip) {
  post(CoreEvent::kButton, [&](CoreEvent& e) {
    e.text = text;
    e.tooltip = tooltip;
  });
}
void CVexorApp::onControlsEnabled(bool enabled) {
  post(CoreEvent::kControlsEnabled, [&](CoreEvent& e) { e.flag = enabled; });
}
void CVexorApp::onSummary(const StatusSummary& summary) {
  post(CoreEvent::kSummary, [&](CoreEvent& e) { e.summary = summary; });
}
void CVexorApp::onUdpWarning(bool visible, const std::string& tooltip) {
  post(CoreEvent::kUdpWarning, [&](CoreEvent& e) {
    e.flag = visible;
    e.tooltip = tooltip;
  });
}
void CVexorApp::onHideWindow() { post(CoreEvent::kHideWindow); }
void CVexorApp::onShowWindow() { post(CoreEvent::kShowWindow); }

}  // namespace vantor::app
