#include "app/controller.h"

#include <chrono>
#include <cstdio>

#include "app/i18n.h"
#include "catalogue/node_mgr.h"

namespace vantor::app {
namespace {

constexpr const char* kTunnelAddress = "10.198.75.60";
constexpr const char* kUdpWarning =
    "Currently, UDP is not enabled, and some UDP-dependent programs may not work properly";

std::string format(const char* pattern, const std::string& a) {
  std::string out = pattern;
  auto at = out.find("%s");
  if (at != std::string::npos) out.replace(at, 2, a);
  return out;
}

}  // namespace

const char* stateName(int state) {
  switch (state) {
    case kIdle:
      return "idle";
    case kConnecting:
      return "connecting";
    case kDisconnecting:
      return "disconnecting";
    case kConnected:
      return "connected";
  }
  return "unknown";
}

std::string trayTooltip(const StatusSummary& summary) {
  std::string head = std::string(kProductName) + " " + kVersionText;
  if (!summary.connected) return head + " " + tr("Disconnected");
  return head + "\n" + summary.proxyLine + "\n" + summary.modeLine + "\n" + summary.udpLine;
}

CConnectionController::CConnectionController(IConnectionBackend& backend, IControllerObserver& observer)
    : backend_(backend), observer_(observer) {
  timerThread_ = std::thread([this] { timerLoop(); });
}

CConnectionController::~CConnectionController() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  timerWake_.notify_all();
  if (timerThread_.joinable()) timerThread_.join();
  waitForWorker(-1);
  std::lock_guard<std::mutex> guard(lock_);
  if (worker_.joinable()) worker_.join();
}

void CConnectionController::setNetworkFacts(const NetworkFacts& facts) {
  std::lock_guard<std::mutex> guard(lock_);
  facts_ = facts;
}

// ---- reporting -------------------------------------------------------------

void CConnectionController::status(const char* text) { observer_.onStatus(tr(text)); }
void CConnectionController::statusText(const std::string& text) { observer_.onStatus(text); }
void CConnectionController::message(const char* text) { observer_.onMessage(tr(text)); }

void CConnectionController::fail(const char* text, FailureReason reason) {
  FailureReason known = backend_.takeFailureReason();
  if (known) reason = known;
  std::string full = tr(text);
  if (reason) full += "\n" + reason.text();
  observer_.onMessage(full);
  status(text);
}

void CConnectionController::setState(int state) {
  state_ = state;
  observer_.onStateChanged(state);
}

void CConnectionController::setButton(bool connected) {
  if (connected)
    observer_.onButton(tr("DISCONNECT"), tr("DisConnect from proxy"));
  else
    observer_.onButton(tr("CONNECT"), tr("Connect to proxy"));
}

StatusSummary CConnectionController::buildSummary(const NodeSnapshot* node, const ModeInfo& mode) {
  StatusSummary s;
  s.connected = true;
  char line[1024];
  if (node->remarks.empty())
    std::snprintf(line, sizeof line, tr("Proxy: %s-%s:%d"), node->kindLongLabel(), node->server.c_str(),
                  static_cast<int>(node->server_port));
  else
    std::snprintf(line, sizeof line, tr("Proxy: %s-%s"), node->kindLongLabel(), node->remarks.c_str());
  s.proxyLine = line;
  s.modeLine = format(tr("Mode: %s"), mode.name);
  s.udpLine = udpEnabled_ ? tr("UDP is enabled") : tr("UDP is disabled");
  return s;
}

ControllerSnapshot CConnectionController::snapshot() {
  ControllerSnapshot snap;
  snap.state = state_.load();
  snap.udpEnabled = udpEnabled_.load();
  NodeRef node;
  {
    std::lock_guard<std::mutex> guard(lock_);
    node = connectedNode_;
    snap.summary = summary_;
    snap.mode = connectedMode_.name;
  }
  if (node && snap.state == kConnected) snap.connectedId = node->id;
  if (!node) node = backend_.selectedSnapshot();
  if (node) {
    snap.node = node->displayText();
    snap.uploaded = node->counters->Upload_traffic.load();
    snap.downloaded = node->counters->Download_traffic.load();
    snap.rate = node->counters->bytesPerSecond();
  }
  if (snap.state != kConnected) snap.summary = StatusSummary{};
  return snap;
}

