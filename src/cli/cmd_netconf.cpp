// vantor modes: the proxy modes with their kind and network count.
// vantor cleanup: the start-up clean-up on its own (routes, TUN interface,
// DNS and whatever else the record of host changes holds), and the user's
// part: the desktop proxy settings and the stale runtime files.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/user_cleanup.h"
#include "app/startup.h"
#include "cli/command.h"

namespace {

const char* kindText(int32_t kind) {
  switch (kind) {
    case vantor::kModeGlobal:
      return "global";
    case vantor::kModeRuleFile:
    case vantor::kModeRuleFile2:
      return "rules";
    case vantor::kModeBrowserGlobal:
      return "browser";
    case vantor::kModeBrowserPac:
      return "browser-pac";
    default:
      return "?";
  }
}

int listModes() {
  using namespace vantor;
  CProxyModeMgr& mgr = cli::core().catalogue().modes();
  vantor::cli::core().catalogue().loadModes(true);
  std::printf("%-3s %-12s %8s  %s\n", "#", "kind", "networks", "name");
  int index = 0;
  for (const ProxyMode& mode : mgr.modes()) {
    std::string name = mode.name;
    if (mode.localName != mode.name) name += " / " + mode.localName;
    if (mode.listedDirect) name += "  (listed networks direct)";
    std::printf("%-3d %-12s %8zu  %s\n", index++, kindText(mode.kind), mode.networks.size(), name.c_str());
  }
  return vantor::cli::kExitOk;
}

// The helper undoes what a dead connection of this user left (root: of
// anyone); a running connection is never touched. `report` gets its lines.
bool cleanupHostPart(std::vector<std::string>& report) {
  std::string error;
  bool ok = vantor::app::cleanupHostLeftovers(report, error);
  if (!ok) std::fprintf(stderr, "vantor: %s\n", error.c_str());
  return ok;
}

// What a killed program of this user left: the desktop still pointing at
// its proxy, its control endpoint.
bool cleanupUserPart(std::vector<std::string>& report) {
  return vantor::app::cleanupUserLeftovers(vantor::paths::runtimeDir(), report);
}

int cleanup() {
  std::vector<std::string> report;
  bool ok = cleanupHostPart(report);
  ok = cleanupUserPart(report) && ok;
  for (const auto& line : report) std::printf("%s\n", line.c_str());
  if (ok && report.empty()) std::printf("nothing to clean up\n");
  return ok ? vantor::cli::kExitOk : vantor::cli::kExitFailed;
}

vantor::cli::Registration netconfRegistration{
    "modes",
    [](CLI::App& app) -> vantor::cli::Runner {
      auto* modes = app.add_subcommand("modes", "List the proxy modes: index, kind, number of networks, name");
      auto* clean = app.add_subcommand(
          "cleanup",
          "Undo what a killed tunnel left on this host: routes, TUN interface and address, DNS, desktop proxy");
      return [modes, clean] {
        if (modes->parsed()) return listModes();
        if (clean->parsed()) return cleanup();
        return vantor::cli::kExitBadInput;
      };
    },
    30};

}  // namespace
