// The desktop's web proxy settings, pointed at the local HTTP proxy while a
// browser-only mode is connected and given back afterwards.
//
//   GNOME (and desktops on its settings): gsettings org.gnome.system.proxy
//   KDE: the [Proxy Settings] group of kioslaverc
//   neither: nothing is changed; the report says what to set in the
//   user's environment
//
// The previous values are written to a state file before anything is
// changed, so that a disconnect, an exit or the next start after a crash
// puts back exactly what was there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantor::app {

struct SystemProxyTarget {
  std::string host = "127.0.0.1";
  uint16_t port = 0;
  bool useScript = false;  // point the desktop at `scriptUrl` instead
  std::string scriptUrl;
};

class CSystemProxy {
 public:
  explicit CSystemProxy(std::string statePath) : statePath_(std::move(statePath)) {}

  // Applies `target`; `report` gets one line per desktop changed (or the
  // environment advice). False only when a change was started and failed;
  // what was changed is then given back at once.
  bool change(const SystemProxyTarget& target, std::vector<std::string>& report);
  // Puts back what the state file holds and removes it; true when there was
  // nothing to restore or everything was restored.
  bool restore(std::vector<std::string>& report);
  // Whether a state file from a change not yet restored exists.
  bool pendingRestore() const;

 private:
  std::string statePath_;
};

// The settings keys changed on GNOME, as schema and key.
struct GSettingsKey {
  const char* schema;
  const char* key;
};
extern const GSettingsKey kGnomeProxyKeys[];
extern const std::size_t kGnomeProxyKeyCount;

// The controller's calls, named as the proxy library it replaces named them:
// point the desktop at the local HTTP proxy (`flag` 1: with the automatic
// configuration script), and give the previous settings back.
bool ChangeSystemProxy(int flag);
bool RemoveSystemProxy();
// The system proxy of the running program (state file in the runtime folder)
// and the lines its last change or restore reported.
CSystemProxy& systemProxy();
std::vector<std::string> lastSystemProxyReport();

}  // namespace vantor::app
