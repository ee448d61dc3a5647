#include "catalogue/node_mgr.h"

#include <algorithm>
#include <chrono>
#include <unordered_set>

#include "catalogue/app_paths.h"
#include "catalogue/ini_file.h"
#include "catalogue/node_file.h"
#include "catalogue/node_probe.h"
#include "catalogue/node_uri.h"
#include "catalogue/settings.h"
#include "catalogue/share_link.h"
#include "crypto/cryptor.h"
#include "crypto/ssr/plugins.h"
#include "platform/host.h"

namespace vantor {
namespace {

constexpr std::size_t kProbeThreads = 16;

// Names the plugin tables do not know fall back to the plain ones. A
// Shadowsocks cipher is kept by its name even when unknown (as in a node file
// of a later version): the session refuses a cipher it does not know, where
// "none" would quietly send everything in the clear.
void normalise(CNodeInfo& node) {
  if (!IsValidMethod(node.method) && !node.isShadowsocks()) node.method = "none";
  if (!IsValidObfs(node.obfs)) node.obfs = "plain";
  if (!IsValidProtocol(node.protocol)) node.protocol = "origin";
}

bool sameEditableFields(const NodeParams& a, const NodeParams& b) {
  return a.type == b.type && equalsIgnoringCase(a.server, b.server) && a.server_port == b.server_port &&
         a.username == b.username && a.password == b.password && a.method == b.method && a.remarks == b.remarks &&
         a.AdditionalRoute == b.AdditionalRoute && a.enable == b.enable && a.protocol == b.protocol &&
         a.obfs == b.obfs && a.obfsparam == b.obfsparam && a.protocolparam == b.protocolparam && a.group == b.group &&
         a.server_udp_port == b.server_udp_port && a.udp_over_tcp == b.udp_over_tcp &&
         a.subscription == b.subscription && a.plugin == b.plugin && a.plugin_opts == b.plugin_opts;
}

NodeListItem listItem(const CNodeInfo& node) {
  return {node.id,
          node.displayText(),
          node.groupedDisplayText(),
          node.nCountryIndex,
          node.Latency.load(),
          node.lastTestResult.load()};
}

}  // namespace

CNodeMgr::CNodeMgr() = default;

CNodeMgr::~CNodeMgr() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
    for (int32_t id : probeQueue_)
      if (CNodeInfo* node = findLocked(id)) node->busy = 0;
    probeQueue_.clear();
    threads.swap(probeThreads_);
  }
  probeReady_.notify_all();
  for (auto& t : threads) t.join();
}

CNodeMgr& CNodeMgr::instance() {
  // Never destroyed: probe threads and observers may still run at exit.
  static CNodeMgr* store = new CNodeMgr();
  return *store;
}

CNodeInfo* CNodeMgr::insertLocked(std::unique_ptr<CNodeInfo> node) {
  normalise(*node);
  CNodeInfo* raw = node.get();
  byId_[raw->id] = raw;
  nodes_.push_back(std::move(node));
  return raw;
}

CNodeInfo* CNodeMgr::add(const NodeParams& params) {
  // A server of blanks only is as empty as no server.
  if (trimBlanks(params.server).empty() || params.server_port == 0) return nullptr;
  if (!unstorableNodeReason(params).empty()) return nullptr;
  CNodeInfo* node;
  {
    std::lock_guard<std::mutex> guard(lock_);
    node = insertLocked(std::make_unique<CNodeInfo>(nextId_++, params));
  }
  notify(NodeChange::Added, node->id);
  return node;
}

CNodeInfo* CNodeMgr::add(std::unique_ptr<CNodeInfo> node) {
  if (!node) return nullptr;
  CNodeInfo* raw;
  {
    std::lock_guard<std::mutex> guard(lock_);
    node->id = nextId_++;
    raw = insertLocked(std::move(node));
  }
  notify(NodeChange::Added, raw->id);
  return raw;
}

CNodeInfo* CNodeMgr::addFromLink(const std::string& text) {
  auto params = parseLink(text);
  return params ? add(*params) : nullptr;
}

