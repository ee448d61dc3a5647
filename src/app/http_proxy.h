// The local HTTP proxy of the browser-only modes: on 127.0.0.1 only, it
// forwards CONNECT and plain http:// requests through the local SOCKS 5
// service, and serves the automatic proxy configuration script.
//
// Every client connection runs on its own thread, so a slow client holds up
// only itself; the request head must arrive within kHeadTimeoutMs and fit
// the reader's limits, and at most kMaxConnections run at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>

#include "platform/net.h"
#include "platform/thread.h"

namespace vantor::app {

class CHttpProxy {
 public:
  static constexpr int kHeadTimeoutMs = 10000;
  static constexpr int kUpstreamTimeoutMs = 60000;
  static constexpr std::size_t kMaxConnections = 512;
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

 private:
  void acceptLoop(platform::SocketHandle listener);
  void serve(platform::SocketHandle client);
  void forget(platform::SocketHandle client);

  std::atomic<platform::SocketHandle> listener_{platform::kInvalidSocket};
  uint16_t port_ = 0;
  platform::Ipv4Endpoint socks_{};
  platform::Thread acceptThread_;
  std::mutex lock_;  // guards the fields below
  std::condition_variable drained_;
  std::set<platform::SocketHandle> clients_;
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
