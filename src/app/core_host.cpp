#include "app/core_host.h"

#include "catalogue/subscription_refresh.h"
#include "crypto/cryptor.h"
#include "crypto/ssr/plugins.h"
#include "helper/client.h"
#include "netconf/host_setup.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/routes.h"
#include "platform/signals.h"
#include "platform/termination_events.h"
#include "service/ss_manager.h"

namespace vantor::app {

void blockTerminationSignals() { platform::blockTerminationSignals(); }
int waitTerminationSignalFor(int ms) { return platform::waitTerminationSignalFor(ms); }
int waitTerminationSignal() { return platform::waitTerminationSignal(); }
std::string tunInterfaceName() { return tunConnectionName(); }
std::vector<std::pair<int, std::string>> listInterfaces() { return platform::listInterfaces(); }
bool readFile(const std::string& path, std::string& content, std::string& error, std::size_t limit) {
  return platform::readFile(path, content, error, limit);
}
bool stdoutIsTerminal() { return platform::stdoutIsTerminal(); }

bool cleanupHostLeftovers(std::vector<std::string>& report, std::string& error) {
  auto helper = helper::HelperClient::open(error);
  if (!helper) return false;
  Json::Value request, answer;
  request["op"] = "cleanup";
  bool ok = helper->call(request, answer, error);
  for (const Json::Value& line : answer["report"]) report.push_back(line.asString());
  return ok;
}

std::vector<std::string> cipherNames() {
  std::vector<std::string> list;
  GetMethodNames(list);
  return list;
}

std::vector<std::pair<std::string, bool>> protocolNames() {
  std::vector<std::pair<std::string, bool>> list;
  GetProtocolNames(list);
  return list;
}

std::vector<std::pair<std::string, bool>> obfsNames() {
  std::vector<std::pair<std::string, bool>> list;
  GetObfsNames(list);
  return list;
}

bool CLocalService::setNode(CNodeInfo* node) { return CSSManager::instance().setCurrentNode(node); }
bool CLocalService::start(const char* user, const char* password, uint16_t port) {
  return CSSManager::instance().startService(user, password, port);
}
CNodeInfo* CLocalService::useNodeFrom(const std::string& link, std::string& error) {
  auto params = parseNodeUri(link, error);
  if (!params) return nullptr;
  error = unsupportedNodeReason(*params);
  if (!error.empty()) return nullptr;
  auto node = std::make_unique<CNodeInfo>(1, *params);
  // A plugin node's program starts here: its failure is the error.
  if (!CSSManager::instance().setCurrentNode(node.get(), &error)) return nullptr;
  linkNode_ = std::move(node);
  return linkNode_.get();
}

void CLocalService::stop() { CSSManager::instance().stopService(); }
bool CLocalService::running() const { return CSSManager::instance().isServiceRunning(); }
uint16_t CLocalService::port() const { return CSSManager::instance().servicePort(); }
uint32_t CLocalService::lastError() const { return CSSManager::instance().lastError(); }
int CLocalService::liveConnections() const { return CSSManager::instance().liveConnectionCount(); }
bool CLocalService::waitForSessions(int timeoutMs) { return CSSManager::instance().waitForSessions(timeoutMs); }
void CLocalService::enableRelay() { CSSManager::instance().enableRelay(); }
void CLocalService::disableRelay() { CSSManager::instance().disableRelay(); }

namespace {

class ServiceRelay : public LocalRelay {
 public:
  ~ServiceRelay() override {
    if (!started_) return;
    CSSManager& service = CSSManager::instance();
    service.stopService();
    service.disableRelay();
    // Sessions still running hold their own snapshot of the node: the
    // record can go with this object.
    service.waitForSessions(1000);
  }

  bool start(const NodeParams& params, uint16_t& port, std::string& error) override {
    CSSManager& service = CSSManager::instance();
    if (service.isServiceRunning()) {
      error = "the local service already runs for another node";
      return false;
    }
    node_ = std::make_unique<CNodeInfo>(0, params);
    std::string why;
    if (!service.setCurrentNode(node_.get(), &why)) {
      error = "the fetch proxy node is unusable: " + why;
      return false;
    }
    if (!service.startService(nullptr, nullptr, 0)) {
      error = "Local service of SSR started failed (error " + std::to_string(service.lastError()) + ")";
      return false;
    }
    service.enableRelay();
    started_ = true;
    port = service.servicePort();
    return true;
  }

 private:
  std::unique_ptr<CNodeInfo> node_;
  bool started_ = false;
};

}  // namespace

void installServiceFetchRelay() {
  setLocalRelayFactory([] { return std::make_unique<ServiceRelay>(); });
}

}  // namespace vantor::app