CNodeMgr::ImportReport CNodeMgr::importLinks(const std::string& text) {
  ImportReport report;
  for (const BatchPiece& piece : splitBatchWithLines(text)) {
    std::string reason;
    auto params = parseNodeLink(piece.text, reason);
    if (params && !add(*params)) reason = "Can not resolve this link.";
    if (params && reason.empty()) {
      ++report.added;
    } else {
      report.refused.push_back({piece.line, piece.text, reason});
    }
  }
  return report;
}

CNodeInfo* CNodeMgr::update(int32_t id, const NodeParams& params) {
  CNodeInfo* node;
  {
    std::lock_guard<std::mutex> guard(lock_);
    node = findLocked(id);
    if (!node) return nullptr;
    node->update(params);
  }
  notify(NodeChange::Updated, id);
  return node;
}

bool CNodeMgr::remove(int32_t id) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = std::find_if(nodes_.begin(), nodes_.end(), [id](const auto& n) { return n->id == id; });
    if (it == nodes_.end()) return false;
    nodes_.erase(it);
    byId_.erase(id);
  }
  notify(NodeChange::Removed, id);
  return true;
}

CNodeInfo* CNodeMgr::find(int32_t id) const {
  std::lock_guard<std::mutex> guard(lock_);
  return findLocked(id);
}

CNodeInfo* CNodeMgr::findLocked(int32_t id) const {
  auto it = byId_.find(id);
  return it == byId_.end() ? nullptr : it->second;
}

NodeRef CNodeMgr::snapshot(int32_t id) const {
  std::lock_guard<std::mutex> guard(lock_);
  CNodeInfo* node = findLocked(id);
  return node ? node->snapshot() : nullptr;
}

NodeRef CNodeMgr::snapshotOf(const CNodeInfo* record) const {
  if (!record) return nullptr;
  std::lock_guard<std::mutex> guard(lock_);
  return record->snapshot();
}

NodeRef CNodeMgr::selectedSnapshot() const {
  std::lock_guard<std::mutex> guard(lock_);
  CNodeInfo* node = findLocked(selectedId_);
  return node ? node->snapshot() : nullptr;
}

std::size_t CNodeMgr::count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return nodes_.size();
}

std::vector<CNodeInfo*> CNodeMgr::nodes() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<CNodeInfo*> out;
  out.reserve(nodes_.size());
  for (const auto& n : nodes_) out.push_back(n.get());
  return out;
}

int32_t CNodeMgr::selectedId() const {
  std::lock_guard<std::mutex> guard(lock_);
  return selectedId_;
}

CNodeInfo* CNodeMgr::selectedNode() const {
  std::lock_guard<std::mutex> guard(lock_);
  return findLocked(selectedId_);
}

void CNodeMgr::select(const CNodeInfo* node) {
  if (node) select(node->id);
}

void CNodeMgr::select(int32_t id) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (id == -1 || !findLocked(id) || id == selectedId_) return;
    selectedId_ = id;
  }
  notify(NodeChange::Selected, id);
}

void CNodeMgr::selectFirst() {
  int32_t id;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (nodes_.empty()) return;
    id = nodes_.front()->id;
  }
  select(id);
}

void CNodeMgr::validateSelection() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (selectedId_ == -1 || findLocked(selectedId_)) return;
    selectedId_ = -1;
  }
  notify(NodeChange::Selected, -1);
}

void CNodeMgr::resetAllStatistics() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& n : nodes_) n->resetStatistics();
  }
  notify(NodeChange::StatisticsReset, -1);
}

int64_t CNodeMgr::totalTraffic() const {
  std::lock_guard<std::mutex> guard(lock_);
  int64_t total = 0;
  for (const auto& n : nodes_) total += static_cast<int64_t>(n->Upload_traffic.load() + n->Download_traffic.load());
  return total;
}

std::string CNodeMgr::totalTrafficText() const {
  int64_t total = totalTraffic();
  if (total < 0) total = 0;
  return sizeText(static_cast<int64_t>(static_cast<double>(total) * 1.5));
}

int32_t CNodeMgr::refresh(int32_t idToSelect, bool probe) {
  if (idToSelect == -1) {
    std::lock_guard<std::mutex> settingsGuard(settingsMutex());
    idToSelect = settings().LastUsedNodeId;
  }
  if (idToSelect == -1) idToSelect = 0;
  if (selectedId() == -1) selectFirst();
  std::lock_guard<std::mutex> guard(lock_);
  if (probe)
    for (auto& n : nodes_)
      if (!n->busy && (n->nCountryIndex == -1 || n->Latency.load() == 0)) startProbeLocked(n.get());
  return findLocked(idToSelect) ? idToSelect : selectedId_;
}

