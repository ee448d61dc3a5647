// ShadowsocksR subscriptions: addresses from which share links are fetched,
// how often, default obfs parameters for their nodes and an optional proxy to
// fetch them through. Kept in config/ssrsubscriptions.ini.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/node_info.h"

namespace vantor {

struct SSRSubscription {
  std::string groupname;
  std::string url;
  int64_t recently_updated = 0;  // seconds since the epoch; 0 = never
  int32_t frequency = 1;         // 0 every start, 1/2/3 days
  std::string default_params_of_obfs;
  // The fetch proxy, a subset of a node.
  int32_t p_type = kNodeSocks5;
  std::string p_server;
  uint16_t p_server_port = 0;
  std::string p_username;
  std::string p_password;
  std::string p_method;
  std::string p_protocol;
  std::string p_obfs;
  std::string p_obfsparam;
  std::string p_protocolparam;

  bool hasFetchProxy() const { return !p_server.empty() && p_server_port != 0; }
  // Copies the proxy fields of `node`, or clears them when it is null.
  void setFetchProxy(const CNodeInfo* node);
  // The fetch proxy as a node (for starting a local relay through it).
  NodeParams fetchProxyNode() const;
};

// "Every time", "1 day", "2 days", "3 days"; other codes read as "1 day".
const char* frequencyText(int32_t frequency);

inline constexpr const char* kSubscriptionFileName = "ssrsubscriptions.ini";

// The file's rules on texts: entries counted from 1 until the first one that
// lacks "groupname", "url" or "recently_updated"; entries without a URL or
// with a URL already listed (ignoring case) are skipped.
std::vector<SSRSubscription> parseSubscriptionFile(std::string_view text);
std::string subscriptionFileText(const std::vector<SSRSubscription>& list);

class CSubscriptionMgr {
 public:
  CSubscriptionMgr() = default;
  static CSubscriptionMgr& instance();

  // The file in the configuration folder, or the given one. A missing file
  // is an empty list.
  bool loadSubscriptions(std::string* error = nullptr);
  bool loadSubscriptions(const std::string& path, std::string* error);
  // Writes the list through a temporary file; an empty list removes the file.
  bool saveSubscriptions(std::string* error = nullptr) const;

  // Each change is saved at once; false with `error` when the URL is taken
  // (add), unknown (edit, delete) or the file could not be written.
  bool addSubscription(const std::string& url, int32_t frequency, const std::string& defaultObfsParams,
                       const CNodeInfo* proxy, std::string* error = nullptr);
  bool editSubscription(const std::string& url, int32_t frequency, const std::string& defaultObfsParams,
                        const CNodeInfo* proxy, std::string* error = nullptr);
  bool deleteSubscription(const std::string& url, std::string* error = nullptr);
  bool findSubscription(const std::string& url) const;
  // A copy of one entry; false when the URL is not listed.
  bool get(const std::string& url, SSRSubscription& out) const;
  // Records a completed refresh and saves.
  bool markRefreshed(const std::string& url, const std::string& groupname, int64_t when, std::string* error = nullptr);
  std::vector<SSRSubscription> list() const;

 private:
  bool saveLocked(std::string* error) const;
  std::vector<SSRSubscription>::iterator findLocked(const std::string& url);

  mutable std::mutex lock_;
  std::vector<SSRSubscription> list_;
  std::string path_;
};

}  // namespace vantor