// ---- commands --------------------------------------------------------------

bool CConnectionController::connectCommand() {
  CNodeInfo* node = backend_.selectedNode();
  ModeInfo mode;
  bool haveMode = backend_.currentMode(mode);
  return connectCommand(node ? node->id : -1, haveMode ? mode.index : -1);
}

bool CConnectionController::connectCommand(int32_t nodeId, int modeIndex) {
  std::lock_guard<std::mutex> command(commandLock_);
  return connectLocked(nodeId, modeIndex);
}

bool CConnectionController::connectLocked(int32_t nodeId, int modeIndex) {
  if (state_ != kIdle || exiting_) return false;
  // Asked now, not taken from an earlier detection: the interface of the
  // previous connection is gone after its disconnect, and whether a new one
  // can be had is a fact of this moment.
  if (!backend_.tunAvailable()) {
    FailureReason reason;
    {
      std::lock_guard<std::mutex> guard(lock_);
      reason = driverFailure_;
    }
    std::string text = tr("TUN virtual network card is not installed.");
    if (reason) text += "\n" + reason.text();
    observer_.onMessage(text);
    return false;
  }
  if (nodeId < 0) {
    message("Please add and select a proxy first.");
    return false;
  }
  CNodeInfo* node = backend_.findNode(nodeId);
  if (!node) {
    message("Please select a proxy first.");
    return false;
  }
  // A node whose plugin cannot run must not reach its server without it.
  if (std::string refusal = unsupportedNodeReason(node->params()); !refusal.empty()) {
    message(refusal.c_str());
    return false;
  }
  if (modeIndex < 0 || modeIndex >= backend_.modeCount()) {
    message("Please select a proxy mode.");
    return false;
  }
  backend_.selectNode(nodeId);
  backend_.setCurrentMode(modeIndex);
  {
    std::lock_guard<std::mutex> guard(lock_);
    reconnectNode_ = nodeId;
    reconnectMode_ = modeIndex;
  }
  status("Please wait while connecting...");
  observer_.onControlsEnabled(false);
  setState(kConnecting);
  if (!startWorker(kActionConnect)) {
    setState(kIdle);
    observer_.onControlsEnabled(true);
    return false;
  }
  return true;
}

bool CConnectionController::disconnectCommand() {
  std::lock_guard<std::mutex> command(commandLock_);
  return disconnectLocked();
}

bool CConnectionController::disconnectLocked() {
  int s = state_;
  if (s == kIdle || s == kDisconnecting) return false;
  observer_.onControlsEnabled(false);
  if (!startWorker(kActionDisconnect)) {
    // No worker: run it here.
    backend_.runEvents(2);
    disconnectSequence();
    backend_.runEvents(3);
  }
  return true;
}

bool CConnectionController::toggleCommand(int32_t nodeId, int modeIndex) {
  std::lock_guard<std::mutex> command(commandLock_);
  if (state_ == kConnected) return disconnectLocked();
  return connectLocked(nodeId, modeIndex);
}

bool CConnectionController::startDriverReinstall() {
  std::lock_guard<std::mutex> command(commandLock_);
  if (state_ != kIdle) return false;
  observer_.onControlsEnabled(false);
  return startWorker(kActionReinstall);
}

void CConnectionController::exitCommand() {
  exiting_ = true;
  std::lock_guard<std::mutex> command(commandLock_);
  {
    std::lock_guard<std::mutex> guard(lock_);
    delayedConnectAt_ = -1;
    nextMonitorAt_ = -1;
    linkLost_ = false;
  }
  waitForWorker(-1);
  backend_.stopService();
  backend_.saveSubscriptions();
  disconnectSequence();
  CNodeInfo* node = backend_.selectedNode();
  backend_.setLastUsedNodeId(node ? node->id : -1);
  backend_.saveSettings();
}

