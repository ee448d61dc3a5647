// vantor settings get KEY | set KEY VALUE: one key of config.ini at a time,
// with the checks of the settings dialog.
#include <iostream>
#include <memory>
#include <string>

#include "catalogue/settings.h"
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
  bool read = loadSettings(&error);
  cli::printConfigWarnings();
  if (read) return true;
  std::cerr << "vantor: cannot read the settings: " << error << "\n";
  return false;
}

int getSetting(const SettingsOptions& options) {
  const SettingKey* key = knownKey(options.key);
  if (!key) return kExitBadInput;
  if (!load()) return kExitFailed;
  std::cout << settingValueText(settings(), *key) << "\n";
  return kExitOk;
}

int setSetting(const SettingsOptions& options) {
  const SettingKey* key = knownKey(options.key);
  if (!key) return kExitBadInput;
  if (!load()) return kExitFailed;
  std::string refusal = setSettingFromText(settings(), *key, options.value);
  if (!refusal.empty()) {
    std::cerr << "vantor: " << refusal << "\n";
    return kExitBadInput;
  }
  std::string error;
  if (std::string(key->name) == "startup" && !updateRunAtStartup(settings(), error)) {
    std::cerr << "vantor: cannot update the start-up entry: " << error << "\n";
    return kExitFailed;
  }
  bool saved = saveSettings(&error);
  cli::printConfigWarnings();
  if (!saved) {
    std::cerr << "vantor: cannot save the settings: " << error << "\n";
    return kExitFailed;
  }
  return kExitOk;
}

cli::Registration settingsRegistration{
    "settings",
    [](CLI::App& app) -> cli::Runner {
      auto options = std::make_shared<SettingsOptions>();
      auto* cmd = app.add_subcommand("settings", "Read or change one application setting (config.ini)");
      cmd->require_subcommand(1);
      auto* get = cmd->add_subcommand("get", "Print the value of KEY");
      get->add_option("KEY", options->key, "Setting name, as in config.ini")->required();
      auto* set = cmd->add_subcommand("set", "Change KEY to VALUE");
      set->add_option("KEY", options->key, "Setting name, as in config.ini")->required();
      set->add_option("VALUE", options->value, "New value (booleans: 0 or 1)")->required();
      return [options, get] { return get->parsed() ? getSetting(*options) : setSetting(*options); };
    },
    60};

}  // namespace
