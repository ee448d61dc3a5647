// The plugin program of a Shadowsocks node (obfs-local, v2ray-plugin and the
// like), run the SIP003 way: it listens on a loopback port of ours
// (SS_LOCAL_HOST/SS_LOCAL_PORT), carries what it gets there to the server
// (SS_REMOTE_HOST/SS_REMOTE_PORT) in its own framing, and reads its options
// from SS_PLUGIN_OPTIONS. Only TCP goes through it: plugins carry no UDP.
//
// The runner owns one supervising thread. That thread starts the program
// (so the child, killed when its starting thread ends, lives exactly as long
// as the runner), writes each line of its output to the service log, and
// starts it again on the same port when it dies, at most `maxRestarts` times
// within `restartWindowMs`, after which it gives up with a message. Snapshots
// made by plugged() stay valid across restarts, as the port does not change.
//
// Threads: start(), stop() and the destructor belong to the owner's thread;
// the other calls may come from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "catalogue/node_info.h"
#include "platform/process.h"

namespace vantor {

class CPluginRunner {
 public:
  struct Policy {
    int startWaitMs = 10000;  // until the local port accepts
    int maxRestarts = 5;      // within the window; then the runner gives up
    int restartWindowMs = 60000;
    int restartDelayMs = 300;
  };
  // Where the program's lines and the runner's messages go (by default the
  // service log on standard error).
  using LogSink = std::function<void(const std::string&)>;

  // Starts the plugin of `node` (a Shadowsocks node with a plugin) and waits
  // until its local port accepts. Null with `error` when the program is not
  // installed, the server's name does not resolve, or the program ends or
  // does not listen in time.
  static std::unique_ptr<CPluginRunner> start(const NodeRef& node, std::string& error, Policy policy,
                                              LogSink log = nullptr);
  static std::unique_ptr<CPluginRunner> start(const NodeRef& node, std::string& error) {
    return start(node, error, Policy{});
  }

  ~CPluginRunner();
  CPluginRunner(const CPluginRunner&) = delete;
  CPluginRunner& operator=(const CPluginRunner&) = delete;

  // Ends the program and the supervision; the port stays closed.
  void stop();

  // `node` as connections through this runner use it: TCP to the plugin's
  // port, UDP and routes to the server's address the plugin was given.
  NodeRef plugged(const NodeSnapshot& node) const;
  // Whether this runner is the plugin of `node`: the same program, options
  // and server (and the same address, when `node` has one), and still
  // restarting its program when it dies.
  bool serves(const NodeSnapshot& node) const;
  uint16_t localPort() const { return localPort_; }
  const std::string& remoteAddress() const { return remoteAddress_; }
  // The running program's process id; 0 between a death and its restart,
  // and after the runner gave up.
  int pid() const { return pid_.load(); }
  bool gaveUp() const { return gaveUp_.load(); }
  int restarts() const { return restarts_.load(); }

 private:
  CPluginRunner() = default;
  void supervise();
  // Starts the program; false (after a log line) when it could not be.
  bool spawn(platform::ChildProcess& child, std::string& error);
  void log(const std::string& line) const;
  // Waits up to `ms` for stop(); true when stop() was called.
  bool stopRequested(int ms);
  void finishStart(bool ok, const std::string& error);

  std::string plugin_;
  std::string pluginOpts_;
  std::string program_;
  std::string server_;
  uint16_t serverPort_ = 0;
  std::string remoteAddress_;
  uint16_t localPort_ = 0;
  Policy policy_;
  LogSink log_;

  std::mutex lock_;
  std::condition_variable wake_;
  bool stopping_ = false;   // guarded by lock_
  int startState_ = 0;      // 0 waiting, 1 ready, -1 failed; guarded by lock_
  std::string startError_;  // guarded by lock_
  std::atomic<int> pid_{0};
  std::atomic<bool> gaveUp_{false};
  std::atomic<int> restarts_{0};
  std::deque<int64_t> restartTimes_;  // the supervising thread's only
  std::thread thread_;
};

}  // namespace vantor