bool CConnectionController::startWorker(Action action) {
  std::unique_lock<std::mutex> guard(lock_);
  if (workerRunning_) return false;
  if (worker_.joinable()) worker_.join();  // the previous one has ended
  workerRunning_ = true;
  try {
    worker_ = std::thread([this, action] { workerMain(action); });
  } catch (...) {
    workerRunning_ = false;
    return false;
  }
  return true;
}

bool CConnectionController::waitForWorker(int timeoutMs) {
  std::unique_lock<std::mutex> guard(lock_);
  auto idle = [this] { return !workerRunning_; };
  if (timeoutMs < 0)
    workerDone_.wait(guard, idle);
  else
    workerDone_.wait_for(guard, std::chrono::milliseconds(timeoutMs), idle);
  return !workerRunning_;
}

void CConnectionController::workerMain(Action action) {
  switch (action) {
    case kActionConnect: {
      backend_.runEvents(0);
      bool ok = connectSequence();
      lastConnectOk_ = ok;
      if (ok) {
        backend_.runEvents(1);
        std::lock_guard<std::mutex> guard(lock_);
        linkLost_ = false;
      }
      break;
    }
    case kActionDisconnect:
      backend_.runEvents(2);
      disconnectSequence();
      backend_.runEvents(3);
      break;
    case kActionReinstall:
      reinstallDriver();
      break;
    default:
      break;
  }
  observer_.onControlsEnabled(true);
  std::lock_guard<std::mutex> guard(lock_);
  workerRunning_ = false;
  workerDone_.notify_all();
}

// ---- connect ---------------------------------------------------------------

bool CConnectionController::connectSequence() {
  udpEnabled_ = true;
  backend_.takeFailureReason();  // what an earlier attempt left is not this one's
  ModeInfo mode;
  if (!backend_.currentMode(mode)) {
    fail("Proxy mode error");
    connectFailed(false);
    return false;
  }
  backend_.enableRelay();
  bool tapConfigured = false;
  bool ok = mode.usesTunnel() ? tapPath(mode, tapConfigured) : systemProxyPath(mode);
  if (!ok) {
    connectFailed(tapConfigured);
    return false;
  }
  backend_.flushResolverCache();
  NodeRef node = connectingNode_;
  StatusSummary summary = buildSummary(node.get(), mode);
  {
    std::lock_guard<std::mutex> guard(lock_);
    connectedMode_ = mode;
    connectedNode_ = node;
    summary_ = summary;
    reconnectTriesLeft_ = kReconnectTries;
  }
  setState(kConnected);
  status("Connected!");
  setButton(true);
  observer_.onControlsEnabled(true);
  observer_.onSummary(summary);
  if (backend_.settings().AutomaticHideWindow) observer_.onHideWindow();
  return true;
}

bool CConnectionController::startPlugin(NodeRef& node) {
  if (!node->lacksPlugin()) return true;
  status("Starting the Shadowsocks plugin...");
  std::string error;
  if (backend_.startPlugin(node, error)) return true;
  fail(error.c_str());
  return false;
}

void CConnectionController::connectFailed(bool tapConfigured) {
  backend_.stopTunnel();
  backend_.stopPlugin();
  // The TUN interface's DNS servers were set for the tunnel that is not
  // running now: left in place they would take the host's queries into a
  // dead interface, so the interface is reset as a disconnect does.
  if (tapConfigured) {
    NetworkFacts facts;
    {
      std::lock_guard<std::mutex> guard(lock_);
      facts = facts_;
    }
    backend_.tapReset(facts);
  }
  backend_.disableRelay();
  setState(kIdle);
  setButton(false);
  observer_.onControlsEnabled(true);
}

