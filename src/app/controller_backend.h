// What the connection controller needs from the rest of the program, one
// call per operation it uses: the settings record, the node store, proxy
// modes, event actions, the local service, the packet tunnel, the node
// tester, the host's network configuration, the local HTTP proxy and the
// system proxy. The program's backend calls the real subsystems; tests give
// the controller a scripted one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/node_info.h"
#include "service/failure_reason.h"

namespace vantor::app {

// The settings keys the controller reads (their INI names).
struct ControllerSettings {
  bool bDontProxyUDP = false;
  bool ForceProxyDNSServer = true;
  bool AutomaticallyEstablishConnection = false;
  bool AutomaticHideWindow = true;
  int32_t DelayedConnect = 10;
  int32_t LastUsedNodeId = 0;
  std::string public_dns1 = "208.67.222.222";
  std::string public_dns2 = "208.67.220.220";
  // Connect again after the network monitor disconnected because a link
  // went down, once a default route is back.
  bool bReconnectAfterLinkLoss = true;
};

// What adapter discovery found (the network-state keys of the settings).
struct NetworkFacts {
  std::string tap_connection_name;
  std::string tap_connection_guid;
  int32_t tap_connection_index = 0;
  int tapCount = 0;
  std::string local_connection_name;
  std::string local_connection_primary_dns;
  std::string local_connection_second_dns;
  std::string local_connection_shortest_r_nexthop;
  int32_t local_connection_shortest_r_ifindex = -1;
  bool local_connection_shortest_r_directhop = false;
};

struct ModeInfo {
  int index = 0;
  std::string name;
  int32_t kind = 0;  // 0 global, 1/2 rule file, 3/4 browser only
  bool routeAll = false;
  bool usesTunnel() const { return kind == 0 || kind == 1 || kind == 2; }
};

class IConnectionBackend {
 public:
  virtual ~IConnectionBackend() = default;

  // Settings.
  virtual ControllerSettings settings() = 0;
  // Before the DNS pair is used: an empty public_dns1 gets the default and
  // RecommendedProxyDNS is set.
  virtual void applyDnsChoice() = 0;
  virtual void setTapAdapterConfigured() = 0;  // tap_adapter_configed = 1, saved
  virtual void setLastUsedNodeId(int32_t id) = 0;
  virtual void saveSettings() = 0;

  // Node store and proxy modes.
  virtual CNodeInfo* findNode(int32_t id) = 0;
  virtual CNodeInfo* selectedNode() = 0;
  // The selected node's connection parameters as they are now; what a
  // connect works with from then on.
  virtual NodeRef selectedSnapshot() {
    CNodeInfo* node = selectedNode();
    return node ? node->snapshot() : nullptr;
  }
  virtual void selectNode(int32_t id) = 0;
  virtual int modeCount() = 0;
  virtual bool setCurrentMode(int index) = 0;
  virtual bool currentMode(ModeInfo& mode) = 0;
  virtual int loadNetworks() = 0;  // of the current mode
  virtual void saveSubscriptions() = 0;

  // Event actions: 0 before connect, 1 after connect, 2 before and 3 after
  // disconnect.
  virtual void runEvents(int type) = 0;

  // Local service and packet tunnel.
  virtual bool setCurrentNode(NodeRef node) = 0;
  virtual void enableRelay() = 0;
  virtual void disableRelay() = 0;  // relay off, then a 500 ms pause
  virtual uint16_t servicePort() = 0;
  virtual void stopService() = 0;
  virtual void clearHostCache() = 0;
  virtual void renewClientIdentity() = 0;  // InitAuthData
  // A Shadowsocks node with a plugin: runs its plugin program for the
  // connection and gives the node back as its TCP reaches the program (UDP
  // and routes still go to the server). False with `error` when the program
  // cannot run. Nodes without a plugin pass unchanged.
  virtual bool startPlugin(NodeRef& /*node*/, std::string& /*error*/) { return true; }
  // Ends the connection's plugin program, if one runs.
  virtual void stopPlugin() {}
  virtual bool startTunnel(const std::string& interfaceName, uint16_t servicePort, bool udpEnabled) = 0;
  virtual void stopTunnel() = 0;  // tun2socks_stop(wait)

  // Node tester (kind 6: the Shadowsocks tester, 4 and 5: the SOCKS one).
  virtual bool testNode(const NodeRef& node, bool udp) = 0;
  virtual bool exitAddress(const NodeRef& node, const std::string& url, std::string& address) = 0;
  virtual std::vector<std::string> exitAddressServices() = 0;
  // The system resolver's first IPv4 address of `host`, dotted.
  virtual bool resolve(const std::string& host, std::string& address) = 0;
  // Null, "localhost", this host's name, 127.x, or the first three octets
  // of one of this host's addresses.
  virtual bool isLocalAddress(const std::string& address) = 0;
  // Why the latest failed step failed (a node test, a host change), when
  // that is known; taking it clears it.
  virtual FailureReason takeFailureReason() { return {}; }

  // Host network configuration.
  virtual bool detectConnections(NetworkFacts& facts) = 0;  // also saves the settings
  // Whether a TUN interface can be had for a connect now. Asked afresh before
  // every connect and driver install: an interface may come and go with each
  // connection (on Linux the helper creates it per connect and deletes it at
  // disconnect; "installed" means the TUN device can be had through it).
  virtual bool tunAvailable() {
    NetworkFacts facts;
    detectConnections(facts);
    return !facts.tap_connection_name.empty() && !facts.tap_connection_guid.empty() && facts.tapCount >= 1;
  }
  // After tapStaticAddress: the name and index of the interface it set up
  // (made for this connect, so unknown to the detection before it).
  virtual void tunInterface(NetworkFacts& /*facts*/) {}
  virtual bool currentAddress(const NetworkFacts& facts, std::string& address) = 0;  // of the TUN interface
  virtual bool interfaceDown(int32_t ifIndex) = 0;
  virtual void tapStaticAddress(const NetworkFacts& facts) = 0;  // 10.198.75.60/24, gateway .61, metric 5000
  virtual void setTapDns(const NetworkFacts& facts, const std::string& primary, const std::string& secondary) = 0;
  virtual void setTapMetric(const NetworkFacts& facts, int metric) = 0;  // IPv4 and IPv6
  virtual void tapReset(const NetworkFacts& facts) = 0;
  virtual void replaceDns(const std::string& connection, const std::string& primary, const std::string& secondary) = 0;
  virtual void flushResolverCache() = 0;
  virtual bool setRoutePaths(const NetworkFacts& facts) = 0;
  virtual void installRoutes(const NodeRef& node, const std::string& serverAddress, const std::string& exitAddress,
                             bool udpEnabled) = 0;
  virtual void removeAllRoutes() = 0;
  virtual bool installDriver() = 0;
  virtual bool removeDriver(bool forced) = 0;

  // Local HTTP proxy and system proxy.
  virtual bool httpProxyStarted() = 0;
  virtual bool changeSystemProxy(int flag) = 0;  // 1: with the configuration script
  virtual bool removeSystemProxy() = 0;

  // Time, so tests need not wait for real.
  virtual void sleepMs(int ms) = 0;
  virtual int64_t nowMs() = 0;
};

}  // namespace vantor::app
