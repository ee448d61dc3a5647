#include "app/http_proxy.h"

#include <chrono>
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "app/http_head.h"
#include "app/socks5_connector.h"
#include "service/ss_manager.h"

namespace vantor::app {
namespace {

using platform::kInvalidSocket;
using platform::SocketHandle;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kSessionStackSize = 256 * 1024;
static_assert(CHttpProxy::kMaxUpstreams <= kMaxSessionsRunning / 2,
              "the service's SOCKS clients and the tunnel need room beside the HTTP proxy");

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

std::string lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return std::string(text);
}

// The header fields that belong to one hop and are not passed on: the fixed
// ones and those the message's Connection field names.
std::set<std::string> hopByHopFields(const HttpRequestHead& head) {
  std::set<std::string> names = {
      "connection", "proxy-connection", "keep-alive", "proxy-authorization", "proxy-authenticate",
      "te",         "trailer",          "upgrade"};
  for (const auto& [name, value] : head.headers) {
    std::string field = lowered(name);
    if (field != "connection" && field != "proxy-connection") continue;
    std::size_t at = 0;
    while (at <= value.size()) {
      std::size_t comma = value.find(',', at);
      if (comma == std::string::npos) comma = value.size();
      std::string token = lowered(trimmed(std::string_view(value).substr(at, comma - at)));
      if (!token.empty()) names.insert(token);
      at = comma + 1;
    }
  }
  return names;
}

// Whether the client asked for its connection to close after this request
// (HTTP/1.0 closes unless asked to keep it).
bool clientAsksClose(const HttpRequestHead& head) {
  std::set<std::string> options;
  for (const auto& [name, value] : head.headers) {
    std::string field = lowered(name);
    if (field != "connection" && field != "proxy-connection") continue;
    std::string v = lowered(value);
    if (v.find("close") != std::string::npos) return true;
    if (v.find("keep-alive") != std::string::npos) options.insert("keep-alive");
  }
  return head.versionMinor == 0 && !options.count("keep-alive");
}

std::string hostField(const HttpTarget& target, uint16_t defaultPort) {
  std::string host = target.host.find(':') != std::string::npos ? "[" + target.host + "]" : target.host;
  return target.port == defaultPort ? host : host + ":" + std::to_string(target.port);
}

// The request as the origin server gets it: origin-form target, Host from
// the request's URL (whatever Host field the client sent), this hop's
// fields dropped, and one request per upstream connection.
std::string upstreamRequestHead(const HttpRequestHead& head, const HttpTarget& target) {
  std::string out = head.method + " " + target.path + " HTTP/" + std::to_string(head.versionMajor) + "." +
                    std::to_string(head.versionMinor) + "\r\nHost: " + hostField(target, 80) + "\r\n";
  std::set<std::string> hop = hopByHopFields(head);
  for (const auto& [name, value] : head.headers) {
    std::string field = lowered(name);
    if (hop.count(field) || field == "host") continue;
    out += name + ": " + value + "\r\n";
  }
  out += "Connection: close\r\n\r\n";
  return out;
}

// The origin's answer head as the client gets it: this hop's fields
// replaced by the proxy's own Connection field (none on an interim answer).
std::string clientResponseHead(const HttpRequestHead& response, bool interim, bool close) {
  std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " + response.reason + "\r\n";
  std::set<std::string> hop = hopByHopFields(response);
  for (const auto& [name, value] : response.headers)
    if (!hop.count(lowered(name))) out += name + ": " + value + "\r\n";
  if (!interim) out += close ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
  return out + "\r\n";
}

std::string endpointText(const HttpTarget& target) { return hostField(target, 0); }

long elapsedMs(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// Moves bytes both ways until both directions have ended. Each direction has
// its own buffer and moves whenever its sockets allow, so a reader that
// stalls one direction never holds the other up; the loop waits for
// readiness only when neither direction could move, and ends when nothing
// moved either way for `idleMs`.
void relay(SocketHandle a, SocketHandle b, int idleMs) {
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
  auto lastMove = Clock::now();
  while (!(dirs[0].done && dirs[1].done)) {
    bool moved = false;
    for (Direction& d : dirs) {
      if (d.done) continue;
      int r = d.pump();
      if (r < 0) return;  // reset: end both directions
      moved = moved || r > 0;
    }
    if (moved) {
      lastMove = Clock::now();
      continue;
    }
    platform::WaitItem items[2] = {{a, 0}, {b, 0}};
    for (int i = 0; i < 2; ++i) {
      Direction& d = dirs[i];
      if (d.done) continue;
      if (d.start < d.end)
        items[1 - i].interest |= platform::kWantWrite;
      else if (!d.eof)
        items[i].interest |= platform::kWantRead;
    }
    long left = idleMs - elapsedMs(lastMove);
    if (left <= 0 || platform::waitSockets(items, static_cast<int>(left)) < 0) return;
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
    platform::Ipv4Endpoint peer{};
    SocketHandle client = platform::acceptSocket(listener, &peer);
    if (client == kInvalidSocket) {
      if (listener_.load() != listener) return;
      platform::sleepMs(50);  // out of descriptors: let others finish
      continue;
    }
    {
      std::lock_guard<std::mutex> guard(lock_);
      // A full house of connections that are busy with answers refuses the
      // newcomer; one that is full of connections waiting for their heads
      // lets the newcomer in.
      bool room = clients_.size() < kMaxConnections || pushOutWaiting(peer.address, true);
      if (!room || clients_.size() >= 2 * kMaxConnections) {
        platform::closeSocket(client);
        continue;
      }
      clients_.insert(client);
    }
    setWaiting(client, peer.address, true);
    platform::Thread worker;
    uint32_t source = peer.address;
    if (!worker.createSuspended([this, client, source] { serve(client, source); }, kSessionStackSize)) {
      setWaiting(client, source, false);
      forget(client);
      continue;
    }
    worker.resume();
    worker.detach();
  }
}

bool CHttpProxy::pushOutWaiting(uint32_t source, bool evenRecent) {
  // Candidates are the connections whose client went quiet inside its head.
  // One with bytes not yet read is only waiting for its own thread, which
  // has not caught up after a burst of connections, and one that came a
  // moment ago may not have sent its first bytes yet: both are left alone.
  std::vector<platform::WaitItem> items;
  items.reserve(waiting_.size());
  for (const auto& entry : waiting_) items.push_back({entry.first, platform::kWantRead});
  if (items.empty() || platform::waitSockets(items, 0) < 0) return false;
  std::size_t fromSource = 0;
  for (const auto& entry : waiting_) fromSource += entry.second.source == source;
  const bool sameSource = fromSource >= kMaxWaitingHeadsPerSource;
  auto victim = waiting_.end();
  std::size_t i = 0;
  const auto settled = Clock::now() - std::chrono::milliseconds(kWaitingGraceMs);
  for (auto it = waiting_.begin(); it != waiting_.end(); ++it, ++i) {
    if (items[i].readable || items[i].failed || (!evenRecent && it->second.since > settled)) continue;
    if (sameSource && it->second.source != source) continue;
    if (victim == waiting_.end() || it->second.order < victim->second.order) victim = it;
  }
  if (victim == waiting_.end()) return false;
  // Its thread sees the connection end and closes it; the socket stays
  // open until then, so its number cannot be reused under that thread.
  platform::shutdownSocket(victim->first);
  waiting_.erase(victim);
  return true;
}

void CHttpProxy::setWaiting(SocketHandle client, uint32_t source, bool waiting) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!waiting) {
    waiting_.erase(client);
    return;
  }
  if (waiting_.count(client)) return;
  std::size_t fromSource = 0;
  for (const auto& entry : waiting_) fromSource += entry.second.source == source;
  if (waiting_.size() >= kMaxWaitingHeads || fromSource >= kMaxWaitingHeadsPerSource) pushOutWaiting(source, false);
  waiting_[client] = {++waitOrder_, source, Clock::now()};
}

