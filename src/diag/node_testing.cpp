#include "diag/node_testing.h"

#include <libintl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "catalogue/node_mgr.h"
#include "crypto/cryptor.h"
#include "crypto/ssr/plugin_bytes.h"
#include "crypto/ssr/plugins.h"
#include "diag/dns_client.h"
#include "platform/icmp.h"
#include "service/host_cache.h"
#include "service/plugin_runner.h"

namespace vantor {

namespace {

using Clock = std::chrono::steady_clock;

const char* tr(const char* text) { return ::dgettext("zefa", text); }

const char kSlashLine[] = "//////////////////////////////////////////////";  // 46
static_assert(sizeof kSlashLine == 47);

constexpr std::size_t kLineBuffer = 1024;
constexpr std::size_t kHttpLineBuffer = 2048;
constexpr std::size_t kCipherLineBuffer = 100;
constexpr int kUdpLookupDepth = 2;

std::wstring widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

int secondsLeft(Clock::time_point deadline) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return ms <= 0 ? 0 : static_cast<int>((ms + 999) / 1000);
}

// Content-Length of an HTTP head (up to the blank line), or -1 without one.
long contentLength(const std::string& head) {
  std::size_t at = 0;
  while ((at = head.find("\r\n", at)) != std::string::npos) {
    at += 2;
    static constexpr std::string_view kName = "content-length:";
    if (ssr::equalsIgnoreCase(std::string_view(head).substr(at, kName.size()), kName))
      return std::strtol(head.c_str() + at + kName.size(), nullptr, 10);
  }
  return -1;
}

}  // namespace

// --- reporting ----------------------------------------------------------------

void CTestingBase::vreport(std::size_t bufferSize, int level, const char* format, va_list args) {
  if (!callback || cancelled()) return;
  std::vector<char> line(bufferSize);
  std::vsnprintf(line.data(), bufferSize, tr(format), args);
  callback(userData, line.data(), level);
}

void CTestingBase::report(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vreport(kLineBuffer, level, format, args);
  va_end(args);
}

void CTestingBase::reportSized(std::size_t bufferSize, int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vreport(bufferSize, level, format, args);
  va_end(args);
}

bool CTestingBase::reportOutcome(bool udp, bool ok) {
  if (udp && ok) report(kLevelSuccess, "UDP relay...Passed!");
  if (udp && !ok) report(kLevelFailure, "UDP relay...Unpassed!");
  if (!udp && ok) report(kLevelSuccess, "TCP transmission...Passed!");
  if (!udp && !ok) report(kLevelFailure, "TCP transmission...UnPassed!");
  if (!ok) {
    FailureReason reason = failureReason();
    if (reason) report(kLevelFailure, "%s", reason.text().c_str());
  }
  return ok;
}

void CTestingBase::reportDone() {
  report(kLevelProgress, "Testing is done!");
  report(kLevelProgress, "%s", kSlashLine);
}

// --- what both testers share ----------------------------------------------------

template <class Session>
CTesterSession<Session>::CTesterSession(TestCallback cb, void* user, int32_t quietFlag)
    : Session(nullptr, kInvalidSocket, std::string(), std::string()), CTestingBase(cb, user, quietFlag) {}

template <class Session>
void CTesterSession<Session>::closeUpstream() {
  platform::closeSocket(this->upstreamSocket);
  this->upstreamSocket = kInvalidSocket;
}

template <class Session>
long CTesterSession<Session>::recvWait(SocketHandle s, void* buffer, std::size_t size, int timeout) {
  if (timeout <= 0 || !cancelFlag) return Session::recvWait(s, buffer, size, timeout);
  // One-second slices, so that a cancelled run lets go of its thread soon.
  for (int waited = 1;; ++waited) {
    long n = Session::recvWait(s, buffer, size, 1);
    if (n != 0 || waited >= timeout) return n;
    if (cancelled()) return -1;
  }
}

