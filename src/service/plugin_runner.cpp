#include "service/plugin_runner.h"

#include <chrono>
#include <vector>

#include "catalogue/share_link.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "service/host_cache.h"
#include "service/service_log.h"

namespace vantor {
namespace {

constexpr int kStopGraceMs = 1000;
constexpr int kPollMs = 100;
constexpr const char* kLocalHost = "127.0.0.1";

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A loopback port nothing listens on now, from the system's own choice.
uint16_t freeLoopbackPort() {
  platform::SocketHandle s = platform::createSocket(platform::SocketType::Tcp);
  if (s == platform::kInvalidSocket) return 0;
  platform::Ipv4Endpoint local{platform::kLoopbackAddress, 0};
  uint16_t port = 0;
  if (platform::bindSocket(s, local) && platform::localEndpoint(s, local)) port = local.port;
  platform::closeSocket(s);
  return port;
}

bool acceptsConnections(uint16_t port) {
  platform::SocketHandle s = platform::createSocket(platform::SocketType::Tcp);
  if (s == platform::kInvalidSocket) return false;
  bool ok = platform::connectSocket(s, {platform::kLoopbackAddress, port}) == platform::ConnectStatus::Connected;
  platform::closeSocket(s);
  return ok;
}

}  // namespace

std::unique_ptr<CPluginRunner> CPluginRunner::start(const NodeRef& node, std::string& error, Policy policy,
                                                    LogSink log) {
  if (!node || !node->isShadowsocks() || node->plugin.empty()) {
    error = "the node has no Shadowsocks plugin";
    return nullptr;
  }
  std::unique_ptr<CPluginRunner> runner(new CPluginRunner());
  runner->plugin_ = node->plugin;
  runner->pluginOpts_ = node->plugin_opts;
  runner->program_ = pluginProgramPath(node->plugin);
  if (runner->program_.empty()) {
    NodeParams params;
    params.type = node->type;
    params.plugin = node->plugin;
    error = pluginRefusal(params);
    return nullptr;
  }
  runner->server_ = trimBlanks(node->server);
  runner->serverPort_ = node->server_port;
  runner->remoteAddress_ = node->resolvedIp;
  // The plugin gets the address the rest of the connection uses, so that the
  // route that keeps the server off the tunnel covers the plugin's traffic.
  if (runner->remoteAddress_.empty() && !resolveHost(runner->server_, runner->remoteAddress_)) {
    error = "Can not resolve SS server's domain name";
    return nullptr;
  }
  runner->localPort_ = freeLoopbackPort();
  if (runner->localPort_ == 0) {
    error = "no free local port for the Shadowsocks plugin " + node->plugin;
    return nullptr;
  }
  runner->policy_ = policy;
  runner->log_ = std::move(log);
  try {
    runner->thread_ = std::thread([r = runner.get()] { r->supervise(); });
  } catch (...) {
    error = "cannot start a thread for the Shadowsocks plugin";
    return nullptr;
  }
  std::unique_lock lock(runner->lock_);
  runner->wake_.wait(lock, [&] { return runner->startState_ != 0; });
  if (runner->startState_ < 0) {
    error = runner->startError_;
    lock.unlock();
    runner->stop();
    return nullptr;
  }
  return runner;
}

CPluginRunner::~CPluginRunner() { stop(); }

void CPluginRunner::stop() {
  {
    std::lock_guard lock(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

NodeRef CPluginRunner::plugged(const NodeSnapshot& node) const {
  return node.withTcpEndpoint(remoteAddress_, kLocalHost, localPort_);
}

bool CPluginRunner::serves(const NodeSnapshot& node) const {
  return !gaveUp_ && node.plugin == plugin_ && node.plugin_opts == pluginOpts_ && trimBlanks(node.server) == server_ &&
         node.server_port == serverPort_ && (node.resolvedIp.empty() || node.resolvedIp == remoteAddress_);
}

void CPluginRunner::log(const std::string& line) const {
  if (log_)
    log_(line);
  else
    serviceLog("%s", line.c_str());
}

bool CPluginRunner::stopRequested(int ms) {
  std::unique_lock lock(lock_);
  if (ms > 0) wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
  return stopping_;
}

void CPluginRunner::finishStart(bool ok, const std::string& error) {
  {
    std::lock_guard lock(lock_);
    if (startState_ != 0) return;
    startState_ = ok ? 1 : -1;
    startError_ = error;
  }
  wake_.notify_all();
}

bool CPluginRunner::spawn(platform::ChildProcess& child, std::string& error) {
  std::vector<std::string> env = {
      "SS_REMOTE_HOST=" + remoteAddress_,         "SS_REMOTE_PORT=" + std::to_string(serverPort_),
      std::string("SS_LOCAL_HOST=") + kLocalHost, "SS_LOCAL_PORT=" + std::to_string(localPort_),
      "SS_PLUGIN_OPTIONS=" + pluginOpts_,
  };
  if (!child.start(program_, {program_}, env, error)) {
    error = "The Shadowsocks plugin " + plugin_ + " could not be started: " + error;
    log(error);
    return false;
  }
  pid_ = child.pid();
  log("The Shadowsocks plugin " + plugin_ + " runs as process " + std::to_string(child.pid()) + " on " + kLocalHost +
      ":" + std::to_string(localPort_) + " for " + remoteAddress_ + ":" + std::to_string(serverPort_));
  return true;
}

void CPluginRunner::supervise() {
  platform::setCurrentThreadName("ss-plugin");
  platform::ChildProcess child;
  std::vector<std::string> lines;
  std::string lastLine;
  auto forward = [&](int waitMs) {
    lines.clear();
    child.readLines(lines, waitMs);
    for (const std::string& line : lines) {
      if (line.empty()) continue;
      log(plugin_ + ": " + line);
      lastLine = line;
    }
  };

  std::string error;
  if (!spawn(child, error)) {
    finishStart(false, error);
    return;
  }
  // The first start: until the port accepts, the program ends, or time is up.
  const int64_t deadline = nowMs() + policy_.startWaitMs;
  for (;;) {
    forward(20);
    if (acceptsConnections(localPort_)) break;
    if (!child.alive()) {
      forward(0);
      error = "The Shadowsocks plugin " + plugin_ + " ended at its start (" + child.endText() + ")" +
              (lastLine.empty() ? "" : ": " + lastLine);
      log(error);
      pid_ = 0;
      finishStart(false, error);
      return;
    }
    if (nowMs() >= deadline || stopRequested(0)) {
      error = "The Shadowsocks plugin " + plugin_ + " did not listen on " + kLocalHost + ":" +
              std::to_string(localPort_) + " within " + std::to_string(policy_.startWaitMs / 1000) + " s";
      log(error);
      child.terminate(kStopGraceMs);
      pid_ = 0;
      finishStart(false, error);
      return;
    }
  }
  finishStart(true, {});

  while (!stopRequested(0)) {
    forward(kPollMs);
    if (child.alive()) continue;
    forward(0);
    pid_ = 0;
    const int64_t now = nowMs();
    while (!restartTimes_.empty() && now - restartTimes_.front() >= policy_.restartWindowMs) restartTimes_.pop_front();
    if (static_cast<int>(restartTimes_.size()) >= policy_.maxRestarts) {
      gaveUp_ = true;
      log("The Shadowsocks plugin " + plugin_ + " " + child.endText() + " again; it ended " +
          std::to_string(restartTimes_.size() + 1) + " times within " + std::to_string(policy_.restartWindowMs / 1000) +
          " s and is not restarted any more");
      break;
    }
    log("The Shadowsocks plugin " + plugin_ + " " + child.endText() + "; restarting it");
    if (stopRequested(policy_.restartDelayMs)) return;
    restartTimes_.push_back(nowMs());
    ++restarts_;
    // A failed start counts as a death and is retried the same way.
    spawn(child, error);
  }
  // Given up: wait for stop() only.
  while (gaveUp_ && !stopRequested(60000)) {
  }
  child.terminate(kStopGraceMs);
  pid_ = 0;
}

}  // namespace vantor