bool CConnectionController::systemProxyPath(const ModeInfo& mode) {
  NodeRef node = backend_.selectedSnapshot();
  if (!node) return false;
  if (!backend_.httpProxyStarted()) {
    fail("HTTP is not started.");
    return false;
  }
  if (!startPlugin(node)) return false;
  connectingNode_ = node;
  backend_.setCurrentNode(node);
  status("Testing TCP connection for current node...");
  if (!backend_.testNode(node, false)) {
    fail("TCP connection test has failed, please switch a new node and try agian.");
    return false;
  }
  if (!backend_.changeSystemProxy(mode.kind == 4 ? 1 : 0)) {
    status("The system proxy settings cannot be changed.");
    return false;
  }
  udpEnabled_ = false;  // the browsers' proxy carries no UDP
  return true;
}

bool CConnectionController::tapPath(const ModeInfo& mode, bool& tapConfigured) {
  NodeRef node = withTrimmedServer(backend_.selectedSnapshot());
  if (!node) return false;

  status("Getting basic network configuration...");
  NetworkFacts facts;
  backend_.detectConnections(facts);
  {
    std::lock_guard<std::mutex> guard(lock_);
    facts_ = facts;
  }
  if (facts.local_connection_shortest_r_ifindex == -1 || facts.local_connection_shortest_r_nexthop.empty()) {
    message(
        "Basic routing information is missing! \n\nMaybe your computer does not  have any network "
        "connection.\nPlease restart this program and try again.");
    status("Basic routing information is missing");
    return false;
  }

  status("Loading proxy mode...");
  backend_.loadNetworks();

  status("Resolving SS server's domain name...");
  if (node->resolvedIp.empty()) {
    std::string address;
    if (backend_.resolve(node->server, address)) node = node->withResolvedIp(address);
  }
  if (node->resolvedIp.empty()) {
    fail("Can not resolve SS server's domain name");
    return false;
  }
  if (!startPlugin(node)) return false;

  std::string exitAddress;
  if (backend_.isLocalAddress(node->resolvedIp)) {
    status("Retrieving the actual proxy IP address...");
    for (const std::string& url : backend_.exitAddressServices()) {
      exitAddress.clear();
      if (backend_.exitAddress(node, url, exitAddress)) break;
    }
    if (exitAddress.empty()) {
      status("Retrieving the actual proxy IP address...Failed!");
    } else {
      char line[512];
      std::snprintf(line, sizeof line, tr("Your actual proxy IP is: %s"), exitAddress.c_str());
      statusText(line);
    }
  }

  status("Testing TCP connection for current node...");
  if (!backend_.testNode(node, false)) {
    fail("TCP connection test has failed, please switch a new node and try agian.");
    return false;
  }

  ControllerSettings settings = backend_.settings();
  bool udp;
  if (settings.bDontProxyUDP) {
    status("You are disabled UDP in the configuration.");
    udp = false;
  } else if (node->type == kNodeSocks4 || node->type == kNodeHttp) {
    status("UDP relay is disabled because you are using SOCKS 4 or HTTP proxy.");
    udp = false;
  } else {
    status("Testing UDP relay for current node...");
    udp = backend_.testNode(node, true);
    if (!udp) {
      status("UDP relay test has failed, UDP relay will be disabled.");
      // Not a failure of the connect: the reason goes with the status.
      if (FailureReason reason = backend_.takeFailureReason()) statusText(reason.text());
    }
  }
  udpEnabled_ = udp;

  status("Configging TAP network interface...");
  int metric = mode.routeAll ? 1 : 1000;
  if (!facts.tap_connection_name.empty() && !facts.tap_connection_guid.empty()) {
    backend_.applyDnsChoice();
    settings = backend_.settings();
    tapConfigured = true;
    backend_.tapStaticAddress(facts);
    // The monitor watches this interface while the connection lasts.
    backend_.tunInterface(facts);
    {
      std::lock_guard<std::mutex> guard(lock_);
      facts_.tap_connection_name = facts.tap_connection_name;
      facts_.tap_connection_guid = facts.tap_connection_guid;
      facts_.tap_connection_index = facts.tap_connection_index;
    }
    auto pick = [&](const std::string& local, const std::string& configured) {
      bool useLocal = (settings.public_dns1 == "localdns" || settings.public_dns2 == "localdns") && !local.empty();
      return useLocal ? local : configured;
    };
    backend_.setTapDns(facts, pick(facts.local_connection_primary_dns, settings.public_dns1),
                       pick(facts.local_connection_second_dns, settings.public_dns2));
  }

  status("Starting TAP service...");
  connectingNode_ = node;
  backend_.setCurrentNode(node);
  if (!backend_.startTunnel(facts.tap_connection_name, backend_.servicePort(), udp)) {
    fail("Launch TUN service failed.");
    return false;
  }

  status("Verifying connection's status...");
  int64_t began = backend_.nowMs();
  // Checked at once, then once a second: on Linux the address is usually
  // there when the tunnel has started.
  for (;;) {
    std::string address;
    if (backend_.currentAddress(facts, address) && address == kTunnelAddress) break;
    if (backend_.nowMs() - began >= kAddressWaitMs) {
      fail("TUN virtual network interface status is abnormal, please try agian.");
      return false;
    }
    backend_.sleepMs(1000);
  }

  backend_.setTapAdapterConfigured();
  status("Configging network...");
  backend_.setTapMetric(facts, metric);

  if (!backend_.setRoutePaths(facts)) {
    fail("The route manager is failed to initialize.");
    return false;
  }
  backend_.installRoutes(node, node->resolvedIp, exitAddress, udp);
  if (!udp) observer_.onUdpWarning(true, tr(kUdpWarning));

  if (!(udp && settings.ForceProxyDNSServer && mode.kind != 0))
    backend_.replaceDns(facts.local_connection_name, settings.public_dns1, settings.public_dns2);
  return true;
}

