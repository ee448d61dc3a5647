#include "app/program_backend.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "app/http_proxy.h"
#include "app/system_proxy.h"
#include "catalogue/app_paths.h"
#include "catalogue/events.h"
#include "catalogue/node_mgr.h"
#include "catalogue/subscriptions.h"
#include "catalogue/settings.h"
#include "crypto/ssr/auth_data.h"
#include "diag/node_testing.h"
#include "helper/client.h"
#include "netconf/additional_routes.h"
#include "netconf/host_setup.h"
#include "netconf/network_settings.h"
#include "netconf/proxy_modes.h"
#include "netconf/route_plan.h"
#include "platform/net.h"
#include "platform/routes.h"
#include "platform/thread.h"
#include "platform/tun.h"
#include "service/host_cache.h"
#include "service/ss_manager.h"
#include "tunnel/core/tun2socks.h"

namespace vantor::app {
namespace {

TestTargets testTargets() {
  std::lock_guard<std::mutex> guard(settingsMutex());
  const Settings& s = vantor::settings();
  return TestTargets::fromSettings(s.TestSites, s.UdpTestPairs, s.ExitAddressServices);
}

// A tester for the node's kind; null for kinds without one (HTTP nodes:
// the controller then refuses them at the TCP test).
std::unique_ptr<CTestingBase> testerFor(const NodeRef& node) {
  std::unique_ptr<CTestingBase> tester;
  if (!node) return tester;
  if (node->type == kNodeShadowsocks)
    tester = std::make_unique<CSSRClientTesting>(nullptr, nullptr, 1);
  else if (node->type == kNodeSocks4 || node->type == kNodeSocks5)
    tester = std::make_unique<CS45ClientTesting>(nullptr, nullptr, 1);
  if (tester) tester->setTargets(testTargets());
  return tester;
}

}  // namespace

// Nodes given on the command line live beside the store, under ids the
// store never hands out, and are not written to the node file.
constexpr int32_t kTransientIdBase = 1 << 30;

struct CProgramBackend::Impl {
  std::mutex lock;
  std::vector<std::unique_ptr<CNodeInfo>> nodes;
  int32_t nextId = kTransientIdBase;
  int32_t selected = -1;  // a transient node's id while one is selected
  // Every host change goes through the privileged helper, reached at the
  // first one; its session holds the TUN interface it created for us.
  std::unique_ptr<helper::HelperClient> helper;
  std::unique_ptr<helper::CHelperRouteMgr> routes;
  std::string tunName;
  NetworkState state;
  bool configured = false;  // the TUN interface and DNS are set up for a connection
  bool ipv6 = false;        // IPv6 goes through the tunnel on this connection
  std::vector<std::string> report;
  FailureReason failure;  // why the latest step failed, for the controller

  // A host change that failed: reported, and when it failed for lack of
  // rights (the helper's refusal, or the system's EPERM/EACCES in its
  // answer) kept as the reason the controller shows.
  void hostFailed(const std::string& error, bool denied) {
    report.push_back(error);
    if (denied || isPermissionErrorText(error)) failure = {FailureKind::kNoPermission, {}};
  }

