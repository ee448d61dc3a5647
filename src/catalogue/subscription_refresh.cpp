#include "catalogue/subscription_refresh.h"

#include <mutex>
#include <set>

#include "catalogue/http_fetch.h"
#include "catalogue/node_mgr.h"
#include "catalogue/node_uri.h"
#include "catalogue/share_link.h"
#include "catalogue/subscription_formats.h"

namespace vantor {
namespace {

constexpr long kFetchTimeoutSeconds = 30;
constexpr int64_t kDaySeconds = 24 * 60 * 60;

std::mutex& relayLock() {
  static std::mutex lock;
  return lock;
}

LocalRelayFactory& relayFactory() {
  static LocalRelayFactory factory;
  return factory;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string proxyUrl(const char* scheme, const std::string& host, uint16_t port) {
  return std::string(scheme) + host + ":" + std::to_string(port);
}

}  // namespace

bool parseSubscriptionBody(std::string_view body, std::vector<NodeParams>& nodes, std::string& error,
                           std::vector<RefusedLine>* refused) {
  nodes.clear();
  std::vector<RefusedLine> ignored;
  switch (detectSubscriptionFormat(body)) {
    case SubscriptionFormat::kServerJson:
      return parseServerJson(body, nodes, error, refused ? *refused : ignored);
    case SubscriptionFormat::kClashYaml:
      return parseClashYaml(body, nodes, error, refused ? *refused : ignored);
    case SubscriptionFormat::kLinks:
      break;
  }
  std::string text;
  if (body.find("://") != std::string_view::npos) {
    text = std::string(body);
  } else {
    // Providers wrap long base64 at 76 characters; the decoder stops at the
    // first character outside the alphabet, so the breaks go first.
    std::string compact;
    compact.reserve(body.size());
    for (char c : body)
      if (!isSpace(c)) compact.push_back(c);
    text = decodeBase64Url(compact);
  }
  int number = 0;
  for (std::string& line : splitText(text, "\n", true)) {
    ++number;
    std::string link = trimBlanks(line);
    if (link.empty()) continue;
    std::string reason;
    if (auto node = parseNodeLink(link, reason))
      nodes.push_back(std::move(*node));
    else if (refused)
      refused->push_back({number, reason});
  }
  if (nodes.empty()) {
    error = body.find_first_not_of(" \t\r\n") == std::string_view::npos ? "the subscription is empty"
                                                                        : "no ss:// or ssr:// links in the answer";
    // Links that were there but refused say more than "none found".
    if (refused)
      for (const RefusedLine& r : *refused)
        if (r.reason != "not a link") {
          error = "no usable link in the answer (line " + std::to_string(r.line) + ": " + r.reason + ")";
          break;
        }
    return false;
  }
  return true;
}

void setLocalRelayFactory(LocalRelayFactory factory) {
  std::lock_guard<std::mutex> guard(relayLock());
  relayFactory() = std::move(factory);
}

bool fetchSubscription(const SSRSubscription& sub, std::string& body, std::string& error) {
  HttpRequest request;
  request.url = sub.url;
  request.timeoutSeconds = kFetchTimeoutSeconds;
  request.maxBytes = kMaxSubscriptionBody;
  std::unique_ptr<LocalRelay> relay;
  if (sub.hasFetchProxy()) {
    switch (sub.p_type) {
      case kNodeSocks4:
        request.proxy = proxyUrl("socks4a://", sub.p_server, sub.p_server_port);
        break;
      case kNodeSocks5:
        request.proxy = proxyUrl("socks5h://", sub.p_server, sub.p_server_port);
        request.proxyUser = sub.p_username;
        request.proxyPassword = sub.p_password;
        break;
      case kNodeHttp:
        request.proxy = proxyUrl("http://", sub.p_server, sub.p_server_port);
        break;
      case kNodeShadowsocks: {
        LocalRelayFactory factory;
        {
          std::lock_guard<std::mutex> guard(relayLock());
          factory = relayFactory();
        }
        relay = factory ? factory() : nullptr;
        uint16_t port = 0;
        if (!relay) {
          error = "no local service to fetch through a Shadowsocks node";
          return false;
        }
        if (!relay->start(sub.fetchProxyNode(), port, error)) return false;
        request.proxy = proxyUrl("socks5h://", "127.0.0.1", port);
        break;
      }
      default:
        error = "the fetch proxy has an unknown kind " + std::to_string(sub.p_type);
        return false;
    }
  }
  HttpResponse response;
  if (!httpGet(request, response)) {
    error = response.tooLarge ? "the answer is larger than " + std::to_string(kMaxSubscriptionBody >> 20) + " MiB"
                              : response.error;
    return false;
  }
  if (response.status != 200) {
    error = "the server answered with status " + std::to_string(response.status);
    return false;
  }
  body = std::move(response.body);
  return true;
}

RefreshOutcome refreshSubscription(CSubscriptionMgr& list, CNodeMgr& store, const std::string& url, int64_t now) {
  RefreshOutcome outcome;
  outcome.url = url;
  SSRSubscription sub;
  if (!list.get(url, sub)) {
    outcome.message = "no such subscription: " + url;
    return outcome;
  }
  std::string body;
  std::vector<NodeParams> fresh;
  if (!fetchSubscription(sub, body, outcome.message) ||
      !parseSubscriptionBody(body, fresh, outcome.message, &outcome.refused))
    return outcome;

  // The group the links name, else the one the subscription had, else its host.
  std::string group;
  for (const NodeParams& p : fresh)
    if (!p.group.empty()) {
      group = p.group;
      break;
    }
  if (group.empty()) group = sub.groupname;
  if (group.empty()) group = urlHost(sub.url);
  if (group.empty()) group = sub.url;

  std::set<std::string> groups;
  if (!sub.groupname.empty()) groups.insert(sub.groupname);
  for (NodeParams& p : fresh) {
    if (p.group.empty()) p.group = group;
    if (p.obfsparam.empty()) p.obfsparam = sub.default_params_of_obfs;
    groups.insert(p.group);
  }
  // Groups are only a guess for nodes saved before nodes named their
  // subscription; two subscriptions on one host both default to its name.
  std::set<std::string> shared;
  for (const SSRSubscription& other : list.list())
    if (!equalsIgnoringCase(other.url, sub.url) && !other.groupname.empty()) shared.insert(other.groupname);
  auto replaced = store.replaceSubscription(sub.url, std::vector<std::string>(groups.begin(), groups.end()),
                                            std::vector<std::string>(shared.begin(), shared.end()), fresh);
  outcome.added = replaced.added;
  outcome.removed = replaced.removed;
  std::string saveError;
  if (!list.markRefreshed(sub.url, group, now, &saveError)) {
    outcome.message = "nodes replaced, but the subscription list was not saved: " + saveError;
    return outcome;
  }
  outcome.ok = true;
  outcome.message = std::to_string(fresh.size()) + " nodes in group " + group;
  return outcome;
}

bool subscriptionDue(const SSRSubscription& sub, int64_t now) {
  if (sub.frequency == 0 || sub.recently_updated == 0) return true;
  int64_t days = (sub.frequency == 2 || sub.frequency == 3) ? sub.frequency : 1;
  return now - sub.recently_updated >= days * kDaySeconds;
}

std::vector<RefreshOutcome> refreshDueSubscriptions(CSubscriptionMgr& list, CNodeMgr& store, int64_t now) {
  std::vector<RefreshOutcome> outcomes;
  for (const SSRSubscription& sub : list.list())
    if (subscriptionDue(sub, now)) outcomes.push_back(refreshSubscription(list, store, sub.url, now));
  return outcomes;
}

}  // namespace vantor
