// vantor-helper [--socket PATH] [--group NAME|GID] [--state-dir DIR]
//
// The privileged half of Vantor: makes the host network changes a connection
// needs for root and the members of one group, and puts the host back when a
// client asks, when it goes away, and at the next start after a crash. Runs in
// the foreground and logs to standard error.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "helper/server.h"
#include "platform/signals.h"
#include "platform/termination_events.h"

namespace {

int usage() {
  std::fprintf(stderr, "usage: vantor-helper [--socket PATH] [--group NAME|GID] [--state-dir DIR]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  vantor::helper::HelperConfig config;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      usage();
      return 0;
    }
    if (i + 1 >= argc) return usage();
    std::string value = argv[++i];
    if (option == "--socket")
      config.socketPath = value;
    else if (option == "--group")
      config.group = value;
    else if (option == "--state-dir")
      config.stateDir = value;
    else
      return usage();
  }
  std::signal(SIGPIPE, SIG_IGN);
  vantor::platform::blockTerminationSignals();
  vantor::helper::HelperServer server(config);
  std::string error;
  if (!server.start(error)) {
    std::fprintf(stderr, "vantor-helper: %s\n", error.c_str());
    return 1;
  }
  std::thread watcher([&server] {
    while (vantor::platform::waitTerminationSignalFor(1000) == 0) {
    }
    server.stop();
  });
  server.run();
  server.stop();
  watcher.join();
  std::fprintf(stderr, "vantor-helper: stopped\n");
  return 0;
}