  // Under `lock`. False (with the reason in the report) when there is no
  // helper to be had.
  bool ensureHelper() {
    if (helper) return true;
    std::string error;
    bool denied = false;
    helper = helper::HelperClient::open(error, &denied);
    if (!helper) {
      hostFailed(error, denied);
      return false;
    }
    routes = std::make_unique<helper::CHelperRouteMgr>(*helper);
    CRouterMgr::setInstance(routes.get());
    return true;
  }
  bool call(const Json::Value& request, Json::Value& answer, const std::string& what, long* handle = nullptr) {
    if (!ensureHelper()) return false;
    std::string error;
    bool denied = false;
    if (helper->call(request, answer, error, handle, &denied)) return true;
    hostFailed(what + ": " + error, denied);
    return false;
  }
  bool callOp(const char* op, Json::Value& answer, const std::string& what) {
    Json::Value request;
    request["op"] = op;
    return call(request, answer, what);
  }
  void appendReport(const Json::Value& answer) {
    for (const Json::Value& line : answer["report"]) report.push_back(line.asString());
  }
  // Whether the helper can give us the TUN device. `quiet`: a probe whose
  // failure is no step of a connect and leaves no report or reason behind.
  bool tunDevice(bool quiet) {
    if (!helper) {
      if (quiet) {
        std::string error;
        helper = helper::HelperClient::open(error);
        if (!helper) return false;
        routes = std::make_unique<helper::CHelperRouteMgr>(*helper);
        CRouterMgr::setInstance(routes.get());
      } else if (!ensureHelper()) {
        return false;
      }
    }
    Json::Value request, answer;
    request["op"] = "driver";
    if (quiet) {
      std::string error;
      return helper->call(request, answer, error);
    }
    return call(request, answer, "cannot provide the TUN device");
  }
  void undo() {
    configured = false;
    ipv6 = false;
    // The helper's undo deletes the interface it made for the connection.
    tunName.clear();
    state.tunName.clear();
    state.tunIndex = 0;
    if (!helper) return;
    Json::Value answer;
    if (callOp("undo", answer, "cannot undo the host changes")) appendReport(answer);
  }
};

CProgramBackend::CProgramBackend() : impl_(std::make_unique<Impl>()) {
  CProxyModeMgr::instance().scanRules({paths::shippedRulesDir(), paths::userRulesDir()}, false);
  CAdditionalRouteMgr::instance().load();
}

CProgramBackend::~CProgramBackend() {
  CRouterMgr::setInstance(nullptr);
  impl_->routes.reset();
  impl_->helper.reset();  // the session ends: whatever is left is put back
}

int32_t CProgramBackend::addTransientNode(std::unique_ptr<CNodeInfo> node) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  node->id = impl_->nextId++;
  impl_->nodes.push_back(std::move(node));
  return impl_->nodes.back()->id;
}

void CProgramBackend::undoHostChanges() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->undo();
}

std::vector<std::string> CProgramBackend::takeReport() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return std::exchange(impl_->report, {});
}

// ---- settings ----------------------------------------------------------------

ControllerSettings CProgramBackend::settings() {
  std::lock_guard<std::mutex> guard(settingsMutex());
  const Settings& s = vantor::settings();
  ControllerSettings c;
  c.bDontProxyUDP = s.bDontProxyUDP;
  c.ForceProxyDNSServer = s.ForceProxyDNSServer;
  c.AutomaticallyEstablishConnection = s.AutomaticallyEstablishConnection;
  c.AutomaticHideWindow = s.AutomaticHideWindow;
  c.DelayedConnect = s.DelayedConnect;
  c.LastUsedNodeId = s.LastUsedNodeId;
  c.public_dns1 = s.public_dns1;
  c.public_dns2 = s.public_dns2;
  c.bReconnectAfterLinkLoss = s.bReconnectAfterLinkLoss;
  return c;
}

void CProgramBackend::applyDnsChoice() {
  std::lock_guard<std::mutex> guard(settingsMutex());
  vantor::applyDnsChoice(vantor::settings());
}

void CProgramBackend::setTapAdapterConfigured() {
  {
    std::lock_guard<std::mutex> guard(settingsMutex());
    vantor::settings().tap_adapter_configed = true;
  }
  saveSettings();
}

void CProgramBackend::setLastUsedNodeId(int32_t id) {
  if (id >= kTransientIdBase) return;  // not in the store: nothing to come back to
  std::lock_guard<std::mutex> guard(settingsMutex());
  vantor::settings().LastUsedNodeId = id;
}

void CProgramBackend::saveSettings() {
  std::string error;
  if (!vantor::saveSettings(&error)) {
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->report.push_back("cannot save the settings: " + error);
  }
}

// ---- nodes, modes, events ----------------------------------------------------

