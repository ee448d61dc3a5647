#include "catalogue/subscriptions.h"

#include <algorithm>

#include "catalogue/app_paths.h"
#include "catalogue/ini_file.h"
#include "catalogue/share_link.h"

namespace vantor {
namespace {

// Stands for a missing key: no real entry holds this text.
constexpr const char* kMissing = "{63788286-AE30-4D6B-95DF-3B451C1C79F9}";

std::string numbered(const char* name, std::size_t n) { return name + std::to_string(n); }

// A time in seconds as "%u" wrote it, widened to 64 bits; empty gives 0.
int64_t readSeconds(const std::string& text) {
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > (uint64_t{1} << 40)) break;  // far beyond any real date
  }
  return static_cast<int64_t>(value);
}

}  // namespace

void SSRSubscription::setFetchProxy(const CNodeInfo* node) {
  p_type = node ? node->type : kNodeSocks5;
  p_server = node ? node->server : "";
  p_server_port = node ? node->server_port : 0;
  p_username = node ? node->username : "";
  p_password = node ? node->password : "";
  p_method = node ? node->method : "";
  p_protocol = node ? node->protocol : "";
  p_obfs = node ? node->obfs : "";
  p_obfsparam = node ? node->obfsparam : "";
  p_protocolparam = node ? node->protocolparam : "";
}

NodeParams SSRSubscription::fetchProxyNode() const {
  NodeParams p;
  p.type = p_type;
  p.server = p_server;
  p.server_port = p_server_port;
  p.username = p_username;
  p.password = p_password;
  p.method = p_method;
  p.protocol = p_protocol;
  p.obfs = p_obfs;
  p.obfsparam = p_obfsparam;
  p.protocolparam = p_protocolparam;
  return p;
}

const char* frequencyText(int32_t frequency) {
  switch (frequency) {
    case 0:
      return "Every time";
    case 2:
      return "2 days";
    case 3:
      return "3 days";
    default:
      return "1 day";
  }
}

std::vector<SSRSubscription> parseSubscriptionFile(std::string_view text) {
  std::vector<SSRSubscription> list;
  IniDocument doc;
  if (!doc.parse(text)) return list;
  const char* s = kBasicSection;
  for (std::size_t n = 1;; ++n) {
    auto read = [&](const char* name, const char* fallback = "") {
      return doc.readString(s, numbered(name, n).c_str(), fallback);
    };
    std::string groupname = read("groupname", kMissing);
    std::string url = read("url", kMissing);
    std::string updated = read("recently_updated", kMissing);
    if (groupname == kMissing || url == kMissing || updated == kMissing) break;
    if (url.empty() ||
        std::any_of(list.begin(), list.end(), [&](const auto& e) { return equalsIgnoringCase(e.url, url); }))
      continue;
    SSRSubscription entry;
    entry.groupname = groupname;
    entry.url = url;
    entry.recently_updated = readSeconds(updated);
    entry.frequency = doc.readInt(s, numbered("frequency", n).c_str(), 0);
    entry.default_params_of_obfs = read("default_params_of_obfs");
    std::string server = read("p_server");
    int32_t port = doc.readInt(s, numbered("p_server_port", n).c_str(), 0);
    if (!server.empty() && port > 0 && port <= 65535) {
      entry.p_type = doc.readInt(s, numbered("p_type", n).c_str(), kNodeSocks5);
      entry.p_server = server;
      entry.p_server_port = static_cast<uint16_t>(port);
      entry.p_username = read("p_username");
      entry.p_password = decodeBase64(read("p_password"));
      entry.p_protocol = read("p_protocol");
      entry.p_protocolparam = decodeBase64(read("p_protocolparam"));
      entry.p_obfs = read("p_obfs");
      entry.p_obfsparam = decodeBase64(read("p_obfsparam"));
      entry.p_method = read("p_method");
    }
    list.push_back(std::move(entry));
  }
  return list;
}

