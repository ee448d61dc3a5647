// The connection controller's backend in the running program: the real
// settings record, proxy modes, local service, packet tunnel, node tester,
// route manager and host configuration, HTTP proxy and system proxy.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/controller_backend.h"

namespace vantor::app {

class CProgramBackend : public IConnectionBackend {
 public:
  CProgramBackend();
  ~CProgramBackend() override;

  // A node that lives only in this run (given on the command line); the
  // backend keeps it and hands out its id.
  int32_t addTransientNode(std::unique_ptr<CNodeInfo> node);

  ControllerSettings settings() override;
  void applyDnsChoice() override;
  void setTapAdapterConfigured() override;
  void setLastUsedNodeId(int32_t id) override;
  void saveSettings() override;

  CNodeInfo* findNode(int32_t id) override;
  CNodeInfo* selectedNode() override;
  NodeRef selectedSnapshot() override;
  void selectNode(int32_t id) override;
  int modeCount() override;
  bool setCurrentMode(int index) override;
  bool currentMode(ModeInfo& mode) override;
  int loadNetworks() override;
  void saveSubscriptions() override;
  void runEvents(int type) override;

  bool setCurrentNode(NodeRef node) override;
  bool startPlugin(NodeRef& node, std::string& error) override;
  void stopPlugin() override;
  void enableRelay() override;
  void disableRelay() override;
  uint16_t servicePort() override;
  void stopService() override;
  void clearHostCache() override;
  void renewClientIdentity() override;
  bool startTunnel(const std::string& interfaceName, uint16_t servicePort, bool udpEnabled) override;
  void stopTunnel() override;

  bool testNode(const NodeRef& node, bool udp) override;
  bool exitAddress(const NodeRef& node, const std::string& url, std::string& address) override;
  std::vector<std::string> exitAddressServices() override;
  bool resolve(const std::string& host, std::string& address) override;
  bool isLocalAddress(const std::string& address) override;
  FailureReason takeFailureReason() override;
  // Records why a step failed, for the controller's next failure message
  // (e.g. a privileged helper's refusal: FailureKind::kNoPermission).
  void noteFailure(FailureReason reason);

  bool detectConnections(NetworkFacts& facts) override;
  bool tunAvailable() override;
  void tunInterface(NetworkFacts& facts) override;
  bool currentAddress(const NetworkFacts& facts, std::string& address) override;
  bool interfaceDown(int32_t ifIndex) override;
  void tapStaticAddress(const NetworkFacts& facts) override;
  void setTapDns(const NetworkFacts& facts, const std::string& primary, const std::string& secondary) override;
  void setTapMetric(const NetworkFacts& facts, int metric) override;
  void tapReset(const NetworkFacts& facts) override;
  void replaceDns(const std::string& connection, const std::string& primary, const std::string& secondary) override;
  void flushResolverCache() override;
  bool setRoutePaths(const NetworkFacts& facts) override;
  void installRoutes(const NodeRef& node, const std::string& serverAddress, const std::string& exitAddress,
                     bool udpEnabled) override;
  void removeAllRoutes() override;
  bool installDriver() override;
  bool removeDriver(bool forced) override;

  bool httpProxyStarted() override;
  bool changeSystemProxy(int flag) override;
  bool removeSystemProxy() override;

  void sleepMs(int ms) override;
  int64_t nowMs() override;

  // Takes back what is still recorded as changed on the host (the TUN
  // interface made at start-up, after a browser-only connection): at exit.
  void undoHostChanges();

  // What the host configuration reported (undo steps, failures) since the
  // last call.
  std::vector<std::string> takeReport();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vantor::app
