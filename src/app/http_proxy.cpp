#include "app/http_proxy.h"

#include <chrono>
#include <cstring>
#include <vector>

#include "app/http_head.h"
#include "app/socks5_connector.h"

namespace vantor::app {
namespace {

using platform::kInvalidSocket;
using platform::SocketHandle;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kSessionStackSize = 256 * 1024;

bool sendAll(SocketHandle s, const char* data, std::size_t length) {
  while (length > 0) {
    long n = platform::sendBytes(s, data, length, true);
    if (n == platform::kIoWouldBlock) {
      platform::WaitItem item{s, platform::kWantWrite};
      if (platform::waitSockets({&item, 1}, 10000) <= 0 || item.failed) return false;
      continue;
    }
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

void answer(SocketHandle s, const char* status, const std::string& body = {},
            const char* contentType = "text/plain; charset=utf-8") {
  std::string text = std::string("HTTP/1.1 ") + status + "\r\nConnection: close\r\n";
  if (!body.empty()) text += std::string("Content-Type: ") + contentType + "\r\n";
  text += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  sendAll(s, text.data(), text.size());
}

std::string replaceAll(std::string text, const std::string& what, const std::string& with) {
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
    text.replace(at, what.size(), with);
  return text;
}

bool isHopByHop(const std::string& name) {
  static const char* const kFields[] = {
      "connection", "proxy-connection", "keep-alive", "proxy-authorization", "proxy-authenticate",
      "te",         "trailer",          "upgrade"};
  for (const char* f : kFields) {
    if (name.size() != std::strlen(f)) continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i)
      same = static_cast<char>(name[i] | 0x20) == f[i] || name[i] == f[i];
    if (same) return true;
  }
  return false;
}

// Moves bytes both ways until both directions have ended. Each direction has
// its own buffer and moves whenever its sockets allow, so a reader that
// stalls one direction never holds the other up; the loop waits for
// readiness only when neither direction could move.
void relay(SocketHandle a, SocketHandle b) {
  struct Direction {
    SocketHandle from, to;
    std::vector<char> buffer = std::vector<char>(CHttpProxy::kRelayBufferSize);
    std::size_t start = 0, end = 0;
    bool eof = false, done = false;

    // Moves what it can without waiting: -1 on a reset, else whether it moved.
    int pump() {
      bool moved = false;
      for (;;) {
        if (start == end && !eof) {
          long got = platform::recvBytes(from, buffer.data(), buffer.size(), true);
          if (got > 0) {
            start = 0;
            end = static_cast<std::size_t>(got);
            moved = true;
          } else if (got == 0) {
            eof = true;
            moved = true;
          } else if (got != platform::kIoWouldBlock) {
            return -1;
          }
        }
        if (start < end) {
          long sent = platform::sendBytes(to, buffer.data() + start, end - start, true);
          if (sent > 0) {
            start += static_cast<std::size_t>(sent);
            moved = true;
            continue;
          }
          if (sent != platform::kIoWouldBlock) return -1;
          return moved;
        }
        if (eof) {
          platform::shutdownSend(to);
          done = true;
          return 1;
        }
        return moved;
      }
    }
  };
  Direction dirs[2] = {{a, b}, {b, a}};
  platform::setNonBlocking(a, true);
  platform::setNonBlocking(b, true);
  while (!(dirs[0].done && dirs[1].done)) {
    bool moved = false;
    for (Direction& d : dirs) {
      if (d.done) continue;
      int r = d.pump();
      if (r < 0) return;  // reset: end both directions
      moved = moved || r > 0;
    }
    if (moved) continue;
    platform::WaitItem items[2] = {{a, 0}, {b, 0}};
    for (int i = 0; i < 2; ++i) {
      Direction& d = dirs[i];
      if (d.done) continue;
      if (d.start < d.end)
        items[1 - i].interest |= platform::kWantWrite;
      else if (!d.eof)
        items[i].interest |= platform::kWantRead;
    }
    if (platform::waitSockets(items, -1) < 0) return;
  }
}

}  // namespace

CHttpProxy::~CHttpProxy() { stop(); }

void CHttpProxy::setSocksLogin(const std::string& user, const std::string& password) {
  std::lock_guard<std::mutex> guard(lock_);
  socksUser_ = user;
  socksPassword_ = password;
}

void CHttpProxy::setPacText(const std::string& text) {
  std::lock_guard<std::mutex> guard(lock_);
  pacText_ = text;
}

std::string CHttpProxy::pacUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + kPacPath; }

std::size_t CHttpProxy::connectionCount() {
  std::lock_guard<std::mutex> guard(lock_);
  return clients_.size();
}

bool CHttpProxy::start(uint16_t socksPort, uint16_t listenPort, std::string& error) {
  if (isStarted()) {
    error = "the HTTP proxy runs already";
    return false;
  }
  socks_ = {platform::kLoopbackAddress, socksPort};
  SocketHandle s = platform::createSocket(platform::SocketType::Tcp);
  if (s == kInvalidSocket) {
    error = "cannot create a socket";
    return false;
  }
  platform::setReuseAddress(s);
  platform::Ipv4Endpoint local{platform::kLoopbackAddress, listenPort};
  if (!platform::bindSocket(s, local) || !platform::listenSocket(s, -1) || !platform::localEndpoint(s, local)) {
    error = "cannot listen on 127.0.0.1:" + std::to_string(listenPort);
    platform::closeSocket(s);
    return false;
  }
  port_ = local.port;
  listener_ = s;
  if (!acceptThread_.createSuspended([this, s] { acceptLoop(s); }, 0)) {
    error = "cannot start the accept thread";
    listener_ = kInvalidSocket;
    platform::closeSocket(s);
    return false;
  }
  acceptThread_.resume();
  return true;
}

void CHttpProxy::stop() {
  SocketHandle s = listener_.exchange(kInvalidSocket);
  if (s == kInvalidSocket) return;
  platform::shutdownSocket(s);
  acceptThread_.join();
  platform::closeSocket(s);
  std::unique_lock<std::mutex> guard(lock_);
  for (SocketHandle c : clients_) platform::shutdownSocket(c);
  drained_.wait_for(guard, std::chrono::seconds(5), [this] { return clients_.empty(); });
}

void CHttpProxy::acceptLoop(SocketHandle listener) {
  while (listener_.load() == listener) {
    SocketHandle client = platform::acceptSocket(listener, nullptr);
    if (client == kInvalidSocket) {
      if (listener_.load() != listener) return;
      platform::sleepMs(50);  // out of descriptors: let others finish
      continue;
    }
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (clients_.size() >= kMaxConnections) {
        platform::closeSocket(client);
        continue;
      }
      clients_.insert(client);
    }
    platform::Thread worker;
    if (!worker.createSuspended([this, client] { serve(client); }, kSessionStackSize)) {
      forget(client);
      continue;
    }
    worker.resume();
    worker.detach();
  }
}