template <class Session>
bool CTesterSession<Session>::connectOnce(bool udp, int waitSeconds, IpEndpoint* serverAddress, int& elapsedMs) {
  const NodeSnapshot* n = this->node.get();
  IpEndpoint server{};
  // TCP to a node with a plugin goes to the plugin program's port.
  const bool plugged = !udp && n->tcpPort != 0;
  bool resolved = fillNodeAddress(server, plugged ? n->tcpHost : n->server, plugged ? n->tcpPort : n->server_port);
  SocketHandle s = platform::createSocketFor(server, udp ? platform::SocketType::Udp : platform::SocketType::Tcp);
  if (s == kInvalidSocket) {
    report(kLevelFailure, "Connecting to SS node error.");
    return false;
  }
  ++n->counters->ConnectedTimes;
  if (!resolved) {
    platform::closeSocket(s);
    ++n->counters->FailureTimes;
    this->noteConnectFailure(false, 0, server);
    report(kLevelFailure, "Can not resolve SS server address.");
    return false;
  }
  if (serverAddress) *serverAddress = server;
  // The connect is always made without blocking, so that its wait is bounded
  // and ends early when the run is cancelled; the socket blocks afterwards,
  // as the session expects.
  platform::setNonBlocking(s, true);
  const auto started = Clock::now();
  const auto deadline = started + std::chrono::seconds(waitSeconds);
  bool connected = false;
  int error = ETIMEDOUT;  // unless the system says otherwise
  auto status = platform::connectEndpoint(s, server);
  if (status == platform::ConnectStatus::Connected) {
    connected = true;
  } else if (status == platform::ConnectStatus::Failed) {
    error = errno;
  } else {
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0 || cancelled()) break;
      platform::WaitItem item{s, platform::kWantWrite};
      int ready = platform::waitSockets({&item, 1}, static_cast<int>(std::min<long>(left, 200)));
      if (ready < 0) {
        error = errno;
        break;
      }
      if (ready > 0) {
        error = platform::pendingError(s);
        connected = error == 0;
        break;
      }
    }
  }
  if (!connected) {
    platform::closeSocket(s);
    ++n->counters->FailureTimes;
    this->noteConnectFailure(true, error, server);
    report(kLevelFailure, "Connecting to SS node error.");
    return false;
  }
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
  elapsedMs = elapsed == 0 ? 1 : static_cast<int>(elapsed);
  platform::setNonBlocking(s, false);
  if (!udp) platform::setNoDelay(s);
  closeUpstream();
  this->upstreamSocket = s;
  return true;
}

template <class Session>
std::string CTesterSession<Session>::httpRequest(const SiteUrl& url) {
  std::string host = url.port == 80 ? url.host : url.host + ":" + std::to_string(url.port);
  char request[kHttpLineBuffer];
  int n = std::snprintf(request, sizeof request,
                        "GET %s HTTP/1.1\r\nHost: %s\r\nConnection: keep-alive\r\n"
                        "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/webp,*/*;q=0.8\r\n"
                        "User-Agent: Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
                        "Chrome/43.0.2357.130 Safari/537.36\r\n"
                        "Accept-Encoding: gzip, deflate, sdch\r\nAccept-Language: en-US,en;q=0.8\r\n\r\n",
                        url.path.c_str(), host.c_str());
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof request) return {};
  return std::string(request, static_cast<std::size_t>(n));
}

template <class Session>
bool CTesterSession<Session>::isHttpAnswer(const std::string& response) {
  return ssr::equalsIgnoreCase(std::string_view(response).substr(0, 5), "http/");
}

// 1 when bytes arrived, 0 when the time ran out, -1 when the node closed or failed.
template <class Session>
int CTesterSession<Session>::readStep(std::string& response, std::size_t limit, Clock::time_point deadline) {
  // Decoded output of one read can exceed the bytes read: room as in the relay.
  std::vector<uint8_t>& buffer = receiveBuffer_;
  if (buffer.empty()) buffer.resize(CSSRCLient::kTcpBufferSize);
  for (;;) {
    int seconds = std::min(secondsLeft(deadline), kReadWait);
    if (seconds <= 0 || cancelled()) return 0;
    bool sendBack = false, more = false;
    long n = this->recvUpstream(this->upstreamSocket, buffer.data(), static_cast<long>(buffer.size()), seconds,
                                &sendBack, &more);
    // The obfs plugin finishes its handshake with a message of its own.
    if (sendBack) this->sendUpstream(this->upstreamSocket, nullptr, 0, kSendWait);
    if (n < 0) return -1;
    if (n == 0) continue;
    std::size_t take = std::min(static_cast<std::size_t>(n), limit - std::min(limit, response.size()));
    response.append(reinterpret_cast<const char*>(buffer.data()), take);
    return 1;
  }
}

