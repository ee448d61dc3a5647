// The node tester: checks one proxy node without the tunnel, through the
// same session code the local service uses for that node kind, and reports
// every step as a line of text with a level. It answers: does TCP work (an
// HTTP request to a web site through the node gets an HTTP answer), does UDP
// work (a DNS query through the node's UDP relay gets answers), what is the
// latency, and what address traffic leaves from (the exit address).
//
// Threads: a tester is made, used and destroyed on one thread (the
// connection worker, or a test run's thread); it works on a snapshot of the
// node and writes only the node's counters (latency, connect counts, the
// test result), which are atomic.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/node_info.h"
#include "diag/test_targets.h"
#include "service/failure_reason.h"
#include "service/s45_client.h"
#include "service/ssr_client.h"

namespace vantor {

// Line levels.
enum TestLevel : int { kLevelProgress = 1, kLevelSuccess = 2, kLevelFailure = 3 };

// Receives every line on the tester's thread.
using TestCallback = void (*)(void* userData, const std::string& line, int level);

// Reporting and the test operations every tester offers.
class CTestingBase {
 public:
  CTestingBase(TestCallback cb, void* user, int32_t quietFlag) : quiet(quietFlag), userData(user), callback(cb) {}
  virtual ~CTestingBase() = default;

  // The whole TCP (`udp` false) or UDP test of `node`; the result also goes
  // to the node's lastTestResult (1 passed, 0 failed), in its counters.
  virtual bool test(NodeRef node, bool udp) = 0;
  // The same on a snapshot of `record` taken now (see CNodeMgr::snapshotOf).
  bool test(const CNodeInfo* record, bool udp);
  virtual bool tcpTest() = 0;
  virtual bool udpTest() = 0;
  // The address traffic through `node` leaves from, as the address-echo
  // service at `url` sees it. Only for nodes on this machine or next to it.
  virtual bool exitAddress(NodeRef node, const std::string& url, std::string& address) = 0;
  bool exitAddress(const CNodeInfo* record, const std::string& url, std::string& address);
  // Prints nothing: the test window and the controller do not want a summary.
  virtual void printNodeInfo(const NodeSnapshot*) {}
  // Why the last test failed, as far as the tester could tell.
  virtual FailureReason failureReason() const { return {}; }

  void setTargets(TestTargets t) { targets = std::move(t); }
  // While `*flag` is true the tester stops at its next wait and reports nothing more.
  void setCancelFlag(const std::atomic<bool>* flag) { cancelFlag = flag; }

  int32_t quiet;
  void* userData;
  TestCallback callback;

 protected:
  // Translates `format`, fills it in (into a 1024-byte line, or `bufferSize`
  // bytes) and hands it to the callback; nothing once the run is cancelled.
  void report(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void reportSized(std::size_t bufferSize, int level, const char* format, ...) __attribute__((format(printf, 4, 5)));
  void vreport(std::size_t bufferSize, int level, const char* format, va_list args);
  // The result line of the TCP (`udp` false) or UDP part, and after a
  // failure the reason on a line of its own; returns `ok`.
  bool reportOutcome(bool udp, bool ok);
  // The two lines that end a node's test.
  void reportDone();
  bool cancelled() const { return cancelFlag && cancelFlag->load(); }

  TestTargets targets = TestTargets::defaults();
  const std::atomic<bool>* cancelFlag = nullptr;
};

// What both testers share, on top of the session class of their node kind:
// a single-attempt upstream connect, cancellable waits, the HTTP exchange and
// the exit-address retrieval.
template <class Session>
class CTesterSession : public Session, public CTestingBase {
 public:
  static constexpr int kSendWait = 5;
  static constexpr int kReadWait = 5;
  static constexpr std::size_t kResponseLimit = 2047;
  static constexpr int kLatencyPayload = 32;

  CTesterSession(TestCallback cb, void* user, int32_t quietFlag);

  using CTestingBase::exitAddress;
  bool exitAddress(NodeRef node, const std::string& url, std::string& address) override;
  // Tries the test sites in order until one answers over HTTP.
  bool tcpTestBody() override;
  // The HTTP check of one site through the node.
  virtual bool httpCheck(const std::string& site) = 0;
  long recvWait(SocketHandle s, void* buffer, std::size_t size, int timeout) override;
  FailureReason failureReason() const override { return this->failure(); }

