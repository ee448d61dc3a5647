// The proxy node record: where and how to reach one upstream proxy server,
// plus its live traffic meter and counters; and the immutable snapshot of a
// node's connection parameters that the data path works with.
//
// Threads: a CNodeInfo in the store is changed only under the store's lock
// (the GUI or command-line thread editing, a probe thread filling what it
// learned); its counters (CNodeCounters) are counted into by session, flow
// and tester threads without a lock. A NodeSnapshot never changes once made
// and may be read by any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

enum NodeKind : int32_t { kNodeHttp = 3, kNodeSocks4 = 4, kNodeSocks5 = 5, kNodeShadowsocks = 6 };

// Size text of a byte count: "%.2f G", "%.2f M", "%.2f K" or "%d B".
std::string sizeText(int64_t bytes);

// Throughput meter over the current and the previous second. Many session
// threads count into it at once; the fields are relaxed atomics so readers
// see a possibly stale but never torn value.
class CSpeedAnalytics {
 public:
  CSpeedAnalytics() = default;
  CSpeedAnalytics(const CSpeedAnalytics&) = delete;
  CSpeedAnalytics& operator=(const CSpeedAnalytics&) = delete;

  void addBytes(uint32_t n) { addBytes(n, static_cast<uint32_t>(std::time(nullptr))); }
  uint32_t bytesPerSecond() { return bytesPerSecond(static_cast<uint32_t>(std::time(nullptr))); }
  // The same with the current second given, for callers that keep their own clock.
  void addBytes(uint32_t n, uint32_t now);
  uint32_t bytesPerSecond(uint32_t now);
  std::string rateText();

 protected:
  std::atomic<uint32_t> lastRateSecond{0};
  std::atomic<uint32_t> rate{0};
  std::atomic<uint32_t> firstSecond{0};
  std::atomic<uint32_t> currentSecond{0};
  std::atomic<uint32_t> buckets[2]{};
};

// The user-editable subset of a node, as dialogs and share links deliver it.
struct NodeParams {
  int32_t type = kNodeSocks5;
  std::string server;
  uint16_t server_port = 0;
  std::string username;
  std::string password;
  std::string method;
  std::string remarks;
  int32_t selectionIndex = -1;  // dialog state carried along unchanged
  int32_t nCountryIndex = -1;
  std::string AdditionalRoute;
  bool enable = true;
  std::string protocol;
  std::string obfs;
  std::string obfsparam;
  std::string protocolparam;
  std::string group;
  uint16_t server_udp_port = 0;
  bool udp_over_tcp = false;
  // The address of the subscription the node came from; empty for nodes the
  // user added. A refresh replaces exactly the nodes of its subscription.
  std::string subscription;
  // A Shadowsocks plugin program ("obfs-local") and its option string
  // ("obfs=http;obfs-host=example.com"); empty for none.
  std::string plugin;
  std::string plugin_opts;
};

const char* kindLabel(int32_t type);
const char* kindLongLabel(int32_t type);

// What the data path counts for a node: the meter, the traffic totals, the
// connect counters and the last test's result. The store's record and every
// snapshot made of it share one object, so sessions that outlive an edit or
// the removal of their node still count into something that exists, and the
// window sees their traffic while the node is in the store.
class CNodeCounters : public CSpeedAnalytics {
 public:
  void addUploaded(uint32_t n);
  void addDownloaded(uint32_t n);
  // Latency, traffic and connect counters to 0 (not the test result).
  void resetStatistics();

  std::atomic<int32_t> Latency{0};
  std::atomic<double> Upload_traffic{0};
  std::atomic<double> Download_traffic{0};
  std::atomic<int32_t> ConnectedTimes{0};
  std::atomic<int32_t> FailureTimes{0};
  std::atomic<int32_t> lastTestResult{-1};
};

// A node's connection parameters as they were when a connection (or a test)
// began. Handed around as NodeRef and never changed: an edit of the node in
// the store makes the next snapshot differ and leaves running sessions on
// theirs. `resolvedIp` is the address the connection decided to use; a
// connection that resolves the server itself makes a new snapshot with
// withResolvedIp() instead of writing into the store.
struct NodeSnapshot;
using NodeRef = std::shared_ptr<const NodeSnapshot>;

struct NodeSnapshot {
  int32_t id = -1;
  int32_t type = kNodeSocks5;
  std::string server;
  std::string resolvedIp;
  uint16_t server_port = 0;
  std::string username;
  std::string password;
  std::string method;
  std::string remarks;
  std::string protocol;
  std::string obfs;
  std::string obfsparam;
  std::string protocolparam;
  std::string group;
  std::string plugin;  // a Shadowsocks plugin program; its TCP must go through it
  std::string plugin_opts;
  // Where TCP to the node goes instead of the server: the local port of its
  // running plugin program. Port 0: TCP goes to the server like UDP does.
  std::string tcpHost;
  uint16_t tcpPort = 0;
  // Never null; shared with the record the snapshot was made of.
  std::shared_ptr<CNodeCounters> counters = std::make_shared<CNodeCounters>();

