// The connection controller: turns the chosen node and proxy mode into a
// working connection and takes it down again. Connect, disconnect and the
// driver reinstall run on one worker thread (at most one at a time); the
// front ends (command line, window) learn everything through the observer
// and call the commands, so they stay thin.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "app/controller_backend.h"

namespace vantor::app {

enum ConnectionState : int { kIdle = 0, kConnecting = 1, kDisconnecting = 2, kConnected = 3 };
const char* stateName(int state);  // "idle", "connecting", ...

// The status summary after a connect, also the tray tooltip's data.
struct StatusSummary {
  bool connected = false;
  std::string proxyLine;  // "Proxy: %s-%s:%d" or "Proxy: %s-%s"
  std::string modeLine;   // "Mode: %s"
  std::string udpLine;    // "UDP is enabled" / "UDP is disabled"
};

// The tray tooltip: "Vantor 6.0\nproxy\nmode\nudp" while connected, else
// "Vantor 6.0 Disconnected".
std::string trayTooltip(const StatusSummary& summary);
inline constexpr const char* kProductName = "Vantor";
inline constexpr const char* kVersionText = "6.0";

// Called from the worker thread and the monitor; texts are translated.
class IControllerObserver {
 public:
  virtual ~IControllerObserver() = default;
  virtual void onStatus(const std::string& text) = 0;   // the status line
  virtual void onMessage(const std::string& text) = 0;  // a message box
  virtual void onStateChanged(int state) = 0;
  virtual void onButton(const std::string& text, const std::string& tooltip) = 0;  // the main button
  virtual void onControlsEnabled(bool enabled) = 0;  // node list, mode list, action buttons
  virtual void onSummary(const StatusSummary& summary) = 0;
  // The indicator shown while UDP is not relayed; `tooltip` is its text.
  virtual void onUdpWarning(bool visible, const std::string& tooltip) = 0;
  // onMessage texts may hold several lines: a failure's text, then its
  // reason on a line of its own.
  // After a connect with AutomaticHideWindow: hide like a user close.
  virtual void onHideWindow() {}
  // Another start asked this instance to show itself.
  virtual void onShowWindow() {}
};

// What `vantor status` and the window's summary show.
struct ControllerSnapshot {
  int state = kIdle;
  std::string node;          // the display text of the connected (or selected) node
  int32_t connectedId = -1;  // the connected node's id; -1 while none is connected
  std::string mode;
  bool udpEnabled = false;
  double uploaded = 0, downloaded = 0;
  uint32_t rate = 0;
  StatusSummary summary;
};

// Threads: the commands may be called from any thread (the front end, the
// timer thread of the delayed connect and the monitor, the control endpoint)
// and are served one at a time. The observer is called from the worker, the
// timer thread and a command's caller; the core queues what it hears for the
// front ends' one delivering thread.
class CConnectionController {
 public:
  static constexpr int kMonitorIntervalMs = 3000;
  static constexpr int kAddressWaitMs = 10000;
  static constexpr int kReconnectTries = 5;

  CConnectionController(IConnectionBackend& backend, IControllerObserver& observer);
  ~CConnectionController();  // stops timers and waits for the worker
  CConnectionController(const CConnectionController&) = delete;
  CConnectionController& operator=(const CConnectionController&) = delete;

  // Start-up facts: what adapter discovery found before the window opened.
  void setNetworkFacts(const NetworkFacts& facts);

  // Commands. `nodeId` -1 = nothing selected; `modeIndex` -1 = no mode.
  // connectCommand returns false when it refused (message shown) or was
  // ignored; true when a connect was started.
  bool connectCommand(int32_t nodeId, int modeIndex);
  bool connectCommand();  // the store's selection and the current mode
  bool disconnectCommand();
  bool toggleCommand(int32_t nodeId, int modeIndex);
  void exitCommand();
  bool startDriverReinstall();
  // Selects LastUsedNodeId and, with AutomaticallyEstablishConnection,
  // connects after DelayedConnect seconds (outside 1..300: 10).
  void armDelayedConnect();
  // The 3-second network monitor; monitorTick() is one of its passes.
  void startNetworkMonitor(int intervalMs = kMonitorIntervalMs);
  void monitorTick();

  int state() const { return state_.load(); }
  bool udpEnabled() const { return udpEnabled_.load(); }
  ControllerSnapshot snapshot();
  // Waits until no worker runs (or `timeoutMs` passed); true when idle.
  bool waitForWorker(int timeoutMs);
  // Whether the last connect attempt ended connected.
  bool lastConnectSucceeded() const { return lastConnectOk_.load(); }

 private:
  enum Action { kNone = -1, kActionConnect = 0, kActionDisconnect = 2, kActionReinstall = 3 };

  // The commands' bodies, called with commandLock_ held.
  bool connectLocked(int32_t nodeId, int modeIndex);
  bool disconnectLocked();
  bool startWorker(Action action);
  void workerMain(Action action);
  bool connectSequence();
  bool systemProxyPath(const ModeInfo& mode);
  bool tapPath(const ModeInfo& mode, bool& tapConfigured);
  void disconnectSequence();
  void reinstallDriver();
  void connectFailed(bool tapConfigured);
  void status(const char* text);
  void statusText(const std::string& text);
  void message(const char* text);
  // A failure the user must see in full: `text` in a message box with the
  // backend's reason (or `reason`, when the backend knows none) on a line of
  // its own below it, and `text` as the status.
  void fail(const char* text, FailureReason reason = {});
  // Runs the plugin program of a node that needs one (`node` becomes the
  // snapshot that reaches it); false after the failure was reported.
  bool startPlugin(NodeRef& node);
  void setState(int state);
  void setButton(bool connected);
  StatusSummary buildSummary(const NodeSnapshot* node, const ModeInfo& mode);
  void timerLoop();

  IConnectionBackend& backend_;
  IControllerObserver& observer_;
  std::atomic<int> state_{kIdle};
  std::atomic<bool> udpEnabled_{false};
  std::atomic<bool> lastConnectOk_{false};
  std::atomic<bool> exiting_{false};
  // Commands come from the front end, the timers and the control endpoint:
  // one at a time, so a check of the state and the change that follows it
  // are never split by another command.
  std::mutex commandLock_;

  std::mutex lock_;  // guards the fields below
  std::thread worker_;
  bool workerRunning_ = false;
  std::condition_variable workerDone_;
  NetworkFacts facts_;
  // Why the last driver install failed: a connect refused for the missing
  // interface says it again.
  FailureReason driverFailure_;
  ModeInfo connectedMode_;
  NodeRef connectedNode_;
  NodeRef connectingNode_;  // worker only: what the connect handed to the service
  StatusSummary summary_;
  // Reconnect after a lost link: the node and mode to use, tries left.
  bool linkLost_ = false;
  int reconnectTriesLeft_ = 0;
  int32_t reconnectNode_ = -1;
  int reconnectMode_ = -1;

  // Timers: the delayed connect (deadline in backend time, -1 = off) and
  // the monitor, served by one thread.
  std::thread timerThread_;
  std::condition_variable timerWake_;
  bool stopping_ = false;
  int64_t delayedConnectAt_ = -1;
  int monitorIntervalMs_ = 0;
  int64_t nextMonitorAt_ = -1;
};

// The answer to `vantor status`: "state: ...", then node, mode and, while
// connected, UDP and traffic lines.
std::string statusText(CConnectionController& controller);

}  // namespace vantor::app