void CHttpProxy::forget(SocketHandle client) {
  std::lock_guard<std::mutex> guard(lock_);
  waiting_.erase(client);
  platform::closeSocket(client);
  clients_.erase(client);
  if (clients_.empty()) drained_.notify_all();
}

CHttpProxy::HeadWait CHttpProxy::readHead(SocketHandle client, uint32_t source, HttpHeadReader& reader,
                                          std::string& pending, int timeoutMs, bool& gotBytes) {
  gotBytes = !pending.empty();
  if (!pending.empty()) {
    // Sent ahead of the previous answer: read before anything new.
    std::string ahead;
    ahead.swap(pending);
    if (reader.feed(ahead.data(), ahead.size()) != HttpHeadReader::Status::NeedMore) return HeadWait::Ready;
  }
  setWaiting(client, source, true);
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[8192];
  HeadWait result = HeadWait::Ready;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    platform::WaitItem item{client, platform::kWantRead};
    if (left <= 0 || platform::waitSockets({&item, 1}, static_cast<int>(left)) <= 0) {
      result = HeadWait::TimedOut;
      break;
    }
    long n = platform::recvBytes(client, buffer, sizeof buffer, true);
    if (n == platform::kIoWouldBlock) continue;
    if (n <= 0) {
      result = HeadWait::Closed;
      break;
    }
    gotBytes = true;
    if (reader.feed(buffer, static_cast<std::size_t>(n)) != HttpHeadReader::Status::NeedMore) break;
  }
  setWaiting(client, source, false);
  return result;
}