std::vector<NodeGroup> CNodeMgr::groupedNodes() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<NodeGroup> groups;
  std::unordered_map<std::string, std::size_t> index;
  for (const auto& n : nodes_) {
    const std::string& name = n->group.empty() ? std::string(kDefaultGroupName) : n->group;
    auto [it, fresh] = index.emplace(name, groups.size());
    if (fresh) groups.push_back({name, {}});
    groups[it->second].items.push_back(listItem(*n));
  }
  return groups;
}

CNodeMgr::ReplaceResult CNodeMgr::replaceGroups(const std::vector<std::string>& groups,
                                                const std::vector<NodeParams>& fresh) {
  std::unordered_set<std::string> doomed(groups.begin(), groups.end());
  return replaceWhere([&doomed](const CNodeInfo& n) { return doomed.count(n.group) != 0; }, fresh);
}

CNodeMgr::ReplaceResult CNodeMgr::replaceSubscription(const std::string& url,
                                                      const std::vector<std::string>& legacyGroups,
                                                      const std::vector<std::string>& sharedGroups,
                                                      std::vector<NodeParams> fresh) {
  std::unordered_set<std::string> legacy(legacyGroups.begin(), legacyGroups.end());
  std::unordered_set<std::string> shared(sharedGroups.begin(), sharedGroups.end());
  auto offered = [&fresh](const CNodeInfo& n) {
    return std::any_of(fresh.begin(), fresh.end(), [&n](const NodeParams& p) {
      return p.server_port == n.server_port && equalsIgnoringCase(trimBlanks(p.server), n.server);
    });
  };
  auto ours = [&](const CNodeInfo& n) {
    if (!n.subscription.empty()) return equalsIgnoringCase(n.subscription, url);
    // A node saved before nodes named their subscription: its group is all
    // there is to go by, and a group two subscriptions shared is not enough
    // to take a node the other one may have brought. Nodes added by hand
    // since are never taken.
    if (!n.legacyOrigin || !legacy.count(n.group)) return false;
    return !shared.count(n.group) || offered(n);
  };
  for (NodeParams& p : fresh) p.subscription = url;
  return replaceWhere(ours, fresh);
}

CNodeMgr::ReplaceResult CNodeMgr::replaceWhere(const std::function<bool(const CNodeInfo&)>& doomed,
                                               const std::vector<NodeParams>& fresh) {
  ReplaceResult result;
  {
    std::lock_guard<std::mutex> guard(lock_);
    CNodeInfo* selected = findLocked(selectedId_);
    CNodeInfo* kept = nullptr;
    std::size_t keptIndex = fresh.size();
    if (selected && doomed(*selected)) {
      for (std::size_t i = 0; i < fresh.size(); ++i) {
        if (fresh[i].server_port == selected->server_port &&
            equalsIgnoringCase(trimBlanks(fresh[i].server), selected->server)) {
          kept = selected;
          keptIndex = i;
          break;
        }
      }
    }
    std::vector<std::unique_ptr<CNodeInfo>> staying;
    staying.reserve(nodes_.size());
    for (auto& n : nodes_) {
      if (n.get() != kept && doomed(*n)) {
        byId_.erase(n->id);
        n.reset();
        ++result.removed;
      } else {
        staying.push_back(std::move(n));
      }
    }
    nodes_.swap(staying);
    for (std::size_t i = 0; i < fresh.size(); ++i) {
      if (i == keptIndex) {
        CNodeInfo offer(0, fresh[i]);
        normalise(offer);
        NodeParams params = offer.params();
        params.nCountryIndex = kept->nCountryIndex;  // same server, same country
        // The connected node keeps its counters unless the offer changed.
        if (!sameEditableFields(kept->params(), params)) kept->update(params);
        if (!params.subscription.empty()) kept->legacyOrigin = false;
        result.keptSelection = true;
        continue;
      }
      if (trimBlanks(fresh[i].server).empty() || fresh[i].server_port == 0) continue;
      if (!unstorableNodeReason(fresh[i]).empty()) continue;
      insertLocked(std::make_unique<CNodeInfo>(nextId_++, fresh[i]));
      ++result.added;
    }
    if (!kept && selected && !findLocked(selectedId_)) selectedId_ = -1;
  }
  notify(NodeChange::GroupReplaced, -1);
  return result;
}

