// The local proxy service: a SOCKS 4/5 endpoint on 127.0.0.1 that runs every
// accepted connection as one session thread relaying to the current node.
//
// Threads: started and stopped by the GUI thread (or the command line's main
// thread); the current node is set by the connection worker; the accept
// thread and the session threads read it. Each session takes its own
// reference to the current snapshot when it starts, so setting another node
// never touches a running session.
#pragma once

#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "catalogue/node_info.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "service/plugin_runner.h"
#include "service/socket_base.h"

namespace vantor {

inline constexpr uint16_t kDefaultLocalPort = 16666;
inline constexpr uint16_t kUdpgwPort = 7300;
inline constexpr int kMaxUpstreamRetries = 3;  // 4 connect attempts in all
inline constexpr std::size_t kSessionStackSize = 307200;
// How long a session thread with nothing to do waits for the next connection.
inline constexpr int kIdleSessionThreadSeconds = 10;
inline constexpr std::size_t kMaxSessionsRunning = 501;
// How long the listener waits before it tries again after a failed accept.
inline constexpr int kAcceptRetryMs = 100;
inline constexpr std::size_t kServiceHeapInitialSize = 0x8000000;

// Every relay loop checks this on each pass and ends when it is false.
bool relayEnabled();

class CListener : public CSocketBase {
 public:
  ~CListener() override;

 protected:
  std::atomic<SocketHandle> listenSocket{kInvalidSocket};
};

class CSSManager : public CListener {
 public:
  enum StartError : uint32_t { kNoError = 0, kBindFailed = 1, kSocketFailed = 2, kListenFailed = 3, kThreadFailed = 4 };

  static CSSManager& instance();

  // port 0: the first port from 16666 on that is not in the host's TCP table.
  bool startService(const char* userName, const char* password, uint16_t port);
  void stopService();
  uint16_t servicePort() const { return localPort_; }
  bool isServiceRunning() const { return listenSocket.load() != kInvalidSocket; }
  // Makes `node` current for the sessions that start from now on; refused
  // (false, the current node unchanged, the reason in `error` when given)
  // when it lacks what its kind needs. A Shadowsocks node with a plugin gets
  // its plugin program (see runPlugin()) and is current as it reaches it.
  bool setCurrentNode(NodeRef node, std::string* error = nullptr);
  // The same for a snapshot of `record` taken now: for a record the caller
  // owns, or one it reads under the store's lock.
  bool setCurrentNode(const CNodeInfo* record, std::string* error = nullptr);
  NodeRef currentNode() const;
  // `node` (a Shadowsocks node with a plugin) as its TCP reaches its plugin
  // program: the program that already runs for the same node, or a new one,
  // which replaces the one before. Null with `error` when it cannot run.
  NodeRef runPlugin(const NodeRef& node, std::string& error);
  // Ends the plugin program (a disconnect, the end of the service).
  void stopPlugin();
  // The plugin program's runner, null when none runs; for status and tests.
  std::shared_ptr<CPluginRunner> pluginRunner() const;
  void enableRelay();
  void disableRelay();
  int32_t liveConnectionCount() const { return liveConnections_.load(); }
  void addLiveConnection() { ++liveConnections_; }
  void removeLiveConnection() { --liveConnections_; }
  std::size_t sessionCount();
  // Waits up to `timeoutMs` for every session thread to end; true when none is left.
  bool waitForSessions(int timeoutMs);

  const std::string& localUser() const { return localUser_; }
  const std::string& localPassword() const { return localPassword_; }
  uint32_t lastError() const { return lastError_; }

  uint8_t autoNextPort = 1;
  uint32_t bindAttempts = 100;

  // First free port at or above `first` among `candidates` ports, judged by the
  // given table of ports in use (sorted); 0 when all are taken.
  static uint16_t choosePort(uint16_t first, int candidates, const std::vector<uint16_t>* inUse);

 private:
  CSSManager() = default;
  bool startListener();
  void acceptLoop(SocketHandle listener);
  void sessionThread(SocketHandle client, uint32_t threadId);
  void runSession(SocketHandle client);
  bool awaitNextSession(SocketHandle& client, uint32_t& threadId);
  void unregisterSession(uint32_t threadId);  // registryLock_ held

  uint16_t localPort_ = kDefaultLocalPort;
  std::string localUser_;
  std::string localPassword_;
  std::atomic<uint32_t> lastError_{0};
  mutable std::mutex nodeLock_;
  NodeRef currentNode_;  // guarded by nodeLock_
  // Held while a plugin program starts or stops, so two starts never race;
  // plugin_ itself is also guarded by nodeLock_ for the readers.
  std::mutex pluginStartLock_;
  std::shared_ptr<CPluginRunner> plugin_;
  std::atomic<int32_t> liveConnections_{0};
  std::mutex registryLock_;
  std::map<uint32_t, platform::Thread> registry_;
  uint32_t nextThreadId_ = 0;
  // Session threads whose session has ended wait a while for the next
  // accepted connection: creating a thread costs more than a short
  // connection's whole relay. Guarded by registryLock_.
  std::condition_variable handoffReady_;
  std::deque<std::pair<SocketHandle, uint32_t>> handoff_;
  std::size_t idleSessionThreads_ = 0;
  uint64_t idleGeneration_ = 0;  // stopService() sends idle threads away
  platform::Thread acceptThread_;
};

}  // namespace vantor
