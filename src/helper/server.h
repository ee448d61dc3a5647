// The privileged network helper's service: a socket for root and one group,
// one session per connection, the host put back when a client goes away.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/helper_ipc.h"

namespace vantor::helper {

inline constexpr const char* kDefaultSocket = "/run/vantor/helper.sock";
inline constexpr const char* kDefaultGroup = "vantor";
inline constexpr const char* kDefaultStateDir = "/run/vantor-helper";

struct HelperConfig {
  std::string socketPath = kDefaultSocket;
  std::string group = kDefaultGroup;
  std::string stateDir = kDefaultStateDir;
};

// Points the records at `dir` (created 0700, the helper's own).
bool prepareStateDir(const std::string& dir, std::string& error);

// Serves one client connection until it ends, then undoes its session (the
// caller closes the socket).
// `allowedGid`: members of this group (and root) are served.
void serveConnection(platform::SocketHandle socket, const platform::PeerCredentials& peer, unsigned allowedGid,
                     const std::string& groupName);

class HelperServer {
 public:
  explicit HelperServer(HelperConfig config) : config_(std::move(config)) {}
  ~HelperServer();
  // Recovers the state folder and listens; false with the reason.
  bool start(std::string& error);
  // Accepts clients until stop() (from another thread or a signal watcher).
  void run();
  // Stops accepting, ends every session (each undone) and waits for them.
  void stop();

 private:
  HelperConfig config_;
  unsigned gid_ = 0;
  platform::SocketHandle listener_ = platform::kInvalidSocket;
  std::atomic<bool> stopping_{false};
  std::mutex lock_;
  std::vector<platform::SocketHandle> clients_;  // connected, for stop()
  std::atomic<int> active_{0};
};

}  // namespace vantor::helper