void CHttpProxy::forget(SocketHandle client) {
  platform::closeSocket(client);
  std::lock_guard<std::mutex> guard(lock_);
  clients_.erase(client);
  if (clients_.empty()) drained_.notify_all();
}

void CHttpProxy::serve(SocketHandle client) {
  platform::setNonBlocking(client, true);
  HttpHeadReader reader;
  auto deadline = Clock::now() + std::chrono::milliseconds(kHeadTimeoutMs);
  HttpHeadReader::Status status = HttpHeadReader::Status::NeedMore;
  char buffer[8192];
  while (status == HttpHeadReader::Status::NeedMore) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    platform::WaitItem item{client, platform::kWantRead};
    if (left <= 0 || platform::waitSockets({&item, 1}, static_cast<int>(left)) <= 0) {
      answer(client, "408 Request Timeout");
      return forget(client);
    }
    long n = platform::recvBytes(client, buffer, sizeof buffer, true);
    if (n == platform::kIoWouldBlock) continue;
    if (n <= 0) return forget(client);
    status = reader.feed(buffer, static_cast<std::size_t>(n));
  }
  if (status == HttpHeadReader::Status::TooLarge) {
    answer(client, "431 Request Header Fields Too Large");
    return forget(client);
  }
  if (status == HttpHeadReader::Status::Invalid) {
    answer(client, "400 Bad Request");
    return forget(client);
  }

  const HttpRequestHead& head = reader.head();
  if (!head.target.empty() && head.target[0] == '/') {
    // Addressed to the proxy itself: the configuration script.
    std::string path = head.target.substr(0, head.target.find('?'));
    if ((head.method == "GET" || head.method == "HEAD") && path == kPacPath) {
      std::string pac;
      std::string socksAddress = "127.0.0.1:" + std::to_string(socks_.port);
      {
        std::lock_guard<std::mutex> guard(lock_);
        pac = pacText_;
      }
      pac = replaceAll(replaceAll(pac, "__PROXY__", "127.0.0.1:" + std::to_string(port_)), "__SOCKS__", socksAddress);
      if (head.method == "HEAD") {
        std::string text =
            "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: application/x-ns-proxy-autoconfig\r\n"
            "Content-Length: " +
            std::to_string(pac.size()) + "\r\n\r\n";
        sendAll(client, text.data(), text.size());
      } else {
        answer(client, "200 OK", pac, "application/x-ns-proxy-autoconfig");
      }
    } else {
      answer(client, "404 Not Found");
    }
    return forget(client);
  }

  HttpTarget target;
  if (!parseProxyTarget(head, target)) {
    answer(client, "400 Bad Request");
    return forget(client);
  }
  std::string user, password;
  {
    std::lock_guard<std::mutex> guard(lock_);
    user = socksUser_;
    password = socksPassword_;
  }
  Socks5Result result;
  SocketHandle upstream = socks5Connect(socks_, target.host, target.port, user, password, kUpstreamTimeoutMs, result);
  if (upstream == kInvalidSocket) {
    answer(client, result == Socks5Result::TimedOut ? "504 Gateway Timeout" : "502 Bad Gateway");
    return forget(client);
  }

  bool ok;
  if (head.isConnect) {
    static const char kEstablished[] = "HTTP/1.1 200 Connection established\r\n\r\n";
    ok = sendAll(client, kEstablished, sizeof kEstablished - 1);
  } else {
    // One request per upstream connection: the origin server is asked to
    // close after its answer, which also tells the client not to reuse it.
    std::string out = head.method + " " + target.path + " HTTP/" + std::to_string(head.versionMajor) + "." +
                      std::to_string(head.versionMinor) + "\r\n";
    bool hasHost = false;
    for (const auto& [name, value] : head.headers) {
      if (isHopByHop(name)) continue;
      if (name.size() == 4 && (name[0] | 0x20) == 'h' && (name[1] | 0x20) == 'o' && (name[2] | 0x20) == 's' &&
          (name[3] | 0x20) == 't')
        hasHost = true;
      out += name + ": " + value + "\r\n";
    }
    if (!hasHost) out += "Host: " + target.host + (target.port == 80 ? "" : ":" + std::to_string(target.port)) + "\r\n";
    out += "Connection: close\r\n\r\n";
    ok = sendAll(upstream, out.data(), out.size());
  }
  std::string_view rest = reader.rest();
  if (ok && !rest.empty()) ok = sendAll(upstream, rest.data(), rest.size());
  if (ok) relay(client, upstream);
  platform::closeSocket(upstream);
  forget(client);
}

CHttpProxy& localHttpProxy() {
  static CHttpProxy proxy;
  return proxy;
}

int start_privoxy(int forwardType, const char* forwardHost, int forwardPort, int, int, const char* listenHost,
                  int listenPort, const char*) {
  if (forwardType != 5 || !forwardHost || std::strcmp(forwardHost, "127.0.0.1") != 0) return 1;
  if (!listenHost || std::strcmp(listenHost, "127.0.0.1") != 0) return 1;
  if (forwardPort <= 0 || forwardPort > 65535 || listenPort < 0 || listenPort > 65535) return 1;
  std::string error;
  return localHttpProxy().start(static_cast<uint16_t>(forwardPort), static_cast<uint16_t>(listenPort), error) ? 0 : 1;
}

bool is_privoxy_started() { return localHttpProxy().isStarted(); }

}  // namespace vantor::app
