#include "service/ss_manager.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <tuple>

#include "catalogue/node_mgr.h"
#include "platform/heap.h"
#include "platform/ports.h"
#include "service/s45_client.h"
#include "service/service_log.h"
#include "service/ssr_client.h"

namespace vantor {
namespace {
std::atomic<bool> gRelayEnabled{false};
}  // namespace

bool relayEnabled() { return gRelayEnabled.load(std::memory_order_relaxed); }

CListener::~CListener() {
  SocketHandle s = listenSocket.exchange(kInvalidSocket);
  platform::closeSocket(s);
}

CSSManager& CSSManager::instance() {
  static CSSManager* manager = new CSSManager();  // lives until the process ends
  return *manager;
}

uint16_t CSSManager::choosePort(uint16_t first, int candidates, const std::vector<uint16_t>* inUse) {
  for (int i = 0; i < candidates; ++i) {
    uint32_t candidate = static_cast<uint32_t>(first) + static_cast<uint32_t>(i);
    if (candidate > 0xffff) return 0;
    if (!inUse) return static_cast<uint16_t>(candidate);
    if (!std::binary_search(inUse->begin(), inUse->end(), static_cast<uint16_t>(candidate)))
      return static_cast<uint16_t>(candidate);
  }
  return 0;
}

bool CSSManager::startService(const char* userName, const char* password, uint16_t port) {
  if (isServiceRunning()) return false;
  if (port == 0) {
    auto inUse = platform::tcpPortsInUse();
    port = choosePort(kDefaultLocalPort, 100, inUse ? &*inUse : nullptr);
    if (port == 0) {
      lastError_ = kBindFailed;
      return false;
    }
  }
  localPort_ = port;
  if (userName) localUser_ = std::string(userName).substr(0, 255);
  if (password) localPassword_ = std::string(password).substr(0, 255);
  platform::heapCreate(kServiceHeapInitialSize);
  if (!startListener()) return false;
  gRelayEnabled = true;
  return true;
}

bool CSSManager::startListener() {
  SocketHandle s = platform::createSocket(platform::SocketType::Tcp);
  if (s == kInvalidSocket) {
    lastError_ = kSocketFailed;
    return false;
  }
  platform::setReuseAddress(s);
  uint32_t port = localPort_;
  uint32_t attempts = 0;
  while (!platform::bindSocket(s, {platform::kLoopbackAddress, static_cast<uint16_t>(port)})) {
    ++attempts;
    ++port;
    if (!autoNextPort || attempts >= bindAttempts || port > 0xffff) {
      lastError_ = kBindFailed;
      platform::closeSocket(s);
      return false;
    }
  }
  if (!platform::listenSocket(s, -1)) {
    lastError_ = kListenFailed;
    platform::closeSocket(s);
    return false;
  }
  listenSocket = s;
  acceptThread_.join();  // the previous service's, already stopped
  if (!acceptThread_.createSuspended([this, s] { acceptLoop(s); }, 0)) {
    lastError_ = kThreadFailed;
    listenSocket = kInvalidSocket;
    platform::closeSocket(s);
    return false;
  }
  acceptThread_.resume();
  localPort_ = static_cast<uint16_t>(port);
  lastError_ = kNoError;
  return true;
}

void CSSManager::stopService() {
  gRelayEnabled = false;
  stopPlugin();
  SocketHandle s = listenSocket.exchange(kInvalidSocket);
  if (s == kInvalidSocket) return;
  // Shutting the socket down wakes the accept thread; it is closed once that
  // thread is gone so its number cannot be reused under the thread's feet.
  platform::shutdownSocket(s);
  acceptThread_.join();
  platform::closeSocket(s);
  std::lock_guard lock(registryLock_);
  ++idleGeneration_;
  handoffReady_.notify_all();
}

bool CSSManager::setCurrentNode(const CNodeInfo* record, std::string* error) {
  return record && setCurrentNode(CNodeMgr::instance().snapshotOf(record), error);
}

NodeRef CSSManager::currentNode() const {
  std::lock_guard lock(nodeLock_);
  return currentNode_;
}

bool CSSManager::setCurrentNode(NodeRef node, std::string* error) {
  if (!node) return false;
  bool ok = false;
  switch (node->type) {
    case kNodeShadowsocks:
      ok = !node->server.empty() && !node->password.empty() && !node->method.empty() && node->server_port != 0;
      break;
    case kNodeHttp:
    case kNodeSocks4:
    case kNodeSocks5:
      ok = !node->server.empty() && node->server_port != 0;
      break;
    default:
      break;
  }
  if (!ok) {
    if (error)
      *error = "the node is incomplete (server and port, and for Shadowsocks a method and password, are required)";
    return false;
  }
  // Without its plugin program the server would get the bare stream.
  if (node->lacksPlugin()) {
    std::string why;
    node = runPlugin(node, why);
    if (!node) {
      if (error) *error = why;
      return false;
    }
  }
  std::lock_guard lock(nodeLock_);
  currentNode_ = std::move(node);
  return true;
}

NodeRef CSSManager::runPlugin(const NodeRef& node, std::string& error) {
  std::lock_guard start(pluginStartLock_);
  std::shared_ptr<CPluginRunner> running = pluginRunner();
  if (running && running->serves(*node)) return running->plugged(*node);
  std::shared_ptr<CPluginRunner> runner = CPluginRunner::start(node, error);
  if (!runner) return nullptr;
  {
    std::lock_guard lock(nodeLock_);
    plugin_ = runner;
  }
  // Sessions still on the old program's port fail; new ones use the new one.
  if (running) running->stop();
  return runner->plugged(*node);
}

void CSSManager::stopPlugin() {
  std::lock_guard start(pluginStartLock_);
  std::shared_ptr<CPluginRunner> running;
  {
    std::lock_guard lock(nodeLock_);
    running = std::move(plugin_);
  }
  if (running) running->stop();
}

std::shared_ptr<CPluginRunner> CSSManager::pluginRunner() const {
  std::lock_guard lock(nodeLock_);
  return plugin_;
}

void CSSManager::enableRelay() { gRelayEnabled = true; }

void CSSManager::disableRelay() {
  gRelayEnabled = false;
  platform::sleepMs(500);
}

std::size_t CSSManager::sessionCount() {
  std::lock_guard lock(registryLock_);
  return registry_.size();
}

bool CSSManager::waitForSessions(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (sessionCount() > 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    platform::sleepMs(20);
  }
  return true;
}

void CSSManager::acceptLoop(SocketHandle listener) {
  bool failing = false;
  while (listenSocket.load() == listener) {
    SocketHandle client = platform::acceptSocket(listener, nullptr);
    if (client == kInvalidSocket) {
      // stopService() took the socket: the end. Anything else is a shortage
      // that ending sessions resolve (descriptors, memory, buffers): the
      // connection waits in the backlog and the listener goes on. Only
      // stopService() ends it.
      if (listenSocket.load() != listener) return;
      if (!failing) serviceLog("cannot accept a connection (%s); retrying", platform::lastSocketErrorText().c_str());
      failing = true;
      platform::sleepMs(kAcceptRetryMs);
      continue;
    }
    if (failing) serviceLog("accepting connections again");
    failing = false;
    uint32_t threadId;
    {
      std::lock_guard lock(registryLock_);
      if (registry_.size() >= kMaxSessionsRunning) {
        platform::closeSocket(client);
        continue;
      }
      threadId = ++nextThreadId_;
      if (idleSessionThreads_ > handoff_.size()) {
        // A waiting session thread takes it; the session is registered
        // before that thread can run it, as a new thread's would be.
        registry_.emplace(threadId, platform::Thread());
        handoff_.emplace_back(client, threadId);
        handoffReady_.notify_one();
        continue;
      }
    }
    platform::Thread thread;
    if (!thread.createSuspended([this, client, threadId] { sessionThread(client, threadId); }, kSessionStackSize)) {
      serviceLog("cannot start a session thread; connection closed");
      platform::closeSocket(client);
      continue;
    }
    {
      std::lock_guard lock(registryLock_);
      registry_.emplace(threadId, std::move(thread));
      registry_[threadId].resume();
    }
  }
}

void CSSManager::sessionThread(SocketHandle client, uint32_t threadId) {
  do {
    runSession(client);
  } while (awaitNextSession(client, threadId));
}

bool CSSManager::awaitNextSession(SocketHandle& client, uint32_t& threadId) {
  std::unique_lock lock(registryLock_);
  // Unregistered and counted idle in one step: once the session is gone
  // from the registry, the next connection finds this thread waiting.
  unregisterSession(threadId);
  const uint64_t generation = idleGeneration_;
  ++idleSessionThreads_;
  handoffReady_.wait_for(lock, std::chrono::seconds(kIdleSessionThreadSeconds),
                         [&] { return !handoff_.empty() || idleGeneration_ != generation; });
  --idleSessionThreads_;
  if (handoff_.empty()) return false;
  std::tie(client, threadId) = handoff_.front();
  handoff_.pop_front();
  return true;
}

void CSSManager::runSession(SocketHandle client) {
  NodeRef node = currentNode();
  if (node) {
    addLiveConnection();
    // Without memory for the session only this connection ends.
    std::unique_ptr<CSocksClient> session;
    switch (node->type) {
      case kNodeSocks4:
      case kNodeSocks5:
        session.reset(new (std::nothrow) CS45CLient(node, client, localUser_, localPassword_));
        break;
      case kNodeShadowsocks:
        session.reset(new (std::nothrow) CSSRCLient(node, client, localUser_, localPassword_));
        break;
      default:
        break;
    }
    if (session) {
      session->run();
    } else {
      platform::closeSocket(client);
    }
    session.reset();
    removeLiveConnection();
  } else {
    platform::closeSocket(client);
  }
}

void CSSManager::unregisterSession(uint32_t threadId) {
  auto it = registry_.find(threadId);
  if (it == registry_.end()) return;
  it->second.detach();
  registry_.erase(it);
}

}  // namespace vantor