void CHttpProxy::serve(SocketHandle client, uint32_t source) {
  platform::setNonBlocking(client, true);
  std::string pending;  // what the client sent after the last request
  for (bool first = true;; first = false) {
    HttpHeadReader reader;
    bool gotBytes = false;
    HeadWait wait = readHead(client, source, reader, pending, first ? kHeadTimeoutMs : kKeepAliveMs, gotBytes);
    if (wait == HeadWait::Closed) break;
    if (wait == HeadWait::TimedOut) {
      // A kept connection that stays quiet is simply closed.
      if (first || gotBytes) answer(client, "408 Request Timeout");
      break;
    }
    HttpHeadReader::Status status = reader.status();
    if (status == HttpHeadReader::Status::TooLarge) {
      answer(client, "431 Request Header Fields Too Large");
      break;
    }
    if (status == HttpHeadReader::Status::Invalid) {
      answer(client, "400 Bad Request");
      break;
    }
    if (!handle(client, reader, pending)) break;
  }
  forget(client);
}

bool CHttpProxy::handle(SocketHandle client, HttpHeadReader& reader, std::string& pending) {
  const HttpRequestHead& head = reader.head();
  if (head.versionMajor == 0) {
    // HTTP/0.9 has no header fields, so no way to carry a proxy request.
    answer(client, "400 Bad Request", "HTTP/0.9 requests are not served\n");
    return false;
  }
  if (head.versionMajor != 1 || head.versionMinor > 1) {
    answer(client, "505 HTTP Version Not Supported", "only HTTP/1.0 and HTTP/1.1 are served\n");
    return false;
  }
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
    return false;
  }

  HttpTarget target;
  if (!parseProxyTarget(head, target)) {
    answer(client, "400 Bad Request");
    return false;
  }
  std::string user, password;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (upstreams_ >= kMaxUpstreams) {
      answer(client, "503 Service Unavailable", "too many connections through this proxy; try again later\n");
      return false;
    }
    ++upstreams_;
    user = socksUser_;
    password = socksPassword_;
  }
  struct Slot {
    CHttpProxy* self;
    ~Slot() {
      std::lock_guard<std::mutex> guard(self->lock_);
      --self->upstreams_;
    }
  } slot{this};

  Socks5Result result;
  SocketHandle upstream = socks5Connect(socks_, target.host, target.port, user, password, kUpstreamTimeoutMs, result);
  if (upstream == kInvalidSocket) {
    std::string where = endpointText(target);
    switch (result) {
      case Socks5Result::TimedOut:
        answer(client, "504 Gateway Timeout", "no answer from the proxy service for " + where + "\n");
        break;
      case Socks5Result::Unreachable:
        answer(client, "502 Bad Gateway", "the node cannot reach " + where + "\n");
        break;
      case Socks5Result::Refused:
        answer(client, "502 Bad Gateway", where + " refused the connection\n");
        break;
      default:
        answer(client, "502 Bad Gateway", "the node did not connect to " + where + "\n");
        break;
    }
    return false;
  }
  bool keep = false;
  if (head.isConnect)
    tunnel(client, upstream, reader, target);
  else
    keep = exchange(client, upstream, reader, target, pending);
  platform::closeSocket(upstream);
  return keep;
}

bool CHttpProxy::nodeConfirmsConnect() const {
  // The service in this process, when it is the one this proxy uses, tells
  // the node's kind; any other SOCKS 5 server's reply is taken at its word.
  CSSManager& service = CSSManager::instance();
  if (!service.isServiceRunning() || service.servicePort() != socks_.port) return true;
  NodeRef node = service.currentNode();
  return !node || node->type != kNodeShadowsocks;
}