CNodeInfo* CProgramBackend::findNode(int32_t id) {
  if (id < kTransientIdBase) return id < 0 ? nullptr : CNodeMgr::instance().find(id);
  std::lock_guard<std::mutex> guard(impl_->lock);
  for (auto& node : impl_->nodes)
    if (node->id == id) return node.get();
  return nullptr;
}

CNodeInfo* CProgramBackend::selectedNode() {
  int32_t transient;
  {
    std::lock_guard<std::mutex> guard(impl_->lock);
    transient = impl_->selected;
  }
  return transient >= 0 ? findNode(transient) : CNodeMgr::instance().selectedNode();
}

NodeRef CProgramBackend::selectedSnapshot() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  if (impl_->selected < 0) return CNodeMgr::instance().selectedSnapshot();
  for (auto& node : impl_->nodes)
    if (node->id == impl_->selected) return node->snapshot();
  return nullptr;
}

void CProgramBackend::selectNode(int32_t id) {
  if (id == -1 || !findNode(id)) return;
  std::lock_guard<std::mutex> guard(impl_->lock);
  if (id >= kTransientIdBase) {
    impl_->selected = id;
  } else {
    impl_->selected = -1;
    CNodeMgr::instance().select(id);
  }
}

int CProgramBackend::modeCount() { return static_cast<int>(CProxyModeMgr::instance().modes().size()); }

bool CProgramBackend::setCurrentMode(int index) { return CProxyModeMgr::instance().setCurrentMode(index); }

bool CProgramBackend::currentMode(ModeInfo& info) {
  CProxyModeMgr& modes = CProxyModeMgr::instance();
  if (modes.modes().empty()) return false;
  const ProxyMode& mode = modes.currentMode();
  info.index = modes.currentIndex();
  info.name = mode.name;
  info.kind = mode.kind;
  info.routeAll = mode.routeAll;
  return true;
}

int CProgramBackend::loadNetworks() {
  CProxyModeMgr& modes = CProxyModeMgr::instance();
  return static_cast<int>(modes.loadNetworks(modes.currentMode()));
}

void CProgramBackend::saveSubscriptions() { CSubscriptionMgr::instance().saveSubscriptions(); }

void CProgramBackend::runEvents(int type) { CEventMgr::instance().runEvents(type); }

// ---- local service and tunnel ------------------------------------------------

bool CProgramBackend::setCurrentNode(NodeRef node) { return CSSManager::instance().setCurrentNode(std::move(node)); }
bool CProgramBackend::startPlugin(NodeRef& node, std::string& error) {
  NodeRef plugged = CSSManager::instance().runPlugin(node, error);
  if (!plugged) return false;
  node = std::move(plugged);
  return true;
}
void CProgramBackend::stopPlugin() { CSSManager::instance().stopPlugin(); }
void CProgramBackend::enableRelay() { CSSManager::instance().enableRelay(); }
void CProgramBackend::disableRelay() { CSSManager::instance().disableRelay(); }
uint16_t CProgramBackend::servicePort() { return CSSManager::instance().servicePort(); }

void CProgramBackend::stopService() {
  localHttpProxy().stop();
  CSSManager::instance().stopService();
}

void CProgramBackend::clearHostCache() { hostCache().clear(); }
void CProgramBackend::renewClientIdentity() { InitAuthData(); }

