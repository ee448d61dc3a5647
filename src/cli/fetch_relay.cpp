// Subscriptions fetched through a Shadowsocks or ShadowsocksR node go through
// the local proxy service, started in this process for the one fetch.
#include <memory>
#include <string>

#include "catalogue/subscription_refresh.h"
#include "service/ss_manager.h"

namespace {

using namespace vantor;

class ServiceRelay : public LocalRelay {
 public:
  ~ServiceRelay() override {
    if (!started_) return;
    CSSManager& service = CSSManager::instance();
    service.stopService();
    service.disableRelay();
    // A session still running holds the node: it stays until the process ends.
    if (!service.waitForSessions(1000)) node_.release();
  }

  bool start(const NodeParams& params, uint16_t& port, std::string& error) override {
    CSSManager& service = CSSManager::instance();
    if (service.isServiceRunning()) {
      error = "the local service already runs for another node";
      return false;
    }
    node_ = std::make_unique<CNodeInfo>(0, params);
    if (!service.setCurrentNode(node_.get())) {
      error = "the fetch proxy node is incomplete";
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

const bool installed = [] {
  setLocalRelayFactory([] { return std::make_unique<ServiceRelay>(); });
  return true;
}();

}  // namespace
