// Refreshing a subscription: fetch its address (through its fetch proxy when
// it has one), read the share links in the answer and let them replace the
// nodes of the subscription's group.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/node_info.h"
#include "catalogue/subscriptions.h"

namespace vantor {

class CNodeMgr;

// Answers larger than this are refused: a real subscription is far smaller.
inline constexpr std::size_t kMaxSubscriptionBody = 16u << 20;

// One line of a subscription answer that gave no node.
struct RefusedLine {
  int line = 0;  // of the answer's (decoded) text, counted from 1
  std::string reason;
};

// The nodes of a subscription answer, whose format is told by its content:
// base64 (standard or URL-safe, line breaks allowed) of newline-separated
// ss:// and ssr:// links (socks URIs too), or such link lines as they are; a
// JSON server list; a Clash configuration's "proxies:" (see
// subscription_formats.h). Lines and entries that give no node are left out
// and, with `refused`, listed with the line and the reason. False with
// `error` when no node is found.
bool parseSubscriptionBody(std::string_view body, std::vector<NodeParams>& nodes, std::string& error,
                           std::vector<RefusedLine>* refused = nullptr);

// A local SOCKS 5 endpoint that relays through a Shadowsocks or ShadowsocksR
// node, for fetching through such a node. The local proxy service provides
// it; the front end that links the service installs the factory.
class LocalRelay {
 public:
  virtual ~LocalRelay() = default;
  // Starts relaying through `node`; `port` is the loopback port to use.
  virtual bool start(const NodeParams& node, uint16_t& port, std::string& error) = 0;
};
using LocalRelayFactory = std::function<std::unique_ptr<LocalRelay>()>;
void setLocalRelayFactory(LocalRelayFactory factory);

struct RefreshOutcome {
  std::string url;
  bool ok = false;
  std::string message;  // what went wrong, or what was done
  int added = 0;
  int removed = 0;
  std::vector<RefusedLine> refused;  // lines of the answer that gave no node
};

// Fetches the body of a subscription (nothing else is touched).
bool fetchSubscription(const SSRSubscription& subscription, std::string& body, std::string& error);

// Refreshes one subscription at time `now`: on success the nodes that came
// from it are replaced, whatever their group (the selected node stays when it
// is still offered) and the
// subscription's groupname and recently_updated are set and saved. A failed
// or empty fetch changes nothing. The caller saves the node store.
RefreshOutcome refreshSubscription(CSubscriptionMgr& list, CNodeMgr& store, const std::string& url, int64_t now);

// Whether a subscription is due at `now`: frequency 0 at every start, 1 to 3
// after that many days since the last refresh, never refreshed always.
bool subscriptionDue(const SSRSubscription& subscription, int64_t now);
// Refreshes every due subscription (at start-up).
std::vector<RefreshOutcome> refreshDueSubscriptions(CSubscriptionMgr& list, CNodeMgr& store, int64_t now);

}  // namespace vantor
