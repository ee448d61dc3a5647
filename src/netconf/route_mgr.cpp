#include "netconf/route_mgr.h"

#include <atomic>
#include <unordered_map>

#include "platform/net.h"

namespace vantor {
namespace {

std::mutex& metricLock() {
  static std::mutex lock;
  return lock;
}

std::unordered_map<int, uint32_t>& metrics() {
  static std::unordered_map<int, uint32_t> table;
  return table;
}

std::atomic<CRouterMgr*>& published() {
  static std::atomic<CRouterMgr*> mgr{nullptr};
  return mgr;
}

bool isLoopback(uint32_t address) { return (address & 0xff) == 127; }  // network order: first octet

}  // namespace

std::string routeKey(const std::string& destination, const std::string& mask) { return destination + mask; }

DefaultRoute detectDefaultRoute() {
  DefaultRoute result;
  std::vector<platform::RouteRow> rows;
  if (!platform::listRoutes(rows)) return result;
  const platform::RouteRow* best = nullptr;
  for (const auto& row : rows) {
    // Our own routes (the tunnel's half-default routes start at 0.0.0.0 too)
    // never describe the host's way out.
    if (row.destination != 0 || row.protocol == platform::kVantorRouteProtocol) continue;
    if (!best || row.metric < best->metric) best = &row;
  }
  if (!best) return result;
  result.nextHop = best->direct ? std::string() : platform::formatIpv4(best->nextHop);
  // An on-link default route has no gateway: the interface itself is the hop.
  if (result.nextHop.empty()) result.nextHop = "0.0.0.0";
  result.ifIndex = best->ifIndex;
  result.direct = best->direct;
  return result;
}

void setInterfaceMetric(int ifIndex, uint32_t metric) {
  std::lock_guard<std::mutex> guard(metricLock());
  metrics()[ifIndex] = metric;
}

uint32_t interfaceMetric(int ifIndex) {
  std::lock_guard<std::mutex> guard(metricLock());
  auto it = metrics().find(ifIndex);
  return it == metrics().end() ? 0 : it->second;
}

CRouterMgr::~CRouterMgr() {
  CRouterMgr* self = this;
  published().compare_exchange_strong(self, nullptr);
  removeAllRoutes();
}

bool CRouterMgr::setPaths(const std::string& directNextHop, int directIfIndex, bool directFlag,
                          const std::string& tunnelNextHop, int tunnelIfIndex, bool tunnelFlag) {
  // New paths: the routes of the old ones go first. The lock is not held
  // while the host is changed (applyDelete may ask isTunnelRow).
  removeAllRoutes();
  std::lock_guard<std::mutex> guard(lock_);
  initialised_ = false;
  if (directNextHop.empty() || tunnelNextHop.empty()) return false;
  uint32_t directHop = 0, tunnelHop = 0;
  if (!platform::parseIpv4(directNextHop, directHop) || !platform::parseIpv4(tunnelNextHop, tunnelHop)) return false;
  auto resolveIndex = [](uint32_t hop, int& index) {
    if (index != 0) return index > 0;
    std::vector<platform::HostAddress> addresses;
    if (!platform::hostAddresses(addresses)) return false;
    for (const auto& a : addresses)
      if (a.address == hop) {
        index = a.ifIndex;
        return true;
      }
    return false;
  };
  if (!resolveIndex(directHop, directIfIndex) || !resolveIndex(tunnelHop, tunnelIfIndex)) return false;
  direct_ = {directNextHop, directIfIndex, directFlag, interfaceMetric(directIfIndex)};
  tunnel_ = {tunnelNextHop, tunnelIfIndex, tunnelFlag, interfaceMetric(tunnelIfIndex)};
  directNextHop_ = directHop;
  tunnelNextHop_ = tunnelHop;
  initialised_ = true;
  return true;
}

bool CRouterMgr::isTunnelRow(const platform::RouteRow& row) const {
  std::lock_guard<std::mutex> guard(lock_);
  return initialised_ && row.nextHop == tunnelNextHop_ && row.ifIndex == tunnel_.ifIndex;
}

bool CRouterMgr::initialised() const {
  std::lock_guard<std::mutex> guard(lock_);
  return initialised_;
}

RoutePath CRouterMgr::directPath() const {
  std::lock_guard<std::mutex> guard(lock_);
  return direct_;
}

RoutePath CRouterMgr::tunnelPath() const {
  std::lock_guard<std::mutex> guard(lock_);
  return tunnel_;
}

bool CRouterMgr::buildRow(uint32_t destination, uint32_t mask, bool viaTunnel, uint32_t metric,
                          platform::RouteRow& row) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (!initialised_ || isLoopback(destination)) return false;
  const RoutePath& path = viaTunnel ? tunnel_ : direct_;
  row.destination = destination;
  row.mask = mask;
  row.nextHop = viaTunnel ? tunnelNextHop_ : directNextHop_;
  row.ifIndex = path.ifIndex;
  row.direct = path.direct;
  row.protocol = platform::kVantorRouteProtocol;
  row.metric = metric + path.interfaceMetric;
  return true;
}

