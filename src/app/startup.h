// Start-up of the program before its front end runs, in this order: the
// crash report writer; the folders; the single-instance check (a second
// start asks the first to show itself and ends here, before anything on the
// host is touched); the language; the settings, the proxy script, libsodium,
// the nodes, localhost.ini, the subscriptions (those due are refreshed in
// the background), the event actions and the client identity; the clean-up of what an earlier run left on the
// host (routes, TUN interface, DNS, the desktop proxy settings). Adapter
// discovery follows in the front end; then the local service and the HTTP
// proxy start, once.
//
// CVexorApp is the one core the front ends drive: it owns the catalogue,
// the settings, the local service, the program backend and the connection
// controller, offers the commands, and turns the controller's reports into
// one event stream (events()). Threading: the commands are called from the
// front end's one thread (the GUI thread, the command's main thread); the
// control endpoint's thread calls the connection commands too, which the
// controller serialises. Events are posted from any thread and delivered on
// one thread, see core_events.h.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/controller.h"
#include "app/controller_backend.h"
#include "app/core_catalogue.h"
#include "app/core_events.h"
#include "app/core_host.h"
#include "app/instance.h"

namespace vantor::app {

class CProgramBackend;

// What the traffic window shows: totals of the selected node's store.
struct TrafficNow {
  std::string total;  // all nodes' traffic, as text
  std::string rate;   // the selected node's rate while connected, else "0 B/s"
  int connections = 0;
};

class CVexorApp : public IControllerObserver {
 public:
  enum class Outcome { Ready, AlreadyRunning, Failed };

  CVexorApp();
  ~CVexorApp() override;
  CVexorApp(const CVexorApp&) = delete;
  CVexorApp& operator=(const CVexorApp&) = delete;

  // Runs the start-up steps; `report` gets what the clean-up did.
  Outcome start(std::string& error, std::vector<std::string>& report);
  // Starts the local service (port 0: 16666 or the next free one) and the
  // HTTP proxy on it; the messages are the ones the window would show.
  bool startServices(std::string& error);

  CInstance& instance() { return *instance_; }
  const NetworkFacts& facts() const { return facts_; }
  bool sodiumReady() const { return sodiumReady_; }
  const std::string& pacText() const { return pacText_; }
  // What start() found damaged in the configuration files (also in its report).
  const std::vector<std::string>& fileWarnings() const { return fileWarnings_; }

  // ---- what the front ends reach through the core -------------------------
  CCatalogue& catalogue() { return catalogue_; }
  CSettingsStore& settings() { return settings_; }
  CLocalService& service() { return service_; }
  CEventQueue& events() { return events_; }
  // The HTTP proxy's port (0 when it does not run).
  uint16_t httpProxyPort() const;
  // The local service as the window's traffic window shows it (the rate
  // only while `connected`); nothing while no node is selected.
  std::optional<TrafficNow> traffic(bool connected);

  // ---- the connection ------------------------------------------------------
  // Makes the program backend (reads the rule files: slow) and the
  // controller, which reports into events().
  void openConnection();
  // The same over a backend of the caller's (tests); it must outlive the core.
  void openConnection(IConnectionBackend& backend);
  bool connectionOpen() const { return controller_ != nullptr; }
  // Ends the controller (waiting for its worker and timers) and the program
  // backend; events they post after the front end stopped draining stay queued.
  void closeConnection();
  // Adapter discovery: the facts go to the controller; without a TUN
  // interface the driver is installed (`wait`: before returning).
  void detectNetwork(bool wait);
  // A node that lives only in this run (a link on the command line); its id.
  int32_t addTransientNode(const NodeParams& params);
  // A node by id, the stored and the transient ones.
  CNodeInfo* findNode(int32_t id);

  bool connect(int32_t nodeId, int modeIndex) { return controller_->connectCommand(nodeId, modeIndex); }
  bool connect() { return controller_->connectCommand(); }
  bool disconnect() { return controller_->disconnectCommand(); }
  bool toggle(int32_t nodeId, int modeIndex) { return controller_->toggleCommand(nodeId, modeIndex); }
  void exitConnection() { controller_->exitCommand(); }
  void armDelayedConnect() { controller_->armDelayedConnect(); }
  void startNetworkMonitor() { controller_->startNetworkMonitor(); }
  int state() const { return controller_ ? controller_->state() : kIdle; }
  bool waitIdle(int timeoutMs) { return controller_->waitForWorker(timeoutMs); }
  std::string statusText() { return app::statusText(*controller_); }
  CConnectionController& controller() { return *controller_; }
  // The program backend's host report (undo steps, failures) since the last call.
  std::vector<std::string> takeReport();
  // At exit: takes back what is still changed on the host and waits a
  // moment for the local service's sessions.
  void undoHostChanges();

  // The control endpoint that `vantor status`, `vantor disconnect` and a
  // second start talk to: "show" posts kShowWindow, "disconnect" disconnects
  // and calls `disconnected` (may be empty). Runs on the endpoint's thread.
  bool serveControl(std::function<void()> disconnected, std::string& error);
  // A termination request (a signal) for the front end: kExitRequested.
  void requestExit() { post(CoreEvent::kExitRequested); }

  // IControllerObserver: any thread; each report becomes one event.
  void onStatus(const std::string& text) override;
  void onMessage(const std::string& text) override;
  void onStateChanged(int state) override;
  void onButton(const std::string& text, const std::string& tooltip) override;
  void onControlsEnabled(bool enabled) override;
  void onSummary(const StatusSummary& summary) override;
  void onUdpWarning(bool visible, const std::string& tooltip) override;
  void onHideWindow() override;
  void onShowWindow() override;

 private:
  void post(CoreEvent::Kind kind, std::function<void(CoreEvent&)> fill = {});

  // Destroyed in reverse: the controller (which reports into the queue)
  // before the backend, both before the queue.
  CEventQueue events_;
  CCatalogue catalogue_;
  CSettingsStore settings_;
  CLocalService service_;
  std::unique_ptr<CProgramBackend> backend_;
  IConnectionBackend* connectionBackend_ = nullptr;
  std::unique_ptr<CConnectionController> controller_;
  std::unique_ptr<CInstance> instance_;
  NetworkFacts facts_;
  bool sodiumReady_ = false;
  std::string pacText_;
  std::vector<std::string> fileWarnings_;
  std::thread refresher_;
};

// China's networks from the shipped rule data (the networks of the
// "China only" rule file), for the proxy script.
std::vector<struct Ipv4Network> chinaNetworks();

}  // namespace vantor::app