// ---- disconnect ------------------------------------------------------------

void CConnectionController::disconnectSequence() {
  int s = state_;
  if (s == kIdle || s == kDisconnecting) return;
  setState(kDisconnecting);
  status("DisConnecting...");
  ModeInfo mode;
  NetworkFacts facts;
  {
    std::lock_guard<std::mutex> guard(lock_);
    mode = connectedMode_;
    facts = facts_;
  }
  if (!mode.usesTunnel()) {
    backend_.removeSystemProxy();
  } else {
    backend_.removeAllRoutes();
    backend_.clearHostCache();
    observer_.onUdpWarning(false, "");
    backend_.stopTunnel();
    backend_.tapReset(facts);
    ControllerSettings settings = backend_.settings();
    if (!(udpEnabled_ && settings.ForceProxyDNSServer && mode.kind != 0))
      backend_.replaceDns(facts.local_connection_name, facts.local_connection_primary_dns,
                          facts.local_connection_second_dns);
  }
  backend_.stopPlugin();
  backend_.renewClientIdentity();
  backend_.disableRelay();
  backend_.flushResolverCache();
  {
    std::lock_guard<std::mutex> guard(lock_);
    connectedNode_ = nullptr;
    summary_ = StatusSummary{};
  }
  setState(kIdle);
  setButton(false);
  status("Disconnected!");
  observer_.onSummary(StatusSummary{});
  observer_.onControlsEnabled(true);
}

// ---- driver ----------------------------------------------------------------

void CConnectionController::reinstallDriver() {
  backend_.takeFailureReason();
  {
    std::lock_guard<std::mutex> guard(lock_);
    driverFailure_ = {};
  }
  status("UnInstalling old drivers...");
  backend_.removeDriver(true);
  status("Ready!");
  status("Installing driver...");
  if (!backend_.tunAvailable()) {
    backend_.installDriver();
    status("Checking whether the driver is installed correctly...");
    NetworkFacts facts;
    backend_.detectConnections(facts);
    {
      std::lock_guard<std::mutex> guard(lock_);
      facts_ = facts;
    }
    if (!backend_.tunAvailable()) {
      FailureReason reason = backend_.takeFailureReason();
      {
        std::lock_guard<std::mutex> guard(lock_);
        driverFailure_ = reason;
      }
      fail("TUN virtual network interface driver install failed.", reason);
      return;
    }
    backend_.saveSettings();
  }
  status("Ready!");
}

// ---- timers ----------------------------------------------------------------

