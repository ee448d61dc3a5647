// Start-up of the program before its front end runs, in this order: the
// crash report writer; the folders; the single-instance check (a second
// start asks the first to show itself and ends here, before anything on the
// host is touched); the language; the settings, the proxy script, libsodium,
// the nodes, localhost.ini, the subscriptions (those due are refreshed in
// the background), the event actions and the client identity; the clean-up of what an earlier run left on the
// host (routes, TUN interface, DNS, the desktop proxy settings). Adapter
// discovery follows in the front end; then the local service and the HTTP
// proxy start, once.
#pragma once

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/controller_backend.h"
#include "app/instance.h"

namespace vantor::app {

class CVexorApp {
 public:
  enum class Outcome { Ready, AlreadyRunning, Failed };

  CVexorApp();
  ~CVexorApp();

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

 private:
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