  bool isSocks4() const { return type == kNodeSocks4; }
  bool isSocks5() const { return type == kNodeSocks5; }
  bool isShadowsocks() const { return type == kNodeShadowsocks; }
  const char* kindLabel() const { return vantor::kindLabel(type); }
  const char* kindLongLabel() const { return vantor::kindLongLabel(type); }
  const std::string& connectAddress() const { return resolvedIp.empty() ? server : resolvedIp; }
  // Where a TCP connection to the node goes (UDP always goes to the server).
  const std::string& tcpConnectAddress() const { return tcpPort != 0 ? tcpHost : connectAddress(); }
  uint16_t tcpConnectPort() const { return tcpPort != 0 ? tcpPort : server_port; }
  // Whether the node needs a plugin program that is not running for it.
  bool lacksPlugin() const { return isShadowsocks() && !plugin.empty() && tcpPort == 0; }
  std::string displayText() const;
  // A copy that connects to `address` (same counters).
  NodeRef withResolvedIp(const std::string& address) const;
  // A copy whose TCP goes to host:port, the server at `serverAddress` kept
  // as its resolved address for everything else (same counters).
  NodeRef withTcpEndpoint(const std::string& serverAddress, const std::string& host, uint16_t port) const;
};

class CNodeInfo {
 private:
  // First, so that the counter references below can bind to it.
  std::shared_ptr<CNodeCounters> counters_ = std::make_shared<CNodeCounters>();

 public:
  CNodeInfo() = default;
  explicit CNodeInfo(int32_t nodeId) : id(nodeId) {}
  CNodeInfo(const CNodeInfo&) = delete;
  CNodeInfo& operator=(const CNodeInfo&) = delete;
  // Builds a record from editable fields (the store assigns the id).
  CNodeInfo(int32_t nodeId, const NodeParams& params);

  bool isSocks4() const { return type == kNodeSocks4; }
  bool isSocks5() const { return type == kNodeSocks5; }
  bool isShadowsocks() const { return type == kNodeShadowsocks; }
  const char* kindLabel() const { return vantor::kindLabel(type); }
  const char* kindLongLabel() const { return vantor::kindLongLabel(type); }
  // The address every upstream connection goes to.
  const std::string& connectAddress() const { return resolvedIp.empty() ? server : resolvedIp; }

  void addUploaded(uint32_t n) { counters_->addUploaded(n); }
  void addDownloaded(uint32_t n) { counters_->addDownloaded(n); }
  void resetStatistics() { counters_->resetStatistics(); }
  // The meter, kept in the shared counters.
  void addBytes(uint32_t n) { counters_->addBytes(n); }
  void addBytes(uint32_t n, uint32_t now) { counters_->addBytes(n, now); }
  uint32_t bytesPerSecond() { return counters_->bytesPerSecond(); }
  uint32_t bytesPerSecond(uint32_t now) { return counters_->bytesPerSecond(now); }
  std::string rateText() { return counters_->rateText(); }
  const std::shared_ptr<CNodeCounters>& counters() const { return counters_; }

  // The connection parameters as they are now. The caller keeps the record
  // from changing meanwhile: CNodeMgr::snapshot() takes the store's lock, a
  // record the caller owns needs none.
  NodeRef snapshot() const;

  // Copies editable fields into this record; a changed server forgets what
  // was learned about the old one.
  void update(const NodeParams& params);
  NodeParams params() const;

  // "[S5] remarks" or "[S5] host:port"; with a group, "[S5] group -> ...".
  std::string displayText() const;
  std::string groupedDisplayText() const;

  int32_t busy = 0;
  int32_t id = 0;
  int32_t type = kNodeSocks5;
  std::string server;
  std::string resolvedIp;
  uint16_t server_port = 0;
  std::string username;
  std::string password;
  std::string method;
  std::string remarks;
  bool enable = true;
  // The counters live in the shared object; these keep their names here.
  std::atomic<int32_t>& Latency = counters_->Latency;
  std::atomic<double>& Upload_traffic = counters_->Upload_traffic;
  std::atomic<double>& Download_traffic = counters_->Download_traffic;
  std::atomic<int32_t>& ConnectedTimes = counters_->ConnectedTimes;
  std::atomic<int32_t>& FailureTimes = counters_->FailureTimes;
  std::string iplocation;
  std::string ipregion;
  std::atomic<int32_t>& lastTestResult = counters_->lastTestResult;
  int32_t nCountryIndex = -1;
  std::string AdditionalRoute;
  std::string protocol;
  std::string obfs;
  std::string obfsparam;
  std::string protocolparam;
  std::string group;
  uint16_t server_udp_port = 0;
  bool udp_over_tcp = false;
  std::string subscription;
  std::string plugin;
  std::string plugin_opts;
  // Read from a node file that did not record subscriptions: the node may
  // have come from one, which only its group can tell.
  bool legacyOrigin = false;
  int32_t selectionIndex = -1;

 private:
  // Every editable field but the server, whose rules differ between creating
  // and updating a record.
  void assignEditable(const NodeParams& params);
};

// Leading and trailing blanks removed.
std::string trimBlanks(const std::string& text);
// `node` with blanks around its server removed (the same snapshot when there
// are none, null for null).
NodeRef withTrimmedServer(NodeRef node);
// Equal when ASCII letter case is ignored (host names, URLs, process names).
bool equalsIgnoringCase(std::string_view a, std::string_view b);
// Whether a node at `address` is on this machine or its local network: empty,
// "localhost" or `hostName` (any case), 127.x.x.x, or a dotted IPv4 address
// sharing its first three octets with one of `hostAddresses`. Such a node
// gets no route of its own and is the only kind whose exit address is asked.
bool isLocalAddress(const std::string& address, const std::string& hostName,
                    const std::vector<std::string>& hostAddresses);

}  // namespace vantor