void CNodeMgr::startProbeLocked(CNodeInfo* node) {
  if (stopping_) return;
  node->busy = 1;
  probeQueue_.push_back(node->id);
  if (probeThreads_.size() < kProbeThreads &&
      probeThreads_.size() < probeQueue_.size() + static_cast<std::size_t>(activeProbes_))
    probeThreads_.emplace_back([this] { probeWorker(); });
  probeReady_.notify_one();
}

void CNodeMgr::probeWorker() {
  std::unique_lock<std::mutex> held(lock_);
  for (;;) {
    probeReady_.wait(held, [this] { return stopping_ || !probeQueue_.empty(); });
    if (stopping_) return;
    int32_t id = probeQueue_.front();
    probeQueue_.pop_front();
    CNodeInfo* node = findLocked(id);
    if (!node) {
      // Removed while queued: not probed.
      if (probeQueue_.empty() && activeProbes_ == 0) probesIdle_.notify_all();
      continue;
    }
    ++activeProbes_;
    ProbeInput input{node->server, node->resolvedIp, node->Latency.load(), node->nCountryIndex, {}};
    input.port = node->server_port;
    held.unlock();
    {
      std::lock_guard<std::mutex> settingsGuard(settingsMutex());
      input.geoServices = settings().GeoServices;
    }
    ProbeOutput output = probeNode(input);
    held.lock();
    // The node may have been removed (and freed) meanwhile: found again by
    // its id, which is never reused. What was learned belongs to the server
    // it was learned for.
    node = findLocked(id);
    if (node && node->server == input.server) {
      if (output.latency > 0) node->Latency = output.latency;
      if (node->resolvedIp.empty() && !output.resolvedIp.empty()) node->resolvedIp = output.resolvedIp;
      if (output.countryFound && node->nCountryIndex == -1) {
        node->nCountryIndex = output.countryIndex;
        node->iplocation = output.location;
        node->ipregion = output.region;
      }
    }
    if (node) node->busy = 0;
    --activeProbes_;
    if (probeQueue_.empty() && activeProbes_ == 0) probesIdle_.notify_all();
    held.unlock();
    notify(NodeChange::Probed, id);
    held.lock();
  }
}

bool CNodeMgr::waitForProbes(int timeoutMs) {
  std::unique_lock<std::mutex> held(lock_);
  return probesIdle_.wait_for(held, std::chrono::milliseconds(timeoutMs),
                              [this] { return probeQueue_.empty() && activeProbes_ == 0; });
}

bool CNodeMgr::loadNodes(const std::string& path, std::string* error) {
  std::string text, why;
  if (!readConfigFile(path, text, why)) {
    if (error) *error = why;
    return false;
  }
  std::vector<std::string> problems;
  StoredNodes stored = parseNodeFile(text, &problems);
  // Left-out nodes stay in the copy of the file kept before the next save.
  for (const std::string& problem : problems) noteConfigFileDamage(path, problem);
  {
    std::lock_guard<std::mutex> guard(lock_);
    nodes_.clear();
    byId_.clear();
    nodes_.reserve(stored.nodes.size());
    for (StoredNode& s : stored.nodes) {
      auto node = std::make_unique<CNodeInfo>(s.id, s.params);
      node->iplocation = std::move(s.iplocation);
      node->ipregion = std::move(s.ipregion);
      node->lastTestResult = s.lastTestResult;
      node->legacyOrigin = s.legacyOrigin;
      insertLocked(std::move(node));
    }
    nextId_ = std::max(nextId_, stored.nextId);
    if (selectedId_ != -1 && !findLocked(selectedId_)) selectedId_ = -1;
  }
  notify(NodeChange::Loaded, -1);
  return true;
}