void CConnectionController::armDelayedConnect() {
  ControllerSettings settings = backend_.settings();
  backend_.selectNode(settings.LastUsedNodeId);
  if (!settings.AutomaticallyEstablishConnection) return;
  int seconds = settings.DelayedConnect;
  if (seconds < 1 || seconds > 300) seconds = 10;
  {
    std::lock_guard<std::mutex> guard(lock_);
    delayedConnectAt_ =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count() +
        seconds * 1000LL;
  }
  timerWake_.notify_all();
}

void CConnectionController::startNetworkMonitor(int intervalMs) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    monitorIntervalMs_ = intervalMs;
    nextMonitorAt_ =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count() +
        intervalMs;
  }
  timerWake_.notify_all();
}

void CConnectionController::timerLoop() {
  std::unique_lock<std::mutex> guard(lock_);
  while (!stopping_) {
    int64_t now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    int64_t next = -1;
    for (int64_t at : {delayedConnectAt_, nextMonitorAt_})
      if (at >= 0 && (next < 0 || at < next)) next = at;
    if (next < 0) {
      timerWake_.wait(guard);
      continue;
    }
    if (next > now) {
      timerWake_.wait_for(guard, std::chrono::milliseconds(next - now));
      continue;
    }
    if (delayedConnectAt_ >= 0 && delayedConnectAt_ <= now) {
      delayedConnectAt_ = -1;
      guard.unlock();
      connectCommand();
      guard.lock();
    }
    if (nextMonitorAt_ >= 0 && nextMonitorAt_ <= now) {
      nextMonitorAt_ = now + monitorIntervalMs_;
      guard.unlock();
      monitorTick();
      guard.lock();
    }
  }
}

void CConnectionController::monitorTick() {
  int s = state_;
  NetworkFacts facts;
  ModeInfo mode;
  bool lost;
  {
    std::lock_guard<std::mutex> guard(lock_);
    facts = facts_;
    mode = connectedMode_;
    lost = linkLost_;
  }
  if (s == kConnected && mode.usesTunnel()) {
    if (backend_.interfaceDown(facts.tap_connection_index) ||
        backend_.interfaceDown(facts.local_connection_shortest_r_ifindex)) {
      {
        std::lock_guard<std::mutex> guard(lock_);
        linkLost_ = backend_.settings().bReconnectAfterLinkLoss;
      }
      status("The network connection was lost.");
      disconnectCommand();
    }
    return;
  }
  // After a lost link: connect again once a default route is back.
  if (s != kIdle || !lost) return;
  int32_t node;
  int modeIndex;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (workerRunning_) return;
    if (reconnectTriesLeft_ <= 0) {
      linkLost_ = false;
      return;
    }
    node = reconnectNode_;
    modeIndex = reconnectMode_;
  }
  NetworkFacts now;
  backend_.detectConnections(now);
  if (now.local_connection_shortest_r_ifindex == -1 || now.local_connection_shortest_r_nexthop.empty()) return;
  if (backend_.interfaceDown(now.local_connection_shortest_r_ifindex)) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    --reconnectTriesLeft_;
    facts_.local_connection_shortest_r_ifindex = now.local_connection_shortest_r_ifindex;
    facts_.local_connection_shortest_r_nexthop = now.local_connection_shortest_r_nexthop;
  }
  status("The network is back; connecting again...");
  connectCommand(node, modeIndex);
}

std::string statusText(CConnectionController& controller) {
  ControllerSnapshot s = controller.snapshot();
  std::string text = std::string("state: ") + stateName(s.state) + "\n";
  if (!s.node.empty()) text += "node: " + s.node + "\n";
  if (!s.mode.empty()) text += "mode: " + s.mode + "\n";
  if (s.state == kConnected) {
    text += std::string("udp: ") + (s.udpEnabled ? "enabled" : "disabled") + "\n";
    text += "traffic: upload " + sizeText(static_cast<int64_t>(s.uploaded)) + ", download " +
            sizeText(static_cast<int64_t>(s.downloaded)) + ", " + sizeText(s.rate) + "/s\n";
  }
  return text;
}

}  // namespace vantor::app
