// The local HTTP proxy of the browser-only modes: on 127.0.0.1 only, it
// forwards CONNECT and plain http:// requests through the local SOCKS 5
// service, and serves the automatic proxy configuration script.
//
// Every client connection runs on its own thread, so a slow client holds up
// only itself. Each request on a connection is read whole and sent to its
// own host over its own connection through the service; the answer goes
// back with this hop's header fields replaced, and the next request on the
// connection (sent ahead or later) is read after it.
//
// Limits: a request head must arrive within kHeadTimeoutMs and fit the
// reader's limits. Connections still waiting for a head are bounded per
// source address and in all; a new client pushes out the oldest one that has
// waited a while instead of being refused, so a crowd of slow heads cannot
// lock others out.
// At most kMaxUpstreams connections of this proxy hold a session of the
// service at once, well below the service's own cap, so that the host's
// tunnelled connections and the service's SOCKS clients always find room;
// a tunnel or answer in which nothing moves for the idle limit is closed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "platform/net.h"
#include "platform/thread.h"

namespace vantor::app {

class HttpHeadReader;
struct HttpTarget;

class CHttpProxy {
 public:
  static constexpr int kHeadTimeoutMs = 10000;
  // How long a client's connection may wait idle for its next request.
  static constexpr int kKeepAliveMs = 30000;
  static constexpr int kUpstreamTimeoutMs = 60000;
  static constexpr int kIdleLimitSeconds = 300;
  // A Shadowsocks node sends no reply to a connect: it closes the
  // connection when it cannot reach the target. A CONNECT through one is
  // answered once the node stayed silent this long (or sent data).
  static constexpr int kSilentNodeWaitMs = 300;
  static constexpr std::size_t kMaxConnections = 512;
  static constexpr std::size_t kMaxWaitingHeads = 128;
  static constexpr std::size_t kMaxWaitingHeadsPerSource = 64;
  // A connection is pushed out only after waiting this long for its head
  // (unless every connection is taken): a burst of new clients does not push
  // out each other.
  static constexpr int kWaitingGraceMs = 1000;
  static constexpr std::size_t kMaxUpstreams = 200;
  static constexpr std::size_t kRelayBufferSize = 64 * 1024;
  static constexpr const char* kPacPath = "/proxy.pac";

  CHttpProxy() = default;
  ~CHttpProxy();
  CHttpProxy(const CHttpProxy&) = delete;
  CHttpProxy& operator=(const CHttpProxy&) = delete;

  // Listens on 127.0.0.1:`listenPort` (0: a free port the system picks) and
  // forwards to the SOCKS 5 server on 127.0.0.1:`socksPort`.
  bool start(uint16_t socksPort, uint16_t listenPort, std::string& error);
  void stop();
  bool isStarted() const { return listener_.load() != platform::kInvalidSocket; }
  uint16_t port() const { return port_; }
  void setSocksLogin(const std::string& user, const std::string& password);

  // The script served at kPacPath; "__PROXY__" in it is replaced by this
  // proxy's "127.0.0.1:PORT" and "__SOCKS__" by the SOCKS service's.
  void setPacText(const std::string& text);
  std::string pacUrl() const;
  std::size_t connectionCount();
  // Seconds without a byte moved after which a tunnel or answer is closed.
  void setIdleLimit(int seconds) { idleLimitSeconds_ = seconds > 0 ? seconds : kIdleLimitSeconds; }

 private:
  enum class HeadWait { Ready, Closed, TimedOut };
  struct Waiting {
    uint64_t order;
    uint32_t source;
    std::chrono::steady_clock::time_point since;
  };

  void acceptLoop(platform::SocketHandle listener);
  void serve(platform::SocketHandle client, uint32_t source);
  void forget(platform::SocketHandle client);
  HeadWait readHead(platform::SocketHandle client, uint32_t source, HttpHeadReader& reader, std::string& pending,
                    int timeoutMs, bool& gotBytes);
  // Answers one request; false when the client's connection is to close.
  bool handle(platform::SocketHandle client, HttpHeadReader& reader, std::string& pending);
  bool exchange(platform::SocketHandle client, platform::SocketHandle upstream, HttpHeadReader& reader,
                const HttpTarget& target, std::string& pending);
  void tunnel(platform::SocketHandle client, platform::SocketHandle upstream, HttpHeadReader& reader,
              const HttpTarget& target);
  bool nodeConfirmsConnect() const;
  void setWaiting(platform::SocketHandle client, uint32_t source, bool waiting);
  // Makes room for one more waiting connection from `source`; lock_ held.
  // `evenRecent`: the house is full, and one that came a moment ago may go.
  bool pushOutWaiting(uint32_t source, bool evenRecent);

  std::atomic<platform::SocketHandle> listener_{platform::kInvalidSocket};
  uint16_t port_ = 0;
  platform::Ipv4Endpoint socks_{};
  platform::Thread acceptThread_;
  std::mutex lock_;  // guards the fields below
  std::condition_variable drained_;
  std::set<platform::SocketHandle> clients_;
  std::map<platform::SocketHandle, Waiting> waiting_;
  uint64_t waitOrder_ = 0;
  std::size_t upstreams_ = 0;
  std::atomic<int> idleLimitSeconds_{kIdleLimitSeconds};
  std::string pacText_;
  std::string socksUser_;
  std::string socksPassword_;
};

// The calls the connection controller makes, named as the proxy library it
// replaces named them. `start_privoxy` forwards to host:port with SOCKS 5
// (`forwardType` 5; other types are refused), listens on `listenHost` (only
// 127.0.0.1 is accepted) and `listenPort` (0: any free port); 0 = success.
int start_privoxy(int forwardType, const char* forwardHost, int forwardPort, int, int, const char* listenHost,
                  int listenPort, const char* option);
bool is_privoxy_started();
CHttpProxy& localHttpProxy();

}  // namespace vantor::app
