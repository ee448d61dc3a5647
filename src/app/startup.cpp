#include "app/startup.h"

#include <sodium.h>

#include <ctime>

#include "app/http_proxy.h"
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

CVexorApp::CVexorApp() : instance_(std::make_unique<CInstance>(paths::runtimeDir())) {}
CVexorApp::~CVexorApp() {
  if (refresher_.joinable()) refresher_.join();
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
  refresher_ = std::thread(
      [] { refreshDueSubscriptions(CSubscriptionMgr::instance(), CNodeMgr::instance(), std::time(nullptr)); });

  // What an earlier run left behind: its routes, TUN interface, DNS and
  // desktop proxy settings.
  cleanupHostLeftovers(report);
  std::vector<std::string> proxyReport;
  systemProxy().restore(proxyReport);
  report.insert(report.end(), proxyReport.begin(), proxyReport.end());
  return Outcome::Ready;
}

bool CVexorApp::startServices(std::string& error) {
  CSSManager& service = CSSManager::instance();
  if (!service.isServiceRunning() && !service.startService(nullptr, nullptr, 0)) {
    error = tr("Local service of SSR started failed, restart this program and retry it.");
    return false;
  }
  CHttpProxy& http = localHttpProxy();
  http.setPacText(pacText_);
  if (start_privoxy(5, "127.0.0.1", service.servicePort(), 0, 0, "127.0.0.1", 0, "unset") != 0) {
    error = tr("HTTP started failed, restart this program and retry it.");
    return false;
  }
  return true;
}

}  // namespace vantor::app