bool CProgramBackend::startTunnel(const std::string& interfaceName, uint16_t port, bool udpEnabled) {
  tunnel::tun2socks_set_handle_signals(false);
  // Every connect takes the window from the settings (0: the stack's own);
  // the tunnel clamps it to the range it supports.
  tunnel::TunnelSettings tunnelSettings = tunnel::tun2socks_settings();
  {
    std::lock_guard<std::mutex> guard(settingsMutex());
    tunnelSettings.tcpWindow = static_cast<uint32_t>(std::max(0, vantor::settings().nTcpWindow));
  }
  tunnel::tun2socks_set_settings(tunnelSettings);
  std::string name = interfaceName;
  bool ipv6 = false;
  {
    // The helper opens the device; the tunnel takes its descriptor.
    std::lock_guard<std::mutex> guard(impl_->lock);
    Json::Value request, answer;
    request["op"] = "tun_open";
    request["offload"] = tunnel::tun2socks_settings().deviceOffload;
    long handle = -1;
    if (!impl_->call(request, answer, "cannot open the TUN interface", &handle)) return false;
    if (handle < 0) {
      impl_->report.push_back("the network helper sent no TUN descriptor");
      return false;
    }
    name = answer["name"].asString();
    platform::tunProvideHandle(name, handle, answer["offload"].asBool());
    ipv6 = impl_->ipv6;
  }
  return tunnel::startTunnel(name, port, udpEnabled, ipv6);
}

void CProgramBackend::stopTunnel() { tunnel::tun2socks_stop(true); }

// ---- node tester -------------------------------------------------------------

bool CProgramBackend::testNode(const NodeRef& node, bool udp) {
  auto tester = testerFor(node);
  if (!tester) return false;
  bool ok = tester->test(node, udp);
  if (!ok) noteFailure(tester->failureReason());
  return ok;
}

FailureReason CProgramBackend::takeFailureReason() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return std::exchange(impl_->failure, {});
}

void CProgramBackend::noteFailure(FailureReason reason) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->failure = std::move(reason);
}

bool CProgramBackend::exitAddress(const NodeRef& node, const std::string& url, std::string& address) {
  auto tester = testerFor(node);
  return tester && tester->exitAddress(node, url, address);
}

std::vector<std::string> CProgramBackend::exitAddressServices() { return testTargets().exitServices; }

bool CProgramBackend::resolve(const std::string& host, std::string& address) {
  // The node's IPv4 address when it has one, else its IPv6 address.
  platform::IpEndpoint value;
  if (!platform::resolveAddress(host, value)) return false;
  address = platform::formatIpAddress(value);
  return true;
}

bool CProgramBackend::isLocalAddress(const std::string& address) {
  return CNodeMgr::instance().isLocalAddress(address);
}

// ---- host network configuration ----------------------------------------------

bool CProgramBackend::detectConnections(NetworkFacts& facts) {
  NetworkState state;
  {
    std::lock_guard<std::mutex> guard(impl_->lock);
    vantor::detectConnections(state, impl_->tunName);
    // The interface is made per connect: between connections there is
    // none, and what counts is whether the helper can give us the device.
    state.tunCount = impl_->tunDevice(true) ? 1 : 0;
  }
  facts = NetworkFacts{};
  facts.tap_connection_name = state.tunName;
  facts.tap_connection_guid = state.tunName;  // Linux names interfaces, it has no adapter GUIDs
  facts.tap_connection_index = state.tunIndex;
  facts.tapCount = state.tunCount;
  facts.local_connection_name = state.localName;
  facts.local_connection_primary_dns = state.primaryDns;
  facts.local_connection_second_dns = state.secondDns;
  facts.local_connection_shortest_r_nexthop = state.defaultRoute.nextHop;
  facts.local_connection_shortest_r_ifindex = state.defaultRoute.ifIndex;
  facts.local_connection_shortest_r_directhop = state.defaultRoute.direct;
  {
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->state = state;
  }
  {
    std::lock_guard<std::mutex> guard(settingsMutex());
    storeNetworkState(state, vantor::settings());
  }
  saveSettings();
  return !state.defaultRoute.nextHop.empty() || state.defaultRoute.direct;
}

bool CProgramBackend::tunAvailable() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->tunDevice(true);
}

void CProgramBackend::tunInterface(NetworkFacts& facts) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  if (impl_->tunName.empty()) return;
  facts.tap_connection_name = impl_->tunName;
  facts.tap_connection_guid = impl_->tunName;
  facts.tap_connection_index = impl_->state.tunIndex;
}