template <class Session>
int CTesterSession<Session>::readResponse(std::string& response, std::size_t minimum, std::size_t limit, int seconds) {
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  while (response.size() < minimum && response.size() < limit) {
    int r = readStep(response, limit, deadline);
    if (r <= 0) return r;
  }
  return 1;
}

template <class Session>
bool CTesterSession<Session>::readHttpAnswer(std::string& response, std::size_t limit, int seconds) {
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  // Head and body often arrive in separate pieces: read until the body is
  // complete by its Content-Length, or until the node closes.
  while (response.size() < limit) {
    if (readStep(response, limit, deadline) <= 0) break;
    std::size_t headEnd = response.find("\r\n\r\n");
    if (headEnd == std::string::npos) continue;
    long length = contentLength(response.substr(0, headEnd + 2));
    if (length >= 0 && response.size() >= headEnd + 4 + static_cast<std::size_t>(length)) break;
  }
  return !response.empty();
}

template <class Session>
bool CTesterSession<Session>::tcpTestBody() {
  for (const auto& site : targets.sites) {
    if (cancelled()) return false;
    if (httpCheck(site)) return true;
  }
  return false;
}

template <class Session>
bool CTesterSession<Session>::exitAddress(NodeRef n, const std::string& url, std::string& address) {
  address.clear();
  this->node = n;
  if (!n || url.empty() || !isLocalAddress(n->connectAddress())) return false;
  std::unique_ptr<CPluginRunner> plugin;  // for this request only, when no connection runs one
  if (n->lacksPlugin()) {
    std::string error;
    plugin = CPluginRunner::start(n, error);
    if (!plugin) {
      report(kLevelFailure, "%s", error.c_str());
      return false;
    }
    this->node = plugin->plugged(*n);
  }
  closeUpstream();
  if (!this->openUpstream(false, true, nullptr)) return false;
  report(kLevelProgress, "Testing url: %s", url.c_str());
  SiteUrl site;
  if (!parseSite(url, site)) {
    report(kLevelFailure, "Parse url error.");
    return false;
  }
  report(kLevelProgress, "Sending protocol packet...");
  if (!requestTarget(site)) {
    report(kLevelFailure, "Protocol packet Sent failed.");
    return false;
  }
  report(kLevelSuccess, "Protocol packet sent.");
  std::string request = httpRequest(site);
  if (request.empty()) {
    report(kLevelFailure, "Generate request header error.");
    return false;
  }
  report(kLevelProgress, "Sending request packet...(length: %d bytes)", static_cast<int>(request.size()));
  // 0 is no failure: an obfs plugin may hold the bytes until its handshake is done.
  if (this->sendUpstream(this->upstreamSocket, reinterpret_cast<const uint8_t*>(request.data()),
                         static_cast<long>(request.size()), kSendWait) < 0) {
    report(kLevelFailure, "Request packet sent failed.");
    return false;
  }
  report(kLevelSuccess, "Request packet sent.");
  report(kLevelProgress, "Waiting response...");
  std::string response;
  if (!readHttpAnswer(response, kResponseLimit, kReadWait)) {
    report(kLevelFailure,
           "Response received failed! connection reset by peer or timeout, maybe your password or encryption is "
           "wrong.");
    return false;
  }
  if (!isHttpAnswer(response)) {
    report(kLevelFailure, "Got %d bytes unrecognized packet, maybe encryption is wrong.",
           static_cast<int>(response.size()));
    return false;
  }
  std::size_t headEnd = response.find("\r\n\r\n");
  if (headEnd == std::string::npos || !parseEchoedAddress(response.substr(headEnd + 4), address)) {
    address.clear();
    return false;
  }
  report(kLevelSuccess, "Got IP address: %s.", address.c_str());
  return true;
}

template class CTesterSession<CSSRCLient>;
template class CTesterSession<CS45CLient>;

// --- Shadowsocks and ShadowsocksR nodes ------------------------------------------------

CSSRClientTesting::CSSRClientTesting(TestCallback cb, void* user, int32_t quietFlag)
    : CTesterSession(cb, user, quietFlag) {}