std::string subscriptionFileText(const std::vector<SSRSubscription>& list) {
  IniDocument doc;
  const char* s = kBasicSection;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const SSRSubscription& e = list[i];
    std::size_t n = i + 1;
    auto text = [&](const char* name, const std::string& value) { doc.setString(s, numbered(name, n).c_str(), value); };
    text("groupname", e.groupname);
    text("url", e.url);
    text("recently_updated", std::to_string(e.recently_updated < 0 ? 0 : e.recently_updated));
    doc.setInt(s, numbered("frequency", n).c_str(), e.frequency);
    text("default_params_of_obfs", e.default_params_of_obfs);
    doc.setInt(s, numbered("p_type", n).c_str(), e.p_type);
    text("p_server", e.p_server);
    doc.setInt(s, numbered("p_server_port", n).c_str(), e.p_server_port);
    text("p_username", e.p_username);
    text("p_password", encodeBase64(e.p_password));
    text("p_protocol", e.p_protocol);
    text("p_protocolparam", encodeBase64(e.p_protocolparam));
    text("p_obfs", e.p_obfs);
    text("p_obfsparam", encodeBase64(e.p_obfsparam));
    text("p_method", e.p_method);
  }
  return doc.text();
}

CSubscriptionMgr& CSubscriptionMgr::instance() {
  static CSubscriptionMgr* list = new CSubscriptionMgr();
  return *list;
}

bool CSubscriptionMgr::loadSubscriptions(std::string* error) {
  return loadSubscriptions(paths::configFile(kSubscriptionFileName), error);
}

bool CSubscriptionMgr::loadSubscriptions(const std::string& path, std::string* error) {
  std::string text;
  std::string why;
  bool ok = readConfigFile(path, text, why);
  std::lock_guard<std::mutex> guard(lock_);
  path_ = path;
  list_ = ok ? parseSubscriptionFile(text) : std::vector<SSRSubscription>();
  if (!ok && error) *error = why;
  return ok;
}

bool CSubscriptionMgr::saveSubscriptions(std::string* error) const {
  std::lock_guard<std::mutex> guard(lock_);
  return saveLocked(error);
}

bool CSubscriptionMgr::saveLocked(std::string* error) const {
  std::string path = path_.empty() ? paths::configFile(kSubscriptionFileName) : path_;
  std::string why;
  // Fetch-proxy passwords are in the file (encoded, not encrypted): mode 0600.
  bool ok = writeConfigFile(path, list_.empty() ? std::string() : subscriptionFileText(list_), 0600, why);
  if (!ok && error) *error = why;
  return ok;
}

std::vector<SSRSubscription>::iterator CSubscriptionMgr::findLocked(const std::string& url) {
  return std::find_if(list_.begin(), list_.end(), [&](const auto& e) { return equalsIgnoringCase(e.url, url); });
}

bool CSubscriptionMgr::addSubscription(const std::string& url, int32_t frequency, const std::string& defaultObfsParams,
                                       const CNodeInfo* proxy, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (url.empty() || findLocked(url) != list_.end()) {
    if (error) *error = url.empty() ? "empty subscription address" : "already subscribed: " + url;
    return false;
  }
  SSRSubscription entry;
  entry.url = url;
  entry.frequency = frequency;
  entry.default_params_of_obfs = defaultObfsParams;
  if (proxy) entry.setFetchProxy(proxy);
  list_.push_back(std::move(entry));
  return saveLocked(error);
}

bool CSubscriptionMgr::editSubscription(const std::string& url, int32_t frequency, const std::string& defaultObfsParams,
                                        const CNodeInfo* proxy, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = url.empty() ? list_.end() : findLocked(url);
  if (it == list_.end()) {
    if (error) *error = "no such subscription: " + url;
    return false;
  }
  it->frequency = frequency;
  it->default_params_of_obfs = defaultObfsParams;
  it->setFetchProxy(proxy);
  return saveLocked(error);
}

bool CSubscriptionMgr::deleteSubscription(const std::string& url, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = findLocked(url);
  if (it == list_.end()) {
    if (error) *error = "no such subscription: " + url;
    return false;
  }
  list_.erase(it);
  return saveLocked(error);
}

bool CSubscriptionMgr::findSubscription(const std::string& url) const {
  SSRSubscription ignored;
  return get(url, ignored);
}

bool CSubscriptionMgr::get(const std::string& url, SSRSubscription& out) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = std::find_if(list_.begin(), list_.end(), [&](const auto& e) { return equalsIgnoringCase(e.url, url); });
  if (it == list_.end()) return false;
  out = *it;
  return true;
}

bool CSubscriptionMgr::markRefreshed(const std::string& url, const std::string& groupname, int64_t when,
                                     std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = findLocked(url);
  if (it == list_.end()) {
    if (error) *error = "no such subscription: " + url;
    return false;
  }
  it->groupname = groupname;
  it->recently_updated = when;
  return saveLocked(error);
}

std::vector<SSRSubscription> CSubscriptionMgr::list() const {
  std::lock_guard<std::mutex> guard(lock_);
  return list_;
}

}  // namespace vantor