bool CProgramBackend::currentAddress(const NetworkFacts& facts, std::string& address) {
  std::vector<platform::InterfaceAddress> addresses;
  int index = platform::interfaceIndex(facts.tap_connection_name);
  if (index <= 0 || !platform::interfaceAddresses(index, addresses) || addresses.empty()) return false;
  uint32_t wanted = 0;
  platform::parseIpv4(tunnel::kTunnelHostAddress, wanted);
  address = platform::formatIpv4(addresses.front().address);
  for (const auto& a : addresses)
    if (a.address == wanted) address = tunnel::kTunnelHostAddress;
  return true;
}

bool CProgramBackend::interfaceDown(int32_t ifIndex) { return vantor::interfaceDown(ifIndex); }

void CProgramBackend::tapStaticAddress(const NetworkFacts&) {
  bool wantIpv6;
  {
    std::lock_guard<std::mutex> guard(settingsMutex());
    wantIpv6 = vantor::settings().bIPv6;
  }
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->configured = true;
  impl_->ipv6 = false;
  Json::Value answer;
  if (!impl_->callOp("tun_configure", answer, "cannot configure the TUN interface")) return;
  impl_->tunName = answer["name"].asString();
  impl_->state.tunName = impl_->tunName;
  impl_->state.tunIndex = answer["index"].asInt();
  // IPv6 goes through the tunnel only where the host has it to lose;
  // everywhere else it stays blocked while connected.
  // A failure here is no failure of the connect: IPv6 is blocked instead.
  if (wantIpv6 && platform::hasIpv6Connectivity(impl_->state.tunIndex)) {
    Json::Value request, ipv6Answer;
    request["op"] = "tun_ipv6";
    std::string error;
    impl_->ipv6 = impl_->helper->call(request, ipv6Answer, error);
    if (!impl_->ipv6) impl_->report.push_back("IPv6 is blocked: the TUN interface took no IPv6 address: " + error);
  }
}

void CProgramBackend::setTapDns(const NetworkFacts&, const std::string& primary, const std::string& secondary) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  Json::Value answer;
  impl_->call(helper::dnsRequest({primary, secondary}, false), answer, "cannot set the tunnel's DNS servers");
}

void CProgramBackend::setTapMetric(const NetworkFacts&, int metric) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  vantor::setInterfaceMetric(impl_->state.tunIndex, static_cast<uint32_t>(metric));
}

void CProgramBackend::tapReset(const NetworkFacts&) {
  // Every change made for the connection (interface, address, gateway,
  // IPv6 block, DNS of both links or resolv.conf) was recorded by the
  // helper; undoing its record puts each back as it was.
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->undo();
}

void CProgramBackend::replaceDns(const std::string&, const std::string& primary, const std::string& secondary) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  // At disconnect the local connection's own servers came back with the
  // record's undo in tapReset; only a connection replaces them.
  if (!impl_->configured) return;
  Json::Value answer;
  impl_->call(helper::dnsRequest({primary, secondary}, true), answer, "cannot replace the DNS servers");
}

void CProgramBackend::flushResolverCache() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  Json::Value answer;
  if (impl_->helper) impl_->callOp("flush_dns", answer, "cannot flush the resolver cache");
}

bool CProgramBackend::setRoutePaths(const NetworkFacts& facts) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  if (!impl_->ensureHelper()) return false;
  return impl_->routes->setPaths(facts.local_connection_shortest_r_nexthop, facts.local_connection_shortest_r_ifindex,
                                 facts.local_connection_shortest_r_directhop, tunnel::kTunnelStackAddress,
                                 impl_->state.tunIndex, false);
}

