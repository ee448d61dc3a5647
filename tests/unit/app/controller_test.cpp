// The connection controller against a scripted backend: the order of the
// steps, what each setting and node kind turns off, and the state machine
// under the network monitor.
#include "app/controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vantor::app {
namespace {

class FakeBackend : public IConnectionBackend {
 public:
  FakeBackend() {
    node.id = 7;
    node.type = kNodeShadowsocks;
    node.server = " node.example ";
    node.server_port = 8388;
    node.password = "p";
    node.method = "aes-256-gcm";
    facts.tap_connection_name = "KOVAL 1";
    facts.tap_connection_guid = "vt0";
    facts.tap_connection_index = 11;
    facts.tapCount = 1;
    facts.local_connection_name = "eth0";
    facts.local_connection_primary_dns = "10.0.0.53";
    facts.local_connection_shortest_r_nexthop = "10.0.0.1";
    facts.local_connection_shortest_r_ifindex = 2;
    modes = {{0, "Global wide", 0, true},
             {1, "Web Browser only(Global)", 3, false},
             {2, "Web Browser only(Skip Chinese sites)", 4, false},
             {3, "China direct", 1, true}};
  }

  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> g(lock);
    return log;
  }
  bool called(const std::string& prefix) {
    auto c = calls();
    return std::any_of(c.begin(), c.end(), [&](const std::string& s) { return s.rfind(prefix, 0) == 0; });
  }
  int indexOf(const std::string& prefix) {
    auto c = calls();
    for (std::size_t i = 0; i < c.size(); ++i)
      if (c[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
    return -1;
  }
  void note(const std::string& s) {
    std::lock_guard<std::mutex> g(lock);
    log.push_back(s);
  }

  ControllerSettings settings() override { return config; }
  void applyDnsChoice() override { note("applyDnsChoice"); }
  void setTapAdapterConfigured() override { note("tapConfigured"); }
  void setLastUsedNodeId(int32_t id) override { note("lastUsed " + std::to_string(id)); }
  void saveSettings() override { note("saveSettings"); }
  CNodeInfo* findNode(int32_t id) override { return id == node.id ? &node : nullptr; }
  CNodeInfo* selectedNode() override { return selected == node.id ? &node : nullptr; }
  void selectNode(int32_t id) override {
    if (id == node.id) selected = id;
  }
  int modeCount() override { return static_cast<int>(modes.size()); }
  bool setCurrentMode(int index) override {
    if (index < 0 || index >= modeCount()) return false;
    current = index;
    return true;
  }
  bool currentMode(ModeInfo& mode) override {
    mode = modes[current];
    return true;
  }
  int loadNetworks() override {
    note("loadNetworks");
    return 0;
  }
  void saveSubscriptions() override { note("saveSubscriptions"); }
  void runEvents(int type) override { note("events " + std::to_string(type)); }
  bool setCurrentNode(NodeRef n) override {
    note("setCurrentNode");
    serviceNode = std::move(n);
    return true;
  }
  void enableRelay() override { note("enableRelay"); }
  void disableRelay() override { note("disableRelay"); }
  uint16_t servicePort() override { return 16666; }
  void stopService() override { note("stopService"); }
  void clearHostCache() override { note("clearHostCache"); }
  void renewClientIdentity() override { note("renewClientIdentity"); }
  bool startTunnel(const std::string& name, uint16_t port, bool udp) override {
    note("startTunnel " + name + " " + std::to_string(port) + (udp ? " udp" : " noudp"));
    tunnelUp = tunnelStarts;
    return tunnelStarts;
  }
  void stopTunnel() override {
    note("stopTunnel");
    tunnelUp = false;
  }
  bool startPlugin(NodeRef& n, std::string& error) override {
    note("startPlugin " + n->plugin + " " + n->connectAddress());
    if (!pluginError.empty()) {
      error = pluginError;
      return false;
    }
    n = n->withTcpEndpoint(n->connectAddress(), "127.0.0.1", 4321);
    return true;
  }
  void stopPlugin() override { note("stopPlugin"); }
  bool testNode(const NodeRef& n, bool udp) override {
    note(udp ? "test udp" : "test tcp");
    testedTcpPort = n->tcpConnectPort();
    bool ok = udp ? udpPasses : tcpPasses;
    if (!ok) reason = udp ? udpReason : tcpReason;
    return ok;
  }
  FailureReason takeFailureReason() override { return std::exchange(reason, {}); }
  bool exitAddress(const NodeRef&, const std::string& url, std::string& address) override {
    note("exitAddress " + url);
    if (url == "http://echo2/ip/") address = "203.0.113.9";
    return url == "http://echo2/ip/";
  }
  std::vector<std::string> exitAddressServices() override {
    return {"http://echo1/ip", "http://echo2/ip/", "http://echo3/"};
  }
  bool resolve(const std::string& host, std::string& address) override {
    note("resolve " + host);
    if (host == "node.example")
      address = "198.51.100.7";
    else if (host == "127.0.0.1")
      address = "127.0.0.1";
    return !address.empty();
  }
  bool isLocalAddress(const std::string& a) override { return a.rfind("127.", 0) == 0; }
  bool detectConnections(NetworkFacts& f) override {
    note("detectConnections");
    f = linkUp ? facts : NetworkFacts{};
    if (perConnectInterface) {
      // Like the Linux backend: the interface exists only while a
      // connection has it, so discovery between connections finds none.
      std::lock_guard<std::mutex> g(lock);
      f.tapCount = interfaceIndex ? 1 : 0;
      f.tap_connection_index = interfaceIndex;
    }
    return true;
  }
  bool tunAvailable() override {
    note("tunAvailable");
    return deviceUsable;
  }
  void tunInterface(NetworkFacts& f) override {
    std::lock_guard<std::mutex> g(lock);
    if (perConnectInterface) f.tap_connection_index = interfaceIndex;
  }
  bool currentAddress(const NetworkFacts&, std::string& address) override {
    if (!addressShows) return false;
    address = "10.198.75.60";
    return true;
  }
  bool interfaceDown(int32_t ifIndex) override {
    if (ifIndex == 2) return !linkUp;
    std::lock_guard<std::mutex> g(lock);
    return perConnectInterface && ifIndex != 0 && ifIndex == interfaceIndex && tunDown;
  }
  void tapStaticAddress(const NetworkFacts&) override {
    note("tapStaticAddress");
    std::lock_guard<std::mutex> g(lock);
    if (perConnectInterface) interfaceIndex = 20 + ++interfacesMade;  // a new interface, a new index
  }
  void setTapDns(const NetworkFacts&, const std::string& p, const std::string& s) override {
    note("setTapDns " + p + " " + s);
  }
  void setTapMetric(const NetworkFacts&, int metric) override { note("setTapMetric " + std::to_string(metric)); }
  void tapReset(const NetworkFacts&) override {
    note("tapReset");
    std::lock_guard<std::mutex> g(lock);
    interfaceIndex = 0;
  }
  void replaceDns(const std::string& c, const std::string& p, const std::string& s) override {
    note("replaceDns " + c + " " + p + " " + s);
  }
  void flushResolverCache() override { note("flush"); }
  bool setRoutePaths(const NetworkFacts&) override {
    note("setRoutePaths");
    return true;
  }
  void installRoutes(const NodeRef&, const std::string& server, const std::string& exit, bool udp) override {
    note("installRoutes " + server + " exit=" + exit + (udp ? " udp" : " noudp"));
  }
  void removeAllRoutes() override { note("removeAllRoutes"); }
  bool installDriver() override {
    note("installDriver");
    reason = installReason;
    if (!installReason) deviceUsable = true;
    return !installReason;
  }
  bool removeDriver(bool) override {
    note("removeDriver");
    return true;
  }
  bool httpProxyStarted() override { return httpUp; }
  bool changeSystemProxy(int flag) override {
    note("changeSystemProxy " + std::to_string(flag));
    return true;
  }
  bool removeSystemProxy() override {
    note("removeSystemProxy");
    return true;
  }
  void sleepMs(int ms) override { clock += ms; }
  int64_t nowMs() override { return clock; }

  std::mutex lock;
  std::vector<std::string> log;
  CNodeInfo node;
  NodeRef serviceNode;  // what the service was given
  NetworkFacts facts;
  ControllerSettings config;
  std::vector<ModeInfo> modes;
  int current = 0;
  int32_t selected = -1;
  bool tcpPasses = true, udpPasses = true, tunnelStarts = true, addressShows = true, httpUp = true;
  std::atomic<bool> linkUp{true};
  // The TUN device can be had; with perConnectInterface each connect makes
  // an interface (index 21, 22, ...) and its disconnect deletes it.
  std::atomic<bool> deviceUsable{true};
  bool perConnectInterface = false, tunDown = false;
  int32_t interfaceIndex = 0;
  std::string pluginError;
  uint16_t testedTcpPort = 0;
  int interfacesMade = 0;
  std::atomic<bool> tunnelUp{false};
  std::atomic<int64_t> clock{0};
  FailureReason reason, tcpReason, udpReason, installReason;
};

class Recorder : public IControllerObserver {
 public:
  void onStatus(const std::string& t) override { add(statuses, t); }
  void onMessage(const std::string& t) override { add(messages, t); }
  void onStateChanged(int s) override { add(states, std::to_string(s)); }
  void onButton(const std::string& t, const std::string&) override { add(buttons, t); }
  void onControlsEnabled(bool) override {}
  void onSummary(const StatusSummary& s) override {
    std::lock_guard<std::mutex> g(lock);
    summary = s;
  }
  void onUdpWarning(bool visible, const std::string&) override { add(udpWarnings, visible ? "on" : "off"); }
  bool hasStatus(const std::string& t) {
    std::lock_guard<std::mutex> g(lock);
    return std::find(statuses.begin(), statuses.end(), t) != statuses.end();
  }
  void add(std::vector<std::string>& v, const std::string& t) {
    std::lock_guard<std::mutex> g(lock);
    v.push_back(t);
  }
  std::mutex lock;
  std::vector<std::string> statuses, messages, states, buttons, udpWarnings;
  StatusSummary summary;
};

class ControllerTest : public ::testing::Test {
 protected:
  void connect(int mode = 0) {
    ctl.setNetworkFacts(backend.facts);
    ASSERT_TRUE(ctl.connectCommand(backend.node.id, mode));
    ASSERT_TRUE(ctl.waitForWorker(10000));
  }
  FakeBackend backend;
  Recorder seen;
  CConnectionController ctl{backend, seen};
};

TEST_F(ControllerTest, GlobalModeRunsEveryStepInOrderAndDisconnectUndoesThem) {
  connect(0);
  ASSERT_EQ(ctl.state(), kConnected);
  ASSERT_TRUE(backend.serviceNode);
  EXPECT_EQ(backend.serviceNode->server, "node.example") << "blanks around the server are removed";
  EXPECT_EQ(backend.serviceNode->connectAddress(), "198.51.100.7") << "the connection keeps what it resolved";
  EXPECT_EQ(backend.node.server, " node.example ") << "the node's record is not written by a connect";
  EXPECT_TRUE(backend.node.resolvedIp.empty());
  EXPECT_EQ(backend.serviceNode->counters, backend.node.counters()) << "the connection counts into the node's counters";
  std::vector<std::string> order = {"events 0",
                                    "enableRelay",
                                    "detectConnections",
                                    "loadNetworks",
                                    "resolve node.example",
                                    "test tcp",
                                    "test udp",
                                    "tapStaticAddress",
                                    "setTapDns 208.67.222.222 208.67.220.220",
                                    "startTunnel KOVAL 1 16666 udp",
                                    "tapConfigured",
                                    "setTapMetric 1",
                                    "setRoutePaths",
                                    "installRoutes 198.51.100.7 exit= udp",
                                    "replaceDns eth0",
                                    "flush",
                                    "events 1"};
  int last = -1;
  for (const auto& step : order) {
    int at = backend.indexOf(step);
    ASSERT_GT(at, last) << step << " missing or out of order";
    last = at;
  }
  EXPECT_FALSE(backend.called("exitAddress")) << "a remote node needs no exit-address query";
  EXPECT_EQ(seen.summary.proxyLine, "Proxy: SR-node.example:8388");
  EXPECT_EQ(seen.summary.modeLine, "Mode: Global wide");
  EXPECT_EQ(seen.summary.udpLine, "UDP is enabled");
  EXPECT_EQ(seen.buttons.back(), "DISCONNECT");
  EXPECT_TRUE(seen.udpWarnings.empty());
  EXPECT_EQ(trayTooltip(seen.summary), "Vantor 6.0\nProxy: SR-node.example:8388\nMode: Global wide\nUDP is enabled");

  ASSERT_TRUE(ctl.disconnectCommand());
  ASSERT_TRUE(ctl.waitForWorker(10000));
  EXPECT_EQ(ctl.state(), kIdle);
  std::vector<std::string> down = {"events 2", "removeAllRoutes",     "clearHostCache", "stopTunnel",
                                   "tapReset", "renewClientIdentity", "disableRelay",   "events 3"};
  last = backend.indexOf("events 1");
  for (const auto& step : down) {
    int at = backend.indexOf(step);
    ASSERT_GT(at, last) << step << " missing or out of order";
    last = at;
  }
  EXPECT_TRUE(seen.hasStatus("Disconnected!"));
  EXPECT_EQ(seen.buttons.back(), "CONNECT");
  EXPECT_EQ(trayTooltip(ctl.snapshot().summary), "Vantor 6.0 Disconnected");
}

TEST_F(ControllerTest, TheConnectionShowsTheNodeItConnectedWithAndCountsIntoTheNodesCounters) {
  connect(0);
  ASSERT_EQ(ctl.state(), kConnected);
  backend.node.addUploaded(1234);
  backend.node.addDownloaded(56);
  // An edit of the node in the store after the connect changes neither the
  // connection nor what the status tells about it.
  backend.node.server = "edited.example";
  backend.node.remarks = "renamed";
  ControllerSnapshot snap = ctl.snapshot();
  EXPECT_EQ(snap.node, "[SR] node.example:8388");
  EXPECT_EQ(snap.uploaded, 1234.0);
  EXPECT_EQ(snap.downloaded, 56.0);
  EXPECT_NE(snap.summary.proxyLine.find("node.example"), std::string::npos) << snap.summary.proxyLine;
  EXPECT_EQ(backend.serviceNode->server, "node.example");
}

TEST_F(ControllerTest, UdpOffBySettingOrSocks4SkipsTheUdpTestAndTheUdpgwPath) {
  backend.config.bDontProxyUDP = true;
  connect(0);
  EXPECT_TRUE(seen.hasStatus("You are disabled UDP in the configuration."));
  EXPECT_FALSE(backend.called("test udp"));
  EXPECT_TRUE(backend.called("startTunnel KOVAL 1 16666 noudp"));
  EXPECT_EQ(seen.udpWarnings, std::vector<std::string>{"on"});
  EXPECT_EQ(seen.summary.udpLine, "UDP is disabled");
  ctl.disconnectCommand();
  ctl.waitForWorker(10000);
  EXPECT_EQ(seen.udpWarnings.back(), "off");

  backend.log.clear();
  backend.config.bDontProxyUDP = false;
  backend.node.type = kNodeSocks4;
  connect(0);
  EXPECT_TRUE(seen.hasStatus("UDP relay is disabled because you are using SOCKS 4 or HTTP proxy."));
  EXPECT_FALSE(backend.called("test udp"));
  EXPECT_TRUE(backend.called("startTunnel KOVAL 1 16666 noudp"));
}

TEST_F(ControllerTest, FailedUdpTestStillConnectsWithoutUdp) {
  backend.udpPasses = false;
  connect(0);
  EXPECT_EQ(ctl.state(), kConnected);
  EXPECT_TRUE(seen.hasStatus("UDP relay test has failed, UDP relay will be disabled."));
  EXPECT_TRUE(backend.called("installRoutes 198.51.100.7 exit= noudp"));
}

TEST_F(ControllerTest, NodeOnLoopbackGetsTheExitAddressFromTheFirstServiceThatAnswers) {
  backend.node.server = "127.0.0.1";
  connect(0);
  ASSERT_EQ(ctl.state(), kConnected);
  EXPECT_TRUE(backend.called("exitAddress http://echo1/ip"));
  EXPECT_TRUE(backend.called("exitAddress http://echo2/ip/"));
  EXPECT_FALSE(backend.called("exitAddress http://echo3/")) << "stops at the first success";
  EXPECT_TRUE(seen.hasStatus("Your actual proxy IP is: 203.0.113.9"));
  // The plan gets the loopback server (it adds no route for it) and the exit address.
  EXPECT_TRUE(backend.called("installRoutes 127.0.0.1 exit=203.0.113.9"));
}

TEST_F(ControllerTest, InterfaceWithoutItsAddressEndsTheAttemptAfterTenSeconds) {
  backend.addressShows = false;
  connect(0);
  EXPECT_EQ(ctl.state(), kIdle);
  EXPECT_EQ(seen.messages.back(), "TUN virtual network interface status is abnormal, please try agian.");
  EXPECT_GE(backend.clock.load(), 10000);
  EXPECT_LE(backend.clock.load(), 11000);
  EXPECT_FALSE(backend.called("setRoutePaths"));
  // The failed attempt stops the tunnel and the relay, and takes the
  // tunnel's DNS away with the interface reset.
  EXPECT_GT(backend.indexOf("stopTunnel"), backend.indexOf("startTunnel"));
  EXPECT_GT(backend.indexOf("tapReset"), backend.indexOf("stopTunnel"));
  EXPECT_TRUE(backend.called("disableRelay"));
  EXPECT_EQ(seen.buttons.back(), "CONNECT");
  EXPECT_FALSE(backend.called("events 1"));
}

TEST_F(ControllerTest, FailuresBeforeTheTunnelStopAtTheirStep) {
  backend.tcpPasses = false;
  connect(0);
  EXPECT_EQ(ctl.state(), kIdle);
  EXPECT_TRUE(seen.hasStatus("TCP connection test has failed, please switch a new node and try agian."));
  EXPECT_FALSE(backend.called("tapStaticAddress"));
  EXPECT_FALSE(backend.called("tapReset")) << "nothing was configured yet";

  backend.log.clear();
  backend.tcpPasses = true;
  backend.linkUp = false;
  connect(0);
  EXPECT_EQ(seen.statuses.back(), "Basic routing information is missing");
  EXPECT_FALSE(backend.called("resolve"));
}

TEST_F(ControllerTest, FailuresShowTheirReasonOnALineOfItsOwn) {
  const std::string tcpFailed = "TCP connection test has failed, please switch a new node and try agian.";
  backend.tcpPasses = false;
  backend.tcpReason = {FailureKind::kAuthRefused, "SOCKS 5 reply: login status 1"};
  for (int mode : {0, 1}) {
    connect(mode);
    EXPECT_EQ(ctl.state(), kIdle);
    ASSERT_FALSE(seen.messages.empty()) << "mode " << mode;
    EXPECT_EQ(seen.messages.back(), tcpFailed + "\nauthentication refused by the node (SOCKS 5 reply: login status 1)")
        << "mode " << mode;
    EXPECT_EQ(seen.statuses.back(), tcpFailed) << "the status line keeps the text alone";
  }

  // A failure whose reason is unknown shows the text alone: a reason left
  // over from an earlier attempt is not taken for this one's.
  backend.tcpPasses = true;
  backend.addressShows = false;
  backend.reason = {FailureKind::kConnectRefused, "stale"};
  connect(0);
  EXPECT_EQ(seen.messages.back(), "TUN virtual network interface status is abnormal, please try agian.");

  // UDP off is no failure of the connect: the reason follows the status.
  backend.addressShows = true;
  backend.udpPasses = false;
  backend.udpReason = {FailureKind::kNoUdpRelay, "SOCKS 5 reply 7: command not supported"};
  std::size_t before = seen.messages.size();
  connect(0);
  ASSERT_EQ(ctl.state(), kConnected);
  EXPECT_EQ(seen.messages.size(), before);
  auto at =
      std::find(seen.statuses.begin(), seen.statuses.end(), "UDP relay test has failed, UDP relay will be disabled.");
  ASSERT_NE(at, seen.statuses.end());
  ASSERT_NE(at + 1, seen.statuses.end());
  EXPECT_EQ(*(at + 1), "the node has no UDP relay (SOCKS 5 reply 7: command not supported)");
}

TEST_F(ControllerTest, ADriverInstallRefusedForLackOfRightsSaysHowToGetThem) {
  const std::string noRight =
      "no right to change the network: join the group 'vantor' (sudo usermod -aG vantor $USER, then log in again) "
      "or run as root";
  NetworkFacts noTun = backend.facts;
  noTun.tapCount = 0;
  backend.facts = noTun;
  backend.deviceUsable = false;  // and the install does not change that
  backend.installReason = {FailureKind::kNoPermission, {}};
  ctl.setNetworkFacts(noTun);
  ASSERT_TRUE(ctl.startDriverReinstall());
  ASSERT_TRUE(ctl.waitForWorker(10000));
  ASSERT_FALSE(seen.messages.empty());
  EXPECT_EQ(seen.messages.back(), "TUN virtual network interface driver install failed.\n" + noRight);
  // A connect refused for the missing interface says why it is missing.
  EXPECT_FALSE(ctl.connectCommand(backend.node.id, 0));
  EXPECT_EQ(seen.messages.back(), "TUN virtual network card is not installed.\n" + noRight);
}

TEST_F(ControllerTest, BrowserOnlyModesTouchNoRouteAndNoInterface) {
  for (int mode : {1, 2}) {
    backend.log.clear();
    connect(mode);
    ASSERT_EQ(ctl.state(), kConnected);
    EXPECT_TRUE(backend.called("changeSystemProxy " + std::string(mode == 2 ? "1" : "0")));
    ctl.disconnectCommand();
    ctl.waitForWorker(10000);
    EXPECT_TRUE(backend.called("removeSystemProxy"));
    for (const char* netconf : {"detectConnections", "tapStaticAddress", "setTapDns", "startTunnel", "setRoutePaths",
                                "installRoutes", "removeAllRoutes", "tapReset", "replaceDns", "stopTunnel", "test udp"})
      EXPECT_FALSE(backend.called(netconf)) << netconf << " in browser mode " << mode;
  }
  backend.log.clear();
  backend.httpUp = false;
  connect(1);
  EXPECT_EQ(ctl.state(), kIdle);
  EXPECT_EQ(seen.messages.back(), "HTTP is not started.");
}

TEST_F(ControllerTest, CommandsAreRefusedOrIgnoredOutsideTheirStates) {
  backend.deviceUsable = false;
  EXPECT_FALSE(ctl.connectCommand(7, 0));
  EXPECT_EQ(seen.messages.back(), "TUN virtual network card is not installed.");
  backend.deviceUsable = true;
  EXPECT_FALSE(ctl.connectCommand(-1, 0));
  EXPECT_EQ(seen.messages.back(), "Please add and select a proxy first.");
  EXPECT_FALSE(ctl.connectCommand(99, 0));
  EXPECT_EQ(seen.messages.back(), "Please select a proxy first.");
  EXPECT_FALSE(ctl.connectCommand(7, -1));
  EXPECT_EQ(seen.messages.back(), "Please select a proxy mode.");
  EXPECT_FALSE(ctl.disconnectCommand()) << "idle: nothing to disconnect";

  connect(0);
  std::size_t starts = 0;
  for (const auto& c : backend.calls()) starts += c.rfind("startTunnel", 0) == 0;
  EXPECT_FALSE(ctl.connectCommand(7, 0)) << "a second connect while connected is ignored";
  ctl.waitForWorker(10000);
  std::size_t after = 0;
  for (const auto& c : backend.calls()) after += c.rfind("startTunnel", 0) == 0;
  EXPECT_EQ(starts, after);
  EXPECT_TRUE(ctl.toggleCommand(7, 0));
  ctl.waitForWorker(10000);
  EXPECT_EQ(ctl.state(), kIdle);
}

TEST_F(ControllerTest, ANodeWhosePluginCannotRunIsRefusedBeforeAnyStep) {
  backend.node.plugin = "no-such-plugin-program";
  backend.node.plugin_opts = "obfs=http";
  ctl.setNetworkFacts(backend.facts);
  EXPECT_FALSE(ctl.connectCommand(backend.node.id, 0));
  EXPECT_EQ(seen.messages.back(),
            "The Shadowsocks plugin no-such-plugin-program was not found (install it or remove it from the node)");
  EXPECT_EQ(ctl.state(), kIdle);
  EXPECT_FALSE(backend.called("enableRelay"));
  EXPECT_FALSE(backend.called("test tcp")) << "no traffic goes to the server without its plugin";
  backend.node.plugin.clear();
  connect(0);
  EXPECT_EQ(ctl.state(), kConnected);
}

TEST_F(ControllerTest, MonitorDisconnectsWhenTheLinkGoesDownAndConnectsAgainWhenItReturns) {
  connect(0);
  ctl.startNetworkMonitor(20);
  backend.linkUp = false;
  for (int i = 0; i < 200 && ctl.state() != kIdle; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(ctl.state(), kIdle) << "the monitor did not disconnect";
  EXPECT_FALSE(backend.tunnelUp.load());
  // While the link stays down nothing reconnects.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(ctl.state(), kIdle);
  backend.linkUp = true;
  for (int i = 0; i < 300 && ctl.state() != kConnected; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(ctl.state(), kConnected) << "no reconnect after the link returned";
  ctl.exitCommand();
  EXPECT_EQ(ctl.state(), kIdle);
}

// The interface lives as long as one connection: each connect makes one,
// each disconnect deletes it. Three link losses in a row must each end in a
// new connection watched on its own interface, and no connect may be refused
// for an interface that the last disconnect rightly took away.
TEST_F(ControllerTest, ThreeLinkLossesInARowEachReconnectOnAFreshInterface) {
  backend.perConnectInterface = true;
  connect(0);
  ASSERT_EQ(ctl.state(), kConnected);
  for (int loss = 1; loss <= 3; ++loss) {
    SCOPED_TRACE("link loss " + std::to_string(loss));
    backend.linkUp = false;
    ctl.monitorTick();
    ASSERT_TRUE(ctl.waitForWorker(10000));
    ASSERT_EQ(ctl.state(), kIdle);
    EXPECT_EQ(backend.interfaceIndex, 0) << "the disconnect keeps the interface";
    ctl.monitorTick();  // still down: nothing happens
    ASSERT_TRUE(ctl.waitForWorker(10000));
    EXPECT_EQ(ctl.state(), kIdle);
    backend.linkUp = true;
    ctl.monitorTick();
    ASSERT_TRUE(ctl.waitForWorker(10000));
    ASSERT_EQ(ctl.state(), kConnected) << (seen.messages.empty() ? "" : seen.messages.back());
    EXPECT_EQ(backend.interfaceIndex, 21 + loss);
  }
  for (const auto& m : seen.messages) EXPECT_EQ(m.find("not installed"), std::string::npos) << m;
  // The monitor watches this connection's interface, not the first one's.
  backend.tunDown = true;
  ctl.monitorTick();
  ASSERT_TRUE(ctl.waitForWorker(10000));
  EXPECT_EQ(ctl.state(), kIdle) << "the monitor did not see the current interface go down";
  backend.tunDown = false;
  backend.config.bReconnectAfterLinkLoss = false;  // only the commands from here on

  // Connect and Disconnect by hand, three times, likewise from the same state.
  for (int round = 0; round < 3; ++round) {
    connect(0);
    ASSERT_EQ(ctl.state(), kConnected) << "connect " << round;
    ASSERT_TRUE(ctl.disconnectCommand());
    ASSERT_TRUE(ctl.waitForWorker(10000));
    ASSERT_EQ(ctl.state(), kIdle);
  }
}

// "Not installed" is the backend's answer of the moment: refused while the
// device cannot be had, connected as soon as it can, and a driver install
// runs only when it is needed.
TEST_F(ControllerTest, NotInstalledOnlyWhileTheBackendCannotProvideTheTun) {
  backend.perConnectInterface = true;
  backend.deviceUsable = false;
  backend.installReason = {FailureKind::kNoPermission, {}};
  EXPECT_FALSE(ctl.connectCommand(backend.node.id, 0));
  EXPECT_EQ(seen.messages.back(), "TUN virtual network card is not installed.");
  EXPECT_FALSE(backend.called("tapStaticAddress"));
  ASSERT_TRUE(ctl.startDriverReinstall());
  ASSERT_TRUE(ctl.waitForWorker(10000));
  EXPECT_TRUE(backend.called("installDriver"));
  EXPECT_EQ(seen.messages.back().rfind("TUN virtual network interface driver install failed.", 0), 0u);

  // The helper became reachable: the next install succeeds, and the connect
  // after it works though discovery found no interface (none exists yet).
  backend.installReason = {};
  std::size_t messages = seen.messages.size();
  ASSERT_TRUE(ctl.startDriverReinstall());
  ASSERT_TRUE(ctl.waitForWorker(10000));
  EXPECT_EQ(seen.messages.size(), messages) << seen.messages.back();
  EXPECT_TRUE(seen.hasStatus("Ready!"));
  connect(0);
  EXPECT_EQ(ctl.state(), kConnected);

  // With the device at hand nothing is installed again.
  ctl.disconnectCommand();
  ASSERT_TRUE(ctl.waitForWorker(10000));
  backend.log.clear();
  ASSERT_TRUE(ctl.startDriverReinstall());
  ASSERT_TRUE(ctl.waitForWorker(10000));
  EXPECT_FALSE(backend.called("installDriver"));
}

TEST_F(ControllerTest, NoReconnectWhenTheSettingIsOffOrAfterTheTriesRunOut) {
  backend.config.bReconnectAfterLinkLoss = false;
  connect(0);
  backend.linkUp = false;
  ctl.monitorTick();
  ctl.waitForWorker(10000);
  ASSERT_EQ(ctl.state(), kIdle);
  backend.linkUp = true;
  for (int i = 0; i < 5; ++i) ctl.monitorTick();
  ctl.waitForWorker(10000);
  EXPECT_EQ(ctl.state(), kIdle);

  // With the setting on, a node that keeps failing is tried a bounded number of times.
  backend.config.bReconnectAfterLinkLoss = true;
  connect(0);
  backend.linkUp = false;
  ctl.monitorTick();
  ctl.waitForWorker(10000);
  backend.linkUp = true;
  backend.tcpPasses = false;
  for (int i = 0; i < 3 * CConnectionController::kReconnectTries; ++i) {
    ctl.monitorTick();
    ctl.waitForWorker(10000);
  }
  std::size_t tests = 0;
  auto calls = backend.calls();
  for (auto it = std::find(calls.rbegin(), calls.rend(), "events 3").base(); it != calls.end(); ++it)
    tests += *it == "test tcp";
  EXPECT_EQ(tests, static_cast<std::size_t>(CConnectionController::kReconnectTries));
}

TEST_F(ControllerTest, ExitDisconnectsStoresTheSelectionAndStopsTheService) {
  connect(0);
  ctl.exitCommand();
  EXPECT_EQ(ctl.state(), kIdle);
  int stop = backend.indexOf("stopService");
  EXPECT_GE(stop, 0);
  EXPECT_GT(backend.indexOf("removeAllRoutes"), stop);
  EXPECT_GT(backend.indexOf("lastUsed 7"), backend.indexOf("disableRelay"));
  EXPECT_GT(backend.indexOf("saveSettings"), backend.indexOf("lastUsed 7"));
}

TEST_F(ControllerTest, APluginNodeIsTestedAndUsedThroughItsProgramWhichDisconnectEnds) {
  // Any installed program passes the connect's check; the fake backend runs none.
  backend.node.plugin = "sh";
  backend.node.plugin_opts = "obfs=http";
  connect(0);
  ASSERT_EQ(ctl.state(), kConnected);
  // The program gets the resolved server; the test and the sessions reach it.
  EXPECT_GT(backend.indexOf("startPlugin sh 198.51.100.7"), backend.indexOf("resolve node.example"));
  EXPECT_LT(backend.indexOf("startPlugin"), backend.indexOf("test tcp"));
  EXPECT_EQ(backend.testedTcpPort, 4321);
  ASSERT_TRUE(backend.serviceNode);
  EXPECT_EQ(backend.serviceNode->tcpConnectPort(), 4321);
  EXPECT_EQ(backend.serviceNode->connectAddress(), "198.51.100.7");
  // The route that keeps the server off the tunnel is the real server's.
  EXPECT_TRUE(backend.called("installRoutes 198.51.100.7 "));
  EXPECT_FALSE(backend.called("stopPlugin"));

  ASSERT_TRUE(ctl.disconnectCommand());
  ASSERT_TRUE(ctl.waitForWorker(10000));
  EXPECT_GT(backend.indexOf("stopPlugin"), backend.indexOf("events 2"));
}

TEST_F(ControllerTest, APluginThatCannotRunFailsTheConnectWithItsReason) {
  backend.node.plugin = "sh";
  backend.pluginError = "The Shadowsocks plugin sh ended at its start (exited with status 1)";
  connect(0);
  EXPECT_EQ(ctl.state(), kIdle);
  EXPECT_EQ(seen.messages.back(), backend.pluginError);
  EXPECT_FALSE(backend.called("test tcp"));
  EXPECT_FALSE(backend.called("startTunnel"));
  EXPECT_TRUE(backend.called("stopPlugin"));
}

}  // namespace
}  // namespace vantor::app
