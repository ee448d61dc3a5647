#include "cli/catalogue_session.h"

#include <climits>
#include <iostream>

#include "catalogue/app_paths.h"
#include "catalogue/ini_file.h"
#include "catalogue/node_mgr.h"
#include "catalogue/settings.h"
#include "catalogue/subscriptions.h"

namespace vantor::cli {

void printConfigWarnings() {
  for (const std::string& warning : takeConfigFileWarnings()) std::cerr << "vantor: warning: " << warning << "\n";
}

bool openNodeStore() {
  // What a save killed half-way left behind.
  removeStaleConfigTempFiles(paths::configDir());
  std::string error;
  bool settingsRead = loadSettings(&error);
  printConfigWarnings();
  if (!settingsRead) {
    std::cerr << "vantor: cannot read the settings: " << error << "\n";
    return false;
  }
  CNodeMgr& store = CNodeMgr::instance();
  bool nodesRead = store.loadNodes(&error);
  printConfigWarnings();
  if (!nodesRead) {
    std::cerr << "vantor: cannot read the nodes: " << error << "\n";
    return false;
  }
  store.select(settings().LastUsedNodeId);
  // Nothing reads the file back; a failure to write it is not worth stopping for.
  store.writeLocalHostInfo();
  return true;
}

bool openCatalogue() {
  if (!openNodeStore()) return false;
  std::string error;
  bool read = CSubscriptionMgr::instance().loadSubscriptions(&error);
  printConfigWarnings();
  if (!read) {
    std::cerr << "vantor: cannot read the subscriptions: " << error << "\n";
    return false;
  }
  return true;
}

bool saveNodeStore() {
  std::string error;
  bool saved = CNodeMgr::instance().saveNodes(&error);
  printConfigWarnings();  // where a damaged file was kept
  if (saved) return true;
  std::cerr << "vantor: cannot save the nodes: " << error << "\n";
  return false;
}

bool saveSelection() {
  settings().LastUsedNodeId = CNodeMgr::instance().selectedId();
  std::string error;
  bool saved = saveSettings(&error);
  printConfigWarnings();
  if (saved) return true;
  std::cerr << "vantor: cannot save the settings: " << error << "\n";
  return false;
}

bool parseNumber(const std::string& text, int& value) {
  if (text.empty() || text.size() > 10) return false;
  long long v = 0;
  std::size_t i = text[0] == '-' ? 1 : 0;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  if (text[0] == '-') v = -v;
  if (v < INT_MIN || v > INT_MAX) return false;
  value = static_cast<int>(v);
  return true;
}

}  // namespace vantor::cli
