// vantor settings list | get KEY | set KEY VALUE: the keys of config.ini
// with their current values, or one key at a time with the checks of the
// settings dialog.
#include <iostream>
#include <memory>
#include <string>

#include "app/startup.h"
#include "cli/catalogue_session.h"
#include "cli/command.h"

namespace {

using namespace vantor;
using cli::kExitBadInput;
using cli::kExitFailed;
using cli::kExitOk;

struct SettingsOptions {
  std::string key;
  std::string value;
};

const SettingKey* knownKey(const std::string& name) {
  const SettingKey* key = findSettingKey(name);
  if (!key) std::cerr << "vantor: unknown setting: " << name << "\n";
  return key;
}

bool load() {
  std::string error;
  bool read = cli::core().settings().load(error);
  cli::printConfigWarnings();
  if (read) return true;
  std::cerr << "vantor: cannot read the settings: " << error << "\n";
  return false;
}

int getSetting(const SettingsOptions& options) {
  const SettingKey* key = knownKey(options.key);
  if (!key) return kExitBadInput;
  if (!load()) return kExitFailed;
  std::cout << cli::core().settings().valueText(*key) << "\n";
  return kExitOk;
}

// Every key with its current value, one per line; secrets only say whether
// they are set (`settings get` shows one on purpose).
int listSettings() {
  if (!load()) return kExitFailed;
  for (const auto& [name, value] : cli::core().settings().listShown()) std::cout << name << "=" << value << "\n";
  return kExitOk;
}

int setSetting(const SettingsOptions& options) {
  const SettingKey* key = knownKey(options.key);
  if (!key) return kExitBadInput;
  if (!load()) return kExitFailed;
  bool refused = false;
  std::string failure = cli::core().settings().setFromText(*key, options.value, refused);
  cli::printConfigWarnings();
  if (failure.empty()) return kExitOk;
  std::cerr << "vantor: " << failure << "\n";
  return refused ? kExitBadInput : kExitFailed;
}

cli::Registration settingsRegistration{
    "settings",
    [](CLI::App& app) -> cli::Runner {
      auto options = std::make_shared<SettingsOptions>();
      auto* cmd = app.add_subcommand("settings", "List, read or change the application settings (config.ini)");
      cmd->require_subcommand(1);
      auto* list = cmd->add_subcommand("list", "Print every setting with its current value");
      auto* get = cmd->add_subcommand("get", "Print the value of KEY");
      get->add_option("KEY", options->key, "Setting name, as in config.ini")->required();
      auto* set = cmd->add_subcommand("set", "Change KEY to VALUE");
      set->add_option("KEY", options->key, "Setting name, as in config.ini")->required();
      set->add_option("VALUE", options->value, "New value (booleans: 0 or 1)")->required();
      return [options, list, get] {
        if (list->parsed()) return listSettings();
        return get->parsed() ? getSetting(*options) : setSetting(*options);
      };
    },
    60};

}  // namespace
