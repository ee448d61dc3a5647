#include "test_net.h"

#include <cstring>

namespace vantor::test {

using namespace platform;

Conn::Conn(uint16_t port) {
  s_ = createSocket(SocketType::Tcp);
  if (s_ == kInvalidSocket) return;
  if (connectSocket(s_, {kLoopbackAddress, port}) != ConnectStatus::Connected) {
    closeSocket(s_);
    s_ = kInvalidSocket;
  }
}

Conn::~Conn() { closeSocket(s_); }

bool Conn::send(const Bytes& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    long n = sendBytes(s_, data.data() + sent, data.size() - sent, false);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

Bytes Conn::recv(std::size_t n, int timeoutMs) {
  Bytes out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < n) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    if (left <= 0) break;
    WaitItem item{s_, kWantRead};
    if (waitSockets({&item, 1}, left) <= 0) break;
    uint8_t buf[65536];
    std::size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
    long got = recvBytes(s_, buf, want, false);
    if (got <= 0) break;
    out.insert(out.end(), buf, buf + got);
  }
  return out;
}

bool Conn::closedWithin(int timeoutMs) {
  WaitItem item{s_, kWantRead};
  if (waitSockets({&item, 1}, timeoutMs) <= 0) return false;
  uint8_t b;
  return recvBytes(s_, &b, 1, true) <= 0;
}

void Conn::shutdownWrite() { shutdownSend(s_); }

Listener::Listener(int backlog) {
  s_ = createSocket(SocketType::Tcp);
  bindSocket(s_, {kLoopbackAddress, 0});
  listenSocket(s_, backlog);
  Ipv4Endpoint local{};
  localEndpoint(s_, local);
  port_ = local.port;
}

Listener::~Listener() { closeSocket(s_); }

SocketHandle Listener::accept(int timeoutMs) {
  WaitItem item{s_, kWantRead};
  if (waitSockets({&item, 1}, timeoutMs) <= 0) return kInvalidSocket;
  return acceptSocket(s_, nullptr);
}

uint16_t closedPort() {
  Listener l;
  return l.port();  // closed again when l goes away
}

Bytes socks5ConnectIpv4(uint32_t address, uint16_t port) {
  Bytes r = {5, 1, 0, 1, 0, 0, 0, 0, static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
  std::memcpy(r.data() + 4, &address, 4);
  return r;
}

Bytes socks5Connect(const std::string& host, uint16_t port) {
  Bytes r = {5, 1, 0, 3, static_cast<uint8_t>(host.size())};
  for (char ch : host) r.push_back(static_cast<uint8_t>(ch));
  r.push_back(static_cast<uint8_t>(port >> 8));
  r.push_back(static_cast<uint8_t>(port));
  return r;
}

FakeSocksNode::FakeSocksNode(bool socks4, Bytes reply, bool demandLogin)
    : socks4_(socks4), reply_(std::move(reply)), demandLogin_(demandLogin) {
  acceptor_ = std::thread([this] {
    while (!stop_) {
      SocketHandle s = listener_.accept(100);
      if (s == kInvalidSocket) continue;
      ++connections_;
      threads_.emplace_back([this, s] { serve(s); });
    }
  });
}

FakeSocksNode::~FakeSocksNode() {
  stop_ = true;
  acceptor_.join();
  for (auto& t : threads_) t.join();
}

std::vector<FakeSocksNode::Request> FakeSocksNode::requests() {
  std::lock_guard lock(mutex_);
  return requests_;
}

void FakeSocksNode::serve(SocketHandle s) {
  Conn c(s);
  Request rec;
  auto record = [&] {
    std::lock_guard lock(mutex_);
    requests_.push_back(rec);
  };
  if (socks4_) {
    rec.request = c.recv(8);
    for (;;) {  // user id up to NUL
      Bytes b = c.recv(1);
      if (b.empty()) return;
      rec.request.push_back(b[0]);
      if (b[0] == 0) break;
    }
    record();
    c.send(reply_.empty() ? Bytes{0, 0x5A, 0, 0, 0, 0, 0, 0} : reply_);
  } else {
    Bytes head = c.recv(2);
    if (head.size() != 2) return;
    rec.greeting = c.recv(head[1]);
    bool login = demandLogin_;
    c.send(Bytes{5, static_cast<uint8_t>(login ? 2 : 0)});
    if (login) {
      Bytes v = c.recv(2);
      if (v.size() != 2) return;
      rec.login = v;
      Bytes user = c.recv(v[1]);
      rec.login.insert(rec.login.end(), user.begin(), user.end());
      Bytes pl = c.recv(1);
      if (pl.empty()) return;
      rec.login.push_back(pl[0]);
      Bytes pw = c.recv(pl[0]);
      rec.login.insert(rec.login.end(), pw.begin(), pw.end());
      c.send(Bytes{1, 0});
    }
    rec.request = c.recv(4);
    if (rec.request.size() != 4) return;
    std::size_t rest = rec.request[3] == 1 ? 6 : rec.request[3] == 4 ? 18 : 0;
    if (rec.request[3] == 3) {
      Bytes len = c.recv(1);
      if (len.empty()) return;
      rec.request.push_back(len[0]);
      rest = len[0] + 2u;
    }
    Bytes tail = c.recv(rest);
    rec.request.insert(rec.request.end(), tail.begin(), tail.end());
    record();
    c.send(reply_.empty() ? Bytes{5, 0, 0, 1, 127, 0, 0, 1, 0x12, 0x34} : reply_);
  }
  // Echo until the peer goes away or the node stops.
  while (!stop_) {
    WaitItem item{s, kWantRead};
    if (waitSockets({&item, 1}, 100) <= 0) continue;
    uint8_t buf[65536];
    long n = recvBytes(s, buf, sizeof buf, false);
    if (n <= 0) break;
    if (!c.send(Bytes(buf, buf + n))) break;
  }
}

}  // namespace vantor::test
