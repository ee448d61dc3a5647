#include "catalogue/node_info.h"

#include <cstdio>

#include "catalogue/settings.h"

namespace vantor {
std::string sizeText(int64_t v) {
  char buf[64];
  if (v < 0) v = 0;
  if (v > (int64_t{1} << 30))
    std::snprintf(buf, sizeof buf, "%.2f G", static_cast<double>(v) / (1 << 30));
  else if (v > (int64_t{1} << 20))
    std::snprintf(buf, sizeof buf, "%.2f M", static_cast<double>(v) / (1 << 20));
  else if (v > 1024)
    std::snprintf(buf, sizeof buf, "%.2f K", static_cast<double>(v) / 1024);
  else
    std::snprintf(buf, sizeof buf, "%d B", static_cast<int>(v));
  return buf;
}

void CSpeedAnalytics::addBytes(uint32_t n, uint32_t now) {
  constexpr auto r = std::memory_order_relaxed;
  uint32_t current = currentSecond.load(r);
  if (now - current > 2) {
    buckets[0].store(0, r);
    buckets[1].store(0, r);
    currentSecond.store(now, r);
    firstSecond.store(now, r);
  } else {
    while (current < now) {
      buckets[(current + 1) & 1].store(0, r);
      ++current;
    }
    currentSecond.store(current, r);
  }
  if (firstSecond.load(r) == 0) firstSecond.store(now - 1, r);
  buckets[now & 1].fetch_add(n, r);
}

uint32_t CSpeedAnalytics::bytesPerSecond(uint32_t now) {
  constexpr auto r = std::memory_order_relaxed;
  if (now != lastRateSecond.load(r)) {
    lastRateSecond.store(now, r);
    // Only addBytes() moves the buckets on, so once traffic stops they keep
    // the last busy seconds. Count a bucket only while its second is still
    // the current or the previous one: an idle node falls to 0 B/s after two
    // seconds instead of showing its last rate for ever.
    uint32_t current = currentSecond.load(r);
    uint32_t age = now > current ? now - current : 0;
    uint32_t a = age <= 1 ? buckets[current & 1].load(r) : 0;
    uint32_t b = age == 0 ? buckets[(current + 1) & 1].load(r) : 0;
    uint32_t sum = a + b;
    uint32_t nonZero = (a != 0) + (b != 0);
    rate.store(nonZero == 0 ? sum : sum / nonZero, r);
  }
  return rate.load(r);
}

std::string CSpeedAnalytics::rateText() { return sizeText(bytesPerSecond()) + "/s"; }

CNodeInfo::CNodeInfo(int32_t nodeId, const NodeParams& p) : id(nodeId) {
  server = trimBlanks(p.server);
  assignEditable(p);
}

void CNodeInfo::assignEditable(const NodeParams& p) {
  type = p.type;
  server_port = p.server_port;
  username = p.username;
  password = p.password;
  method = p.method;
  remarks = p.remarks;
  selectionIndex = p.selectionIndex;
  nCountryIndex = p.nCountryIndex;
  AdditionalRoute = p.AdditionalRoute;
  enable = p.enable;
  protocol = p.protocol;
  obfs = p.obfs;
  obfsparam = p.obfsparam;
  protocolparam = p.protocolparam;
  group = p.group;
  server_udp_port = p.server_udp_port;
  udp_over_tcp = p.udp_over_tcp;
  subscription = p.subscription;
  plugin = p.plugin;
  plugin_opts = p.plugin_opts;
}

const char* kindLabel(int32_t type) {
  switch (type) {
    case kNodeHttp:
      return "HTTP";
    case kNodeSocks4:
      return "S4";
    case kNodeSocks5:
      return "S5";
    case kNodeShadowsocks:
      return "SR";
    default:
      return "N/A";
  }
}

const char* kindLongLabel(int32_t type) {
  switch (type) {
    case kNodeHttp:
      return "HTTP";
    case kNodeSocks4:
      return "SOCKS 4/4a";
    case kNodeSocks5:
      return "SOCKS 5";
    case kNodeShadowsocks:
      return "SR";
    default:
      return "N/A";
  }
}

void CNodeCounters::addUploaded(uint32_t n) {
  if (n) Upload_traffic.fetch_add(n, std::memory_order_relaxed);
}

void CNodeCounters::addDownloaded(uint32_t n) {
  if (n) Download_traffic.fetch_add(n, std::memory_order_relaxed);
}

void CNodeCounters::resetStatistics() {
  Latency = 0;
  Upload_traffic = 0;
  Download_traffic = 0;
  ConnectedTimes = 0;
  FailureTimes = 0;
}

namespace {
std::string displayTextOf(const char* label, const std::string& remarks, const std::string& server, uint16_t port) {
  char buf[1024];
  if (!remarks.empty())
    std::snprintf(buf, sizeof buf, "[%s] %s", label, remarks.c_str());
  else
    std::snprintf(buf, sizeof buf, "[%s] %s:%d", label, server.c_str(), port);
  return buf;
}
}  // namespace

std::string NodeSnapshot::displayText() const { return displayTextOf(kindLabel(), remarks, server, server_port); }

NodeRef NodeSnapshot::withResolvedIp(const std::string& address) const {
  auto copy = std::make_shared<NodeSnapshot>(*this);
  copy->resolvedIp = address;
  return copy;
}

NodeRef NodeSnapshot::withTcpEndpoint(const std::string& serverAddress, const std::string& host, uint16_t port) const {
  auto copy = std::make_shared<NodeSnapshot>(*this);
  copy->resolvedIp = serverAddress;
  copy->tcpHost = host;
  copy->tcpPort = port;
  return copy;
}

NodeRef CNodeInfo::snapshot() const {
  auto s = std::make_shared<NodeSnapshot>();
  s->id = id;
  s->type = type;
  s->server = server;
  s->resolvedIp = resolvedIp;
  s->server_port = server_port;
  s->username = username;
  s->password = password;
  s->method = method;
  s->remarks = remarks;
  s->protocol = protocol;
  s->obfs = obfs;
  s->obfsparam = obfsparam;
  s->protocolparam = protocolparam;
  s->group = group;
  s->plugin = plugin;
  s->plugin_opts = plugin_opts;
  s->counters = counters_;
  return s;
}

void CNodeInfo::update(const NodeParams& p) {
  std::string newServer = trimBlanks(p.server);
  if (!newServer.empty()) {
    if (!equalsIgnoringCase(newServer, server)) {
      iplocation.clear();
      ipregion.clear();
      resolvedIp.clear();
    }
    server = newServer;
  }
  assignEditable(p);
  resetStatistics();
}

NodeParams CNodeInfo::params() const {
  NodeParams p;
  p.type = type;
  p.server = server;
  p.server_port = server_port;
  p.username = username;
  p.password = password;
  p.method = method;
  p.remarks = remarks;
  p.selectionIndex = selectionIndex;
  p.nCountryIndex = nCountryIndex;
  p.AdditionalRoute = AdditionalRoute;
  p.enable = enable;
  p.protocol = protocol;
  p.obfs = obfs;
  p.obfsparam = obfsparam;
  p.protocolparam = protocolparam;
  p.group = group;
  p.server_udp_port = server_udp_port;
  p.udp_over_tcp = udp_over_tcp;
  p.subscription = subscription;
  p.plugin = plugin;
  p.plugin_opts = plugin_opts;
  return p;
}

std::string CNodeInfo::displayText() const { return displayTextOf(kindLabel(), remarks, server, server_port); }

std::string CNodeInfo::groupedDisplayText() const {
  char middle[512];
  std::snprintf(middle, sizeof middle, "%s -> ", group.empty() ? "Default Group" : group.c_str());
  char buf[1536];
  if (!remarks.empty())
    std::snprintf(buf, sizeof buf, "[%s] %s%s", kindLabel(), middle, remarks.c_str());
  else
    std::snprintf(buf, sizeof buf, "[%s] %s%s:%d", kindLabel(), middle, server.c_str(), server_port);
  return buf;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

bool isLocalAddress(const std::string& address, const std::string& hostName,
                    const std::vector<std::string>& hostAddresses) {
  if (address.empty() || equalsIgnoringCase(address, "localhost")) return true;
  if (!hostName.empty() && equalsIgnoringCase(address, hostName)) return true;
  if (!isDottedIpv4(address)) return false;
  if (address.rfind("127.", 0) == 0) return true;
  auto network = [](const std::string& dotted) { return dotted.substr(0, dotted.rfind('.') + 1); };
  const std::string net = network(address);
  for (const std::string& own : hostAddresses)
    if (isDottedIpv4(own) && network(own) == net) return true;
  return false;
}

NodeRef withTrimmedServer(NodeRef node) {
  if (!node) return node;
  std::string trimmed = trimBlanks(node->server);
  if (trimmed == node->server) return node;
  auto copy = std::make_shared<NodeSnapshot>(*node);
  copy->server = std::move(trimmed);
  return copy;
}

std::string trimBlanks(const std::string& text) {
  const char* blanks = " \t\r\n";
  auto first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  auto last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

}  // namespace vantor