void CRouterMgr::track(const platform::RouteRow& row) {
  std::string key = routeKey(platform::formatIpv4(row.destination), platform::formatIpv4(row.mask));
  std::lock_guard<std::mutex> guard(lock_);
  tracked_.emplace(std::move(key), row);  // an already tracked key keeps its first row
}

bool CRouterMgr::addRoute(const std::string& destination, const std::string& mask, bool viaTunnel, uint32_t metric) {
  if (destination.empty() || mask.empty()) return false;
  uint32_t dest = 0, m = 0;
  // Texts that are not addresses still make a (refused) route, as the kernel
  // is the judge; only the loopback check looks at the first octet.
  if (!platform::parseIpv4(destination, dest)) dest = 0xffffffffu;
  if (!platform::parseIpv4(mask, m)) m = 0xffffffffu;
  platform::RouteRow row;
  if (!buildRow(dest, m, viaTunnel, metric, row)) return false;
  applyAdd(std::span<const platform::RouteRow>(&row, 1));
  std::lock_guard<std::mutex> guard(lock_);
  tracked_.emplace(routeKey(destination, mask), row);
  return true;
}

std::size_t CRouterMgr::addRoutes(std::span<const Request> requests, uint32_t metric) {
  std::vector<platform::RouteRow> rows;
  rows.reserve(requests.size());
  for (const auto& r : requests) {
    platform::RouteRow row;
    if (buildRow(r.destination, r.mask, r.viaTunnel, metric, row)) rows.push_back(row);
  }
  applyAdd(rows);
  for (const auto& row : rows) track(row);
  return rows.size();
}

bool CRouterMgr::deleteRoute(const std::string& destination, const std::string& mask) {
  if (destination.empty() || mask.empty()) return false;
  uint32_t dest = 0, m = 0;
  if (!platform::parseIpv4(destination, dest)) dest = 0xffffffffu;
  if (!platform::parseIpv4(mask, m)) m = 0xffffffffu;
  platform::RouteRow rows[2];
  {
    std::lock_guard<std::mutex> guard(lock_);
    rows[0] = {dest, m, directNextHop_, direct_.ifIndex, direct_.direct, platform::kVantorRouteProtocol, 0};
    rows[1] = {dest, m, tunnelNextHop_, tunnel_.ifIndex, tunnel_.direct, platform::kVantorRouteProtocol, 0};
  }
  applyDelete(rows);
  std::lock_guard<std::mutex> guard(lock_);
  tracked_.erase(routeKey(destination, mask));
  return true;
}

bool CRouterMgr::isTracked(const std::string& destination, const std::string& mask) {
  std::lock_guard<std::mutex> guard(lock_);
  return tracked_.count(routeKey(destination, mask)) != 0;
}

void CRouterMgr::removeAllRoutes() {
  std::vector<platform::RouteRow> rows;
  {
    std::lock_guard<std::mutex> guard(lock_);
    rows.reserve(tracked_.size());
    for (const auto& [key, row] : tracked_) rows.push_back(row);
    tracked_.clear();
  }
  if (!rows.empty()) applyDelete(rows);
}

std::size_t CRouterMgr::trackedCount() {
  std::lock_guard<std::mutex> guard(lock_);
  return tracked_.size();
}

void CRouterMgr::setInstance(CRouterMgr* mgr) { published().store(mgr); }
CRouterMgr* CRouterMgr::instance() { return published().load(); }

bool CRouterMgr::addDirectHostRoute(const std::string& address) {
  CRouterMgr* mgr = instance();
  return mgr != nullptr && mgr->addDirectRoute(address, "255.255.255.255");
}

}  // namespace vantor
