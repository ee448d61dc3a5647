// The catalogue as the front ends see it: the node store, the subscription
// list, the event actions, the proxy modes and the additional routes, with
// the load and save steps every front end shares.
//
// Threading: the stores lock themselves; the methods here may be called from
// any thread, but the front ends call them from their one thread (the GUI
// thread, the command's main thread).
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/types.h"
#include "catalogue/subscription_refresh.h"

namespace vantor::app {

class CCatalogue {
 public:
  CNodeMgr& nodes();
  CSubscriptionMgr& subscriptions();
  CEventMgr& events();
  CProxyModeMgr& modes();
  CAdditionalRouteMgr& routes();

  // Removes what killed saves left in the configuration folder, loads the
  // settings and the node file, selects the last used node and records the
  // host's addresses (config/localhost.ini). `warnings` gets what was found
  // damaged; false (with `error`) when a file exists but cannot be read.
  bool openNodeStore(std::string& error, std::vector<std::string>& warnings);
  // openNodeStore() plus the subscription list.
  bool openCatalogue(std::string& error, std::vector<std::string>& warnings);
  // Saves the node file.
  bool saveNodes(std::string& error, std::vector<std::string>& warnings);
  // Keeps the store's selection as LastUsedNodeId and saves the settings.
  bool saveSelection(std::string& error, std::vector<std::string>& warnings);

  // Fetches subscription `url` (through its proxy node when it has one)
  // and replaces its nodes.
  RefreshOutcome refreshSubscription(const std::string& url, int64_t now);
  // Every subscription whose frequency says it is due.
  std::vector<RefreshOutcome> refreshDueSubscriptions(int64_t now);
  // Whether `url` is an http:// or https:// address.
  static bool isHttpUrl(const std::string& url);

  // What was found damaged in the configuration files since the last call.
  std::vector<std::string> takeWarnings();

  // The rule files of both folders (shipped and the user's) as modes; with
  // `rescan` the files are read again.
  int loadModes(bool rescan);

  // A node link (share link or socks URI) that this program can connect
  // through; null with `error` for bad or unsupported input.
  static std::optional<NodeParams> parseNode(const std::string& text, std::string& error);
  // The share link of stored node `id` (what `vantor nodes link` prints);
  // empty for an unknown id or a kind no link describes (HTTP).
  std::string nodeLink(int32_t id);
};

// The settings of config.ini behind one lock.
class CSettingsStore {
 public:
  // A copy taken under the lock.
  Settings get() const;
  // Runs `change` on the live settings under the lock.
  template <typename Fn>
  auto change(Fn&& fn) {
    std::lock_guard<std::mutex> guard(settingsMutex());
    return fn(settings());
  }
  bool load(std::string& error);
  bool save(std::string& error);

  // The settings dialog's OK: applies `input` (checked by the caller with
  // checkSettingsDialog), updates the start-up entry and saves; the texts of
  // what failed (the settings are applied either way).
  std::vector<std::string> applyDialog(const SettingsDialogInput& input);
  // Why the settings dialog may not be cancelled now; "" when it may.
  std::string cancelRefusal() const;

  // `vantor settings`: one key's value as text.
  std::string valueText(const SettingKey& key) const;
  // Every key with its value; secrets only say whether they are set.
  std::vector<std::pair<std::string, std::string>> listShown() const;
  // Sets one key from text with the settings dialog's checks, updates the
  // start-up entry when the key is "startup", and saves. "" on success,
  // else why not; `refused` tells a refused value (bad input) apart from a
  // failure to apply or save.
  std::string setFromText(const SettingKey& key, const std::string& value, bool& refused);
};

}  // namespace vantor::app