bool CSSRClientTesting::preparePipeline(bool reportNames) {
  if (createPipeline()) return true;
  if (!reportNames) return false;
  std::unique_ptr<CCryptor> cipher(CreateCryptor(node->method, node->password));
  if (!cipher)
    reportSized(kCipherLineBuffer, kLevelFailure, "Unsupported encryption: %s.", node->method.c_str());
  else if (!CreatePlugin(node->protocol, node->protocolparam))
    reportSized(kCipherLineBuffer, kLevelFailure, "Unsupported protocol: %s.", node->protocol.c_str());
  else
    reportSized(kCipherLineBuffer, kLevelFailure, "Unsupported obfs: %s.", node->obfs.c_str());
  return false;
}

bool CSSRClientTesting::test(NodeRef n, bool udp) {
  report(kLevelProgress, "Testing started.");
  clearFailure();
  if (!n || n->server.empty() || n->server_port == 0 || n->password.empty() || n->method.empty()) {
    report(kLevelFailure, "Shadowsocks server node invalid.");
    return false;
  }
  node = withTrimmedServer(n);
  // TCP goes through the node's plugin program; one that no connection runs
  // for this node runs for the test only. UDP goes to the server either way.
  std::unique_ptr<CPluginRunner> plugin;
  if (!udp && node->lacksPlugin()) {
    std::string error;
    plugin = CPluginRunner::start(node, error);
    if (!plugin) {
      report(kLevelFailure, "%s", error.c_str());
      noteFailure(FailureKind::kConnectRefused, error);
      reportOutcome(false, false);
      n->counters->lastTestResult = 0;
      reportDone();
      return false;
    }
    node = plugin->plugged(*node);
  }
  if (!preparePipeline(true)) return false;
  bool ok = udp ? udpTest() : tcpTest();
  n->counters->lastTestResult = ok ? 1 : 0;
  if (ok && !udp) report(kLevelSuccess, "Latency : %d ms", connectMs);
  reportDone();
  return ok;
}

bool CSSRClientTesting::tcpTest() {
  report(kLevelProgress, "Testing TCP transmission...");
  return reportOutcome(false, tcpTestBody());
}

bool CSSRClientTesting::udpTest() {
  report(kLevelProgress, "Testing UDP relay...");
  return reportOutcome(true, udpTestBody());
}

bool CSSRClientTesting::udpTestBody() {
  IpEndpoint server{};
  if (!fillNodeAddress(server, node->server, node->server_port)) {
    noteConnectFailure(false, 0, server);
    report(kLevelFailure, "Can not resolve SS server address.");
    return false;
  }
  // Datagrams get no refusal back: silence is all a missing relay or a wrong
  // key leaves.
  noteFailure(FailureKind::kNoAnswer, "no DNS answer through its UDP relay: no relay, or wrong password or cipher?");
  for (const auto& pair : targets.udpPairs) {
    if (cancelled()) return false;
    setTestTargets(widen(pair.name), widen(pair.server));
    // Every query starts with a fresh IV and fresh plugin state.
    if (!preparePipeline(false)) return false;
    closeUpstream();
    SocketHandle u = platform::createSocketFor(server, platform::SocketType::Udp);
    if (u == kInvalidSocket) return false;
    upstreamSocket = u;
    upstreamUdpAddress = server;
    if (platform::connectEndpoint(u, server) != platform::ConnectStatus::Connected) continue;
    CSSRDnsClient dns(*this, upstreamSocket);
    std::string text;
    std::vector<std::string> addresses;
    if (dns.lookupA(text, pair.server, pair.name, addresses, kUdpLookupDepth)) return true;
  }
  return false;
}

bool CSSRClientTesting::openUpstream(bool udp, bool, IpEndpoint* serverAddress) {
  int elapsed = 0;
  if (!connectOnce(udp, kConnectWait, serverAddress, elapsed)) return false;
  connectMs = elapsed;
  node->counters->Latency = elapsed;
  return true;
}