void CProgramBackend::installRoutes(const NodeRef& node, const std::string& serverAddress,
                                    const std::string& exitAddress, bool udpEnabled) {
  RoutePlanInput plan;
  plan.serverAddress = serverAddress;
  plan.exitAddress = exitAddress;
  plan.udpEnabled = udpEnabled;
  {
    std::lock_guard<std::mutex> guard(settingsMutex());
    const Settings& s = vantor::settings();
    plan.publicDns1 = s.public_dns1;
    plan.publicDns2 = s.public_dns2;
    plan.forceProxyDnsServer = s.ForceProxyDNSServer;
  }
  plan.additionalRoutes = CAdditionalRouteMgr::instance().routes();
  plan.isLocal = [this](const std::string& a) { return isLocalAddress(a); };
  const ProxyMode& mode = CProxyModeMgr::instance().currentMode();
  std::lock_guard<std::mutex> guard(impl_->lock);
  if (!impl_->ensureHelper()) return;
  Json::Value answer;
  // A node reached over IPv6 keeps its direct path before anything of IPv6
  // goes into the tunnel or is blocked: its /128 is more specific than both.
  platform::IpEndpoint server;
  if (platform::parseIpAddress(serverAddress, server) && server.ipv6 && !isLocalAddress(serverAddress)) {
    Json::Value request;
    request["op"] = "routes6_add";
    request["via"] = "direct";
    request["routes"] = Json::Value(Json::arrayValue);
    request["routes"].append(platform::formatIpAddress(server) + "/128");
    impl_->call(request, answer, "cannot keep the node's IPv6 address off the tunnel");
  }
  bool ipv6Routed = false;
  // A SOCKS 4 node has no form for an IPv6 destination: IPv6 stays blocked,
  // so that applications fall back to IPv4 at once.
  if (impl_->ipv6 && !(node && node->isSocks4())) {
    const Ipv6RoutePlan plan6 = ipv6RoutePlan(mode);
    ipv6Routed = true;
    for (const auto* list : {&plan6.tunnel, &plan6.direct}) {
      if (list->empty()) continue;
      Json::Value request;
      request["op"] = "routes6_add";
      request["via"] = list == &plan6.tunnel ? "tunnel" : "direct";
      request["routes"] = Json::Value(Json::arrayValue);
      for (const std::string& network : *list) request["routes"].append(network);
      std::string error;
      bool ok = impl_->helper->call(request, answer, error);
      if (!ok) impl_->report.push_back("cannot route IPv6: " + error);
      if (list == &plan6.tunnel) ipv6Routed = ok;
    }
    if (ipv6Routed && mode.routeAll) impl_->report.push_back("IPv6 goes through the tunnel");
  }
  // While everything goes through the tunnel, IPv6 must not leave beside it.
  if (mode.routeAll && !ipv6Routed) impl_->callOp("block_ipv6", answer, "cannot block IPv6");
  vantor::installRoutes(*impl_->routes, mode, plan);
  std::string error = impl_->routes->lastError();
  if (!error.empty()) impl_->report.push_back("routes: " + error);
}

void CProgramBackend::removeAllRoutes() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  if (impl_->routes) impl_->routes->removeAllRoutes();
}

bool CProgramBackend::installDriver() {
  // The counterpart of installing the adapter is the TUN device (the helper
  // loads the module when it is missing). No interface: each connect has
  // the helper make one, and its disconnect takes it away again.
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->tunDevice(false);
}

bool CProgramBackend::removeDriver(bool) { return true; }

// ---- HTTP proxy and system proxy ------------------------------------------------

bool CProgramBackend::httpProxyStarted() { return is_privoxy_started(); }
bool CProgramBackend::changeSystemProxy(int flag) {
  bool ok = ChangeSystemProxy(flag);
  std::vector<std::string> lines = lastSystemProxyReport();
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->report.insert(impl_->report.end(), lines.begin(), lines.end());
  return ok;
}

bool CProgramBackend::removeSystemProxy() {
  bool ok = RemoveSystemProxy();
  std::vector<std::string> lines = lastSystemProxyReport();
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->report.insert(impl_->report.end(), lines.begin(), lines.end());
  return ok;
}

void CProgramBackend::sleepMs(int ms) { platform::sleepMs(ms); }

int64_t CProgramBackend::nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace vantor::app