void CHttpProxy::tunnel(SocketHandle client, SocketHandle upstream, HttpHeadReader& reader, const HttpTarget& target) {
  std::vector<char> early;
  if (!nodeConfirmsConnect()) {
    // The service's reply only says the node accepted the connection. The
    // node closes it when it cannot reach the target, so a short wait shows
    // most failures (a refusal, an unknown name); one that the node reports
    // later still ends the tunnel, only after the 200.
    platform::WaitItem item{upstream, platform::kWantRead};
    if (platform::waitSockets({&item, 1}, kSilentNodeWaitMs) > 0) {
      early.resize(kRelayBufferSize);
      long n = platform::recvBytes(upstream, early.data(), early.size(), true);
      if (n != platform::kIoWouldBlock && n <= 0) {
        answer(client, "502 Bad Gateway", "the node closed the connection to " + endpointText(target) + "\n");
        return;
      }
      early.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
  }
  static const char kEstablished[] = "HTTP/1.1 200 Connection established\r\n\r\n";
  bool ok = sendAll(client, kEstablished, sizeof kEstablished - 1);
  if (ok && !early.empty()) ok = sendAll(client, early.data(), early.size());
  std::string_view rest = reader.rest();
  if (ok && !rest.empty()) ok = sendAll(upstream, rest.data(), rest.size());
  if (ok) relay(client, upstream, idleLimitSeconds_.load() * 1000);
}

bool CHttpProxy::exchange(SocketHandle client, SocketHandle upstream, HttpHeadReader& reader, const HttpTarget& target,
                          std::string& pending) {
  using Body = HttpHeadReader::Body;
  const HttpRequestHead& head = reader.head();
  std::string toUpstream = upstreamRequestHead(head, target);
  std::string toClient;
  bool closeAfter = clientAsksClose(head);

  // The request's body goes to the origin; whatever follows it is the next
  // request and waits in `pending`.
  Body requestBody = reader.body();
  uint64_t requestLeft = reader.bodyLength();
  bool requestDone = requestBody == Body::None;
  auto takeRequest = [&](const char* data, std::size_t n) {
    std::size_t used = 0;
    if (!requestDone && requestBody == Body::Length) {
      used = static_cast<std::size_t>(std::min<uint64_t>(n, requestLeft));
      requestLeft -= used;
      requestDone = requestLeft == 0;
    } else if (!requestDone) {
      long taken = reader.feedChunked(data, n, requestDone);
      if (taken < 0) return false;
      used = static_cast<std::size_t>(taken);
    }
    toUpstream.append(data, used);
    pending.append(data + used, n - used);
    return true;
  };
  std::string_view rest = reader.rest();
  if (!takeRequest(rest.data(), rest.size())) {
    answer(client, "400 Bad Request");
    return false;
  }

  // The answer: interim heads (100 Continue) are passed on to HTTP/1.1
  // clients, then the final head and its body, framed as the origin framed
  // it; an answer that only the origin's close ends closes the client's
  // connection too.
  auto response = std::make_unique<HttpHeadReader>(true);
  bool finalHead = false, responseDone = false;
  Body responseBody = Body::None;
  uint64_t responseLeft = 0;
  auto takeResponse = [&](const char* data, std::size_t n) {
    std::string carry;
    while (!finalHead && n > 0) {
      HttpHeadReader::Status status = response->feed(data, n);
      n = 0;
      if (status == HttpHeadReader::Status::NeedMore) return true;
      if (status != HttpHeadReader::Status::Complete) return false;
      const HttpRequestHead& answerHead = response->head();
      carry.assign(response->rest());
      data = carry.data();
      n = carry.size();
      if (answerHead.status == 101) return false;  // no upgrade was asked for
      if (answerHead.status >= 100 && answerHead.status < 200) {
        if (head.versionMinor >= 1) toClient += clientResponseHead(answerHead, true, false);
        auto next = std::make_unique<HttpHeadReader>(true);
        response.swap(next);
        // `carry` is a copy: the old reader may go.
        continue;
      }
      finalHead = true;
      bool noBody = head.method == "HEAD" || answerHead.status == 204 || answerHead.status == 304;
      responseBody = noBody ? Body::None : response->body();
      responseLeft = response->bodyLength();
      if (responseBody == Body::UntilClose) closeAfter = true;
      toClient += clientResponseHead(answerHead, false, closeAfter);
      responseDone = responseBody == Body::None;
    }
    if (!finalHead || n == 0 || responseDone) return true;
    std::size_t used = n;
    if (responseBody == Body::Length) {
      used = static_cast<std::size_t>(std::min<uint64_t>(n, responseLeft));
      responseLeft -= used;
      responseDone = responseLeft == 0;
    } else if (responseBody == Body::Chunked) {
      long taken = response->feedChunked(data, n, responseDone);
      if (taken < 0) return false;
      used = static_cast<std::size_t>(taken);
    }
    toClient.append(data, used);  // bytes past the framed end are dropped
    return true;
  };
  auto failBeforeAnswer = [&](const char* status, const std::string& why) {
    if (finalHead) return false;  // the answer has begun: only a close can tell
    if (!toClient.empty()) sendAll(client, toClient.data(), toClient.size());
    answer(client, status, why);
    return false;
  };

  std::vector<char> buffer(kRelayBufferSize);
  const int idleMs = idleLimitSeconds_.load() * 1000;
  auto lastMove = Clock::now();
  for (;;) {
    if (responseDone && toClient.empty()) {
      // A request body the origin did not wait for cannot be told apart
      // from the next request: the connection ends with the answer.
      if (!requestDone || !toUpstream.empty()) closeAfter = true;
      return !closeAfter;
    }
    bool moved = false;
    if (!toUpstream.empty()) {
      long n = platform::sendBytes(upstream, toUpstream.data(), toUpstream.size(), true);
      if (n > 0) {
        toUpstream.erase(0, static_cast<std::size_t>(n));
        moved = true;
      } else if (n != platform::kIoWouldBlock) {
        return failBeforeAnswer("502 Bad Gateway", "the connection to " + endpointText(target) + " broke\n");
      }
    }
    if (!toClient.empty()) {
      long n = platform::sendBytes(client, toClient.data(), toClient.size(), true);
      if (n > 0) {
        toClient.erase(0, static_cast<std::size_t>(n));
        moved = true;
      } else if (n != platform::kIoWouldBlock) {
        return false;
      }
    }
    if (!requestDone && toUpstream.empty()) {
      long n = platform::recvBytes(client, buffer.data(), buffer.size(), true);
      if (n == 0 || (n < 0 && n != platform::kIoWouldBlock)) return false;  // gone in the middle of its request
      if (n > 0) {
        if (!takeRequest(buffer.data(), static_cast<std::size_t>(n))) return false;
        moved = true;
      }
    }
    if (!responseDone && toClient.empty()) {
      long n = platform::recvBytes(upstream, buffer.data(), buffer.size(), true);
      if (n > 0) {
        if (!takeResponse(buffer.data(), static_cast<std::size_t>(n)))
          return failBeforeAnswer("502 Bad Gateway", "the answer from " + endpointText(target) + " is not HTTP\n");
        moved = true;
      } else if (n != platform::kIoWouldBlock) {
        // The origin's close: the end of an answer framed that way, or an
        // answer cut short. With nothing at all received, the node could
        // not reach the server, or the server said nothing.
        if (finalHead && responseBody == Body::UntilClose) {
          responseDone = true;
          moved = true;
        } else {
          return failBeforeAnswer("502 Bad Gateway",
                                  "no answer from " + endpointText(target) + ": the connection closed\n");
        }
      }
    }
    if (moved) {
      lastMove = Clock::now();
      continue;
    }
    platform::WaitItem items[2] = {{client, 0}, {upstream, 0}};
    if (!toClient.empty()) items[0].interest |= platform::kWantWrite;
    if (!requestDone && toUpstream.empty()) items[0].interest |= platform::kWantRead;
    if (!toUpstream.empty()) items[1].interest |= platform::kWantWrite;
    if (!responseDone && toClient.empty()) items[1].interest |= platform::kWantRead;
    long left = idleMs - elapsedMs(lastMove);
    int ready = left > 0 ? platform::waitSockets(items, static_cast<int>(left)) : 0;
    if (ready < 0) return false;
    // A hang-up on the client's side while nothing is asked of it: gone.
    if (items[0].interest == 0 && (items[0].readable || items[0].failed)) return false;
    if (ready == 0)
      return failBeforeAnswer("504 Gateway Timeout", "no answer from " + endpointText(target) + " in time\n");
  }
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
