// Small blocking socket helpers for tests that talk to the service over loopback.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"

namespace vantor::test {

using Bytes = std::vector<uint8_t>;

// A TCP connection from the test to a loopback port.
class Conn {
 public:
  explicit Conn(uint16_t port);
  explicit Conn(platform::SocketHandle adopted) : s_(adopted) {}
  ~Conn();
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;
  bool connected() const { return s_ != platform::kInvalidSocket; }
  platform::SocketHandle handle() const { return s_; }
  // Hands the socket over to whoever closes it instead.
  platform::SocketHandle release() {
    auto s = s_;
    s_ = platform::kInvalidSocket;
    return s;
  }
  bool send(const Bytes& data);
  bool send(const std::string& data) { return send(Bytes(data.begin(), data.end())); }
  // Exactly n bytes, or what arrived before the peer closed or the time ran out.
  Bytes recv(std::size_t n, int timeoutMs = 3000);
  // True when the peer closes (or resets) within the time, having sent nothing more.
  bool closedWithin(int timeoutMs);
  void shutdownWrite();

 private:
  platform::SocketHandle s_ = platform::kInvalidSocket;
};

// A loopback listener on a free port.
class Listener {
 public:
  explicit Listener(int backlog = 64);
  ~Listener();
  uint16_t port() const { return port_; }
  platform::SocketHandle handle() const { return s_; }
  platform::SocketHandle accept(int timeoutMs);

 private:
  platform::SocketHandle s_ = platform::kInvalidSocket;
  uint16_t port_ = 0;
};

// A port on which nothing listens (connects are refused).
uint16_t closedPort();

Bytes socks5Connect(const std::string& host, uint16_t port);  // request after the greeting
Bytes socks5ConnectIpv4(uint32_t address, uint16_t port);

// A SOCKS 5 (or SOCKS 4) server of our own that records what it was asked and
// then echoes, so tests can check the exact bytes the service sends upstream.
class FakeSocksNode {
 public:
  struct Request {
    Bytes greeting;  // SOCKS 5: the methods offered
    Bytes login;     // RFC 1929 sub-negotiation, when one happened
    Bytes request;   // the request as received
  };
  // `reply` is what the node answers to a request (full bytes); empty: success.
  FakeSocksNode(bool socks4, Bytes reply = {}, bool demandLogin = false);
  ~FakeSocksNode();
  uint16_t port() const { return listener_.port(); }
  std::vector<Request> requests();
  int connections() const { return connections_.load(); }

 private:
  void serve(platform::SocketHandle s);
  bool socks4_;
  Bytes reply_;
  bool demandLogin_;
  Listener listener_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::mutex mutex_;
  std::vector<Request> requests_;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

}  // namespace vantor::test