bool CSSRClientTesting::requestTarget(const SiteUrl& url) {
  // A new connection: new IV, new plugin state.
  if (!preparePipeline(false)) return false;
  addressType = socks::kAtypDomain;
  std::snprintf(targetHost, sizeof targetHost, "%s", url.host.c_str());
  targetPort = url.port;
  int headLen = headLength(addressType, targetHost);
  protocolPlugin->SetHeadLen(headLen);
  obfsPlugin->SetHeadLen(headLen);
  uint8_t header[262];
  int length = addressHeader(addressType, targetHost, targetPort, header);
  return length > 0 && sendUpstream(upstreamSocket, header, length, kSendWait) > 0;
}

bool CSSRClientTesting::httpCheck(const std::string& site) {
  closeUpstream();
  if (!openUpstream(false, true, nullptr)) {
    report(kLevelFailure, "Connect to proxy server failed.");
    return false;
  }
  SiteUrl url;
  if (!parseSite(site, url)) {
    report(kLevelFailure, "Parse url error.");
    return false;
  }
  if (!requestTarget(url)) {
    noteFailure(FailureKind::kNoAnswer, "the node closed the connection");
    report(kLevelFailure, "Failed to send connection request.");
    return false;
  }
  // The obfs plugin may hold the request until its handshake is done (0).
  std::string request = httpRequest(url);
  if (request.empty() || sendUpstream(upstreamSocket, reinterpret_cast<const uint8_t*>(request.data()),
                                      static_cast<long>(request.size()), kSendWait) < 0)
    return false;
  std::string response;
  int r = readResponse(response, 5, kReceiveBuffer, kResponseWindow);
  if (response.empty()) {
    // A node that cannot decode what it got says nothing or hangs up.
    noteFailure(FailureKind::kNoAnswer, "wrong password or cipher?");
    if (r < 0) report(kLevelFailure, "The connection was aborted by server.");
    return false;  // ten seconds without data fail without a line
  }
  if (isHttpAnswer(response)) {
    reportSized(kHttpLineBuffer, kLevelSuccess, "Got correct response (length: %d bytes).",
                static_cast<int>(response.size()));
    return true;
  }
  reportSized(kHttpLineBuffer, kLevelFailure, "Got %d bytes unrecognized packet, maybe encryption is wrong.",
              static_cast<int>(response.size()));
  noteFailure(FailureKind::kBadAnswer, "not HTTP: wrong cipher, or the test site is no web server?");
  return false;
}

// --- SOCKS 4 and SOCKS 5 nodes ------------------------------------------------------

CS45ClientTesting::CS45ClientTesting(TestCallback cb, void* user, int32_t quietFlag)
    : CTesterSession(cb, user, quietFlag) {}

bool CS45ClientTesting::test(NodeRef n, bool udp) {
  report(kLevelProgress, udp ? "UDP Testing started." : "TCP Testing started.");
  clearFailure();
  if (!n || n->server.empty() || n->server_port == 0) {
    report(kLevelFailure, "Proxy server node invalid.");
    return false;
  }
  node = withTrimmedServer(n);
  bool ok = udp ? udpTest() : tcpTest();
  CNodeCounters& counters = *n->counters;
  counters.lastTestResult = ok ? 1 : 0;
  if (ok && !udp) {
    int ms = echoLatency();
    if (ms > 0) counters.Latency = ms;
    report(kLevelSuccess, "Latency : %d ms", counters.Latency.load());
  }
  reportDone();
  return ok;
}

int CS45ClientTesting::echoLatency() {
  IpEndpoint target{};
  if (cancelled() || !fillNodeAddress(target, node->connectAddress(), 0)) return 0;
  // Only a reply carrying the same 32 bytes counts.
  platform::EchoResult reply;
  if (!platform::measureLatency(platform::formatIpAddress(target), node->server_port, std::string(kLatencyPayload, 'E'),
                                kEchoTtl, kEchoTimeoutMs, reply))
    return 0;
  return reply.roundTripMs == 0 ? 1 : reply.roundTripMs;
}

bool CS45ClientTesting::tcpTest() {
  report(kLevelProgress, "Now testing TCP transmission...");
  return reportOutcome(false, tcpTestBody());
}

// The SOCKS part announces the UDP test itself, with the relay request.
bool CS45ClientTesting::udpTest() { return reportOutcome(true, udpTestBody()); }

