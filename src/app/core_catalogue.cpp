#include "app/core_catalogue.h"

#include "catalogue/http_fetch.h"
#include "catalogue/ini_file.h"

namespace vantor::app {
namespace {

void appendWarnings(std::vector<std::string>& warnings) {
  for (std::string& warning : takeConfigFileWarnings()) warnings.push_back(std::move(warning));
}

}  // namespace

CNodeMgr& CCatalogue::nodes() { return CNodeMgr::instance(); }
CSubscriptionMgr& CCatalogue::subscriptions() { return CSubscriptionMgr::instance(); }
CEventMgr& CCatalogue::events() { return CEventMgr::instance(); }
CProxyModeMgr& CCatalogue::modes() { return CProxyModeMgr::instance(); }
CAdditionalRouteMgr& CCatalogue::routes() { return CAdditionalRouteMgr::instance(); }

bool CCatalogue::openNodeStore(std::string& error, std::vector<std::string>& warnings) {
  // What a save killed half-way left behind.
  removeStaleConfigTempFiles(paths::configDir());
  std::string why;
  bool settingsRead = loadSettings(&why);
  appendWarnings(warnings);
  if (!settingsRead) {
    error = "cannot read the settings: " + why;
    return false;
  }
  CNodeMgr& store = nodes();
  bool nodesRead = store.loadNodes(&why);
  appendWarnings(warnings);
  if (!nodesRead) {
    error = "cannot read the nodes: " + why;
    return false;
  }
  int32_t lastUsed;
  {
    std::lock_guard<std::mutex> guard(settingsMutex());
    lastUsed = settings().LastUsedNodeId;
  }
  store.select(lastUsed);
  // Nothing reads the file back; a failure to write it is not worth stopping for.
  store.writeLocalHostInfo();
  return true;
}

bool CCatalogue::openCatalogue(std::string& error, std::vector<std::string>& warnings) {
  if (!openNodeStore(error, warnings)) return false;
  std::string why;
  bool read = subscriptions().loadSubscriptions(&why);
  appendWarnings(warnings);
  if (!read) {
    error = "cannot read the subscriptions: " + why;
    return false;
  }
  return true;
}

bool CCatalogue::saveNodes(std::string& error, std::vector<std::string>& warnings) {
  std::string why;
  bool saved = nodes().saveNodes(&why);
  appendWarnings(warnings);  // where a damaged file was kept
  if (!saved) error = "cannot save the nodes: " + why;
  return saved;
}

bool CCatalogue::saveSelection(std::string& error, std::vector<std::string>& warnings) {
  std::string why;
  bool saved;
  int32_t selected = nodes().selectedId();
  {
    std::lock_guard<std::mutex> guard(settingsMutex());
    settings().LastUsedNodeId = selected;
  }
  saved = vantor::saveSettings(&why);
  appendWarnings(warnings);
  if (!saved) error = "cannot save the settings: " + why;
  return saved;
}

RefreshOutcome CCatalogue::refreshSubscription(const std::string& url, int64_t now) {
  return vantor::refreshSubscription(subscriptions(), nodes(), url, now);
}

std::vector<RefreshOutcome> CCatalogue::refreshDueSubscriptions(int64_t now) {
  return vantor::refreshDueSubscriptions(subscriptions(), nodes(), now);
}

bool CCatalogue::isHttpUrl(const std::string& url) { return vantor::isHttpUrl(url); }

std::vector<std::string> CCatalogue::takeWarnings() { return takeConfigFileWarnings(); }

int CCatalogue::loadModes(bool rescan) {
  return modes().scanRules({paths::shippedRulesDir(), paths::userRulesDir()}, rescan);
}

std::optional<NodeParams> CCatalogue::parseNode(const std::string& text, std::string& error) {
  auto params = parseNodeUri(text, error);
  if (!params) return std::nullopt;
  error = unsupportedNodeReason(*params);
  if (!error.empty()) return std::nullopt;
  return params;
}

std::string CCatalogue::nodeLink(int32_t id) {
  CNodeInfo* node = nodes().find(id);
  return node ? shareLink(node->params()) : std::string();
}

Settings CSettingsStore::get() const {
  std::lock_guard<std::mutex> guard(settingsMutex());
  return settings();
}

std::vector<std::string> CSettingsStore::applyDialog(const SettingsDialogInput& input) {
  std::vector<std::string> failures;
  std::string error;
  {
    std::lock_guard<std::mutex> guard(settingsMutex());
    applySettingsDialog(input, settings());
    if (!updateRunAtStartup(settings(), error)) failures.push_back(error);
  }
  // saveSettings takes the lock itself, for the copy it writes.
  if (!saveSettings(&error)) failures.push_back(error);
  return failures;
}

std::string CSettingsStore::cancelRefusal() const {
  std::lock_guard<std::mutex> guard(settingsMutex());
  return checkSettingsDialogCancel(settings());
}

std::string CSettingsStore::valueText(const SettingKey& key) const {
  std::lock_guard<std::mutex> guard(settingsMutex());
  return settingValueText(settings(), key);
}

std::vector<std::pair<std::string, std::string>> CSettingsStore::listShown() const {
  std::vector<std::pair<std::string, std::string>> out;
  std::lock_guard<std::mutex> guard(settingsMutex());
  for (const SettingKey& key : settingKeys()) {
    std::string value = settingValueText(settings(), key);
    if (key.type == SettingType::Secret) value = value.empty() ? "" : "(set)";
    out.emplace_back(key.name, value);
  }
  return out;
}

std::string CSettingsStore::setFromText(const SettingKey& key, const std::string& value, bool& refused) {
  refused = false;
  std::string error;
  {
    std::lock_guard<std::mutex> guard(settingsMutex());
    std::string refusal = setSettingFromText(settings(), key, value);
    if (!refusal.empty()) {
      refused = true;
      return refusal;
    }
    if (std::string(key.name) == "startup" && !updateRunAtStartup(settings(), error))
      return "cannot update the start-up entry: " + error;
  }
  if (!saveSettings(&error)) return "cannot save the settings: " + error;
  return {};
}

// loadSettings and saveSettings take the lock themselves.
bool CSettingsStore::load(std::string& error) { return loadSettings(&error); }

bool CSettingsStore::save(std::string& error) { return saveSettings(&error); }

}  // namespace vantor::app