bool CNodeMgr::saveNodes(const std::string& path, std::string* error) const {
  StoredNodes stored;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stored.format = kNodeFileFormat;
    stored.nextId = nextId_;
    stored.nodes.reserve(nodes_.size());
    for (const auto& n : nodes_)
      stored.nodes.push_back({n->id, n->params(), n->iplocation, n->ipregion, n->lastTestResult, n->legacyOrigin});
  }
  std::string why;
  bool ok = writeConfigFile(path, nodeFileText(stored), 0600, why);
  if (!ok && error) *error = why;
  return ok;
}

bool CNodeMgr::loadNodes(std::string* error) { return loadNodes(paths::configFile(kNodeFileName), error); }

bool CNodeMgr::saveNodes(std::string* error) const { return saveNodes(paths::configFile(kNodeFileName), error); }

std::string unstorableNodeReason(const NodeParams& p) {
  if (p.type != kNodeShadowsocks || IsValidMethod(p.method)) return {};
  return p.method.empty() ? "Unsupported encryption: no method given" : "Unsupported encryption: " + p.method;
}

std::string unsupportedNodeReason(const NodeParams& p) {
  std::string reason = unstorableNodeReason(p);
  if (reason.empty()) reason = pluginRefusal(p);
  return reason;
}

std::string checkNodeDialog(NodeParams& p, bool socksDialog) {
  if (p.type < kNodeHttp || p.type > kNodeShadowsocks) return "Select a proxy type please.";
  if (socksDialog && p.type == kNodeHttp) return "HTTP protocol is not supported yet.";
  if (trimBlanks(p.server).empty()) return "Input server IP please.";
  if (p.server_port == 0) return "Port must be in 0-65535.";
  if (p.type == kNodeShadowsocks && p.password.empty()) return "Input SS server password please.";
  std::string route = trimBlanks(p.AdditionalRoute);
  if (!route.empty()) {
    bool looksLikeAddress =
        route.find(':') != std::string::npos || route.find_first_not_of("0123456789.") == std::string::npos;
    if (looksLikeAddress && (!isDottedIpv4(route) || route.rfind("0.", 0) == 0))
      return "An invalid IP was entered in the additional route form";
    std::string resolved = resolveIpv4(route);
    if (resolved.empty()) return "Unable to resolve the additional route domain name you entered";
    p.AdditionalRoute = resolved;
  }
  if (p.group.empty()) p.group = kDefaultGroupName;
  return {};
}

std::string localHostText(const std::string& hostName, const std::vector<std::string>& addresses) {
  IniDocument doc;
  bool inTen = false;
  std::string list;
  for (const std::string& a : addresses) {
    if (a.rfind("10.", 0) == 0) inTen = true;
    list += (list.empty() ? "" : ",") + a;
  }
  doc.setInt(kBasicSection, "dummyip", inTen ? 240 : 10);
  doc.setString(kBasicSection, "hostname", hostName);
  doc.setString(kBasicSection, "iplist", list);
  return doc.text();
}

bool CNodeMgr::writeLocalHostInfo(std::string* error) {
  std::string name = platform::hostName();
  std::vector<std::string> addresses = platform::hostIpv4Addresses();
  {
    std::lock_guard<std::mutex> guard(lock_);
    hostName_ = name;
    hostAddresses_ = addresses;
  }
  std::string why;
  bool ok = writeConfigFile(paths::configFile("localhost.ini"), localHostText(name, addresses), 0644, why);
  if (!ok && error) *error = why;
  return ok;
}

bool CNodeMgr::isLocalAddress(const std::string& address) const {
  std::lock_guard<std::mutex> guard(lock_);
  return vantor::isLocalAddress(address, hostName_, hostAddresses_);
}

int CNodeMgr::addObserver(NodeObserver observer) {
  std::lock_guard<std::mutex> guard(observerLock_);
  observers_.emplace_back(nextObserver_, std::move(observer));
  return nextObserver_++;
}

void CNodeMgr::removeObserver(int token) {
  std::lock_guard<std::mutex> guard(observerLock_);
  observers_.erase(
      std::remove_if(observers_.begin(), observers_.end(), [token](const auto& o) { return o.first == token; }),
      observers_.end());
}

void CNodeMgr::notify(NodeChange change, int32_t id) {
  std::vector<NodeObserver> copy;
  {
    std::lock_guard<std::mutex> guard(observerLock_);
    for (const auto& o : observers_) copy.push_back(o.second);
  }
  for (const auto& observer : copy) observer(change, id);
}

}  // namespace vantor