bool CS45ClientTesting::openAssociation() {
  if (!openUdpControl()) {
    report(kLevelFailure, "Can not connect to proxy.");
    return false;
  }
  report(kLevelSuccess, "Server bound on %s:%d.", platform::formatIpAddress(upstreamUdpAddress).c_str(),
         upstreamUdpAddress.port);
  return true;
}

bool CS45ClientTesting::udpTestBody() {
  report(kLevelProgress, "Testing UDP relay...");
  report(kLevelProgress, "Requesting UDP relay from proxy server...");
  if (!openAssociation()) return false;
  report(kLevelSuccess, "Udp tunnel has been built");
  report(kLevelProgress, "Testing data transmission...");
  noteFailure(FailureKind::kNoAnswer, "no DNS answer through its UDP relay");
  for (std::size_t i = 0; i < targets.udpPairs.size(); ++i) {
    if (cancelled()) return false;
    // A pair that got no answer may have spoilt the association: the next
    // pair gets a new one.
    if (i > 0 && !openAssociation()) return false;
    const auto& pair = targets.udpPairs[i];
    setTestTargets(widen(pair.name), widen(pair.server));
    CProxyDNSClient dns;
    dns.setCarrierPeer(platform::formatIpAddress(upstreamUdpAddress), upstreamUdpAddress.port);
    std::string text;
    std::vector<std::string> addresses;
    if (dns.lookupA(text, pair.server, pair.name, addresses, kUdpLookupDepth)) return true;
  }
  return false;
}

bool CS45ClientTesting::openUpstream(bool udp, bool, IpEndpoint* serverAddress) {
  report(kLevelProgress, "Connecting to SS node...");
  int elapsed = 0;
  if (!connectOnce(udp, kConnectWait, serverAddress, elapsed)) return false;
  report(kLevelSuccess, "Connected to SS node.");
  return true;
}

bool CS45ClientTesting::requestTarget(const SiteUrl& url) {
  uint32_t literal = 0;
  addressType = platform::parseIpv4(url.host, literal) ? socks::kAtypIpv4 : socks::kAtypDomain;
  std::snprintf(targetHost, sizeof targetHost, "%s", url.host.c_str());
  targetPort = url.port;
  if (node->isSocks4()) return socks4Connect();
  IpEndpoint bound{};
  return node->isSocks5() && socks5Login(upstreamSocket) && socks5Request(upstreamSocket, socks::kCmdConnect, bound);
}

bool CS45ClientTesting::httpCheck(const std::string& site) {
  closeUpstream();
  if (!openUpstream(false, true, nullptr)) return false;
  if (site.empty()) {
    report(kLevelFailure, "Test url is empty.");
    return false;
  }
  SiteUrl url;
  if (!parseSite(site, url)) {
    report(kLevelFailure, "Parse url error.");
    return false;
  }
  if (!requestTarget(url)) return false;
  std::string request = httpRequest(url);
  if (request.empty() || sendUpstream(upstreamSocket, reinterpret_cast<const uint8_t*>(request.data()),
                                      static_cast<long>(request.size()), kSendWait) <= 0) {
    noteFailure(FailureKind::kNoAnswer, "the node closed the connection");
    return false;
  }
  std::string response;
  readResponse(response, 5, kAnswerPeek, kReadWait);
  if (isHttpAnswer(response)) return true;
  if (response.empty())
    noteFailure(FailureKind::kNoAnswer, "nothing came back from the test site " + url.host);
  else
    noteFailure(FailureKind::kBadAnswer, "the test site " + url.host + " did not answer in HTTP");
  return false;
}

std::unique_ptr<CTestingBase> makeTester(int32_t type, TestCallback cb, void* user, int32_t quietFlag) {
  if (type == kNodeShadowsocks) return std::make_unique<CSSRClientTesting>(cb, user, quietFlag);
  if (type == kNodeSocks4 || type == kNodeSocks5) return std::make_unique<CS45ClientTesting>(cb, user, quietFlag);
  return nullptr;
}

bool CTestingBase::test(const CNodeInfo* record, bool udp) {
  return test(CNodeMgr::instance().snapshotOf(record), udp);
}

bool CTestingBase::exitAddress(const CNodeInfo* record, const std::string& url, std::string& address) {
  return exitAddress(CNodeMgr::instance().snapshotOf(record), url, address);
}

}  // namespace vantor