 protected:
  // One connect attempt to the node's `server` (not a resolved address),
  // waiting up to `waitSeconds`; counts ConnectedTimes and FailureTimes and
  // reports the failures. `elapsedMs` gets the connect time. The testers'
  // openUpstream: a single attempt, whether or not a non-blocking connect
  // was asked for (it always is one).
  bool connectOnce(bool udp, int waitSeconds, IpEndpoint* serverAddress, int& elapsedMs);
  // Asks the node to connect to `url`'s host and port (SOCKS CONNECT, or the
  // Shadowsocks address header).
  virtual bool requestTarget(const SiteUrl& url) = 0;
  // The request template for `url`; empty when it does not fit its buffer.
  static std::string httpRequest(const SiteUrl& url);
  // One read of decoded bytes from the node into `response` (kept to `limit`
  // bytes) before `deadline`, answering the obfs plugin's handshake when it
  // asks to: 1 when bytes arrived, 0 when the time ran out, -1 when the node
  // closed or failed.
  int readStep(std::string& response, std::size_t limit, std::chrono::steady_clock::time_point deadline);
  // Reads until at least `minimum` bytes arrived (up to `limit`) within
  // `seconds`; the result of the last readStep.
  int readResponse(std::string& response, std::size_t minimum, std::size_t limit, int seconds);
  // Reads the whole answer to the exit-address request (headers and body, by
  // Content-Length or until the node closes), up to `limit` bytes.
  bool readHttpAnswer(std::string& response, std::size_t limit, int seconds);
  static bool isHttpAnswer(const std::string& response);
  void closeUpstream();
  bool keepWaiting() override { return !cancelled(); }

 private:
  std::vector<uint8_t> receiveBuffer_;
};

class CSSRClientTesting : public CTesterSession<CSSRCLient> {
 public:
  static constexpr int kConnectWait = 10;
  static constexpr int kResponseWindow = 10;
  static constexpr std::size_t kReceiveBuffer = 131014;

  CSSRClientTesting(TestCallback cb, void* user, int32_t quietFlag);

  using CTestingBase::test;
  bool test(NodeRef node, bool udp) override;
  bool tcpTest() override;
  bool udpTest() override;
  bool udpTestBody() override;
  bool openUpstream(bool udp, bool nonBlocking, IpEndpoint* serverAddress) override;
  bool httpCheck(const std::string& site) override;

  int32_t connectMs = 0;

 protected:
  bool requestTarget(const SiteUrl& url) override;
  // The cipher and plugins, new for each connection; reports unknown names.
  bool preparePipeline(bool report);
};

class CS45ClientTesting : public CTesterSession<CS45CLient> {
 public:
  static constexpr int kConnectWait = 4;
  static constexpr std::size_t kAnswerPeek = 100;
  static constexpr int kEchoTtl = 64;
  static constexpr int kEchoTimeoutMs = 5000;

  CS45ClientTesting(TestCallback cb, void* user, int32_t quietFlag);

  using CTestingBase::test;
  bool test(NodeRef node, bool udp) override;
  bool tcpTest() override;
  bool udpTest() override;
  bool udpTestBody() override;
  bool openUpstream(bool udp, bool nonBlocking, IpEndpoint* serverAddress) override;
  bool httpCheck(const std::string& site) override;

 protected:
  bool requestTarget(const SiteUrl& url) override;
  // ICMP echo to the node (or the TCP connection time to its port where
  // echoes are not allowed): the round trip in ms, or 0 when no answer came.
  int echoLatency();
  // A SOCKS 5 UDP association with the node; reports the relay's address.
  bool openAssociation();
};

// A tester for `node`'s kind (4, 5 or 6), or null for kinds it cannot test.
std::unique_ptr<CTestingBase> makeTester(int32_t type, TestCallback cb, void* user, int32_t quietFlag);
inline std::unique_ptr<CTestingBase> makeTester(const CNodeInfo& node, TestCallback cb, void* user, int32_t quietFlag) {
  return makeTester(node.type, cb, user, quietFlag);
}
inline std::unique_ptr<CTestingBase> makeTester(const NodeSnapshot& node, TestCallback cb, void* user,
                                                int32_t quietFlag) {
  return makeTester(node.type, cb, user, quietFlag);
}

}  // namespace vantor
