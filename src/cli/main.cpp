// vantor: command-line front end. The verbs live in cmd_*.cpp, one file per
// group; this file parses the options every verb shares and dispatches.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/startup.h"
#include "cli/command.h"

namespace vantor::cli {

struct Entry {
  const char* name;
  Setup setup;
  int order;
};

namespace {
std::unique_ptr<app::CVexorApp> gCore;
}  // namespace

app::CVexorApp& core() {
  if (!gCore) gCore = std::make_unique<app::CVexorApp>();
  return *gCore;
}

// The core goes when the verb is done, before the static objects.
int runVerb(const Runner& runner) {
  int rc = runner();
  gCore.reset();
  return rc;
}

std::vector<Entry>& registry() {
  static std::vector<Entry> entries;
  return entries;
}

std::vector<CLI::App*> allSubcommands(CLI::App& app) {
  return app.get_subcommands([](CLI::App*) { return true; });
}

Registration::Registration(const char* name, Setup setup, int order) {
  registry().push_back({name, std::move(setup), order});
}

}  // namespace vantor::cli

int main(int argc, char** argv) {
  using namespace vantor;
  CLI::App app{"Vantor: send a whole computer's traffic through one proxy node"};
  // Without a verb the desktop window starts (`vantor gui`).
  app.require_subcommand(0, 1);
  // Shared options may also follow the verb: `vantor nodes list --config-dir X`.
  app.fallthrough();
  app.set_version_flag("--version", std::string("vantor ") + VANTOR_VERSION);
  std::string configDir;
  app.add_option("--config-dir", configDir,
                 "Configuration folder (default $VANTOR_CONFIG_DIR, else $XDG_CONFIG_HOME/vantor; on Windows "
                 "%APPDATA%\\Vantor)");

  auto& entries = cli::registry();
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.order < b.order; });
  std::vector<std::pair<CLI::App*, cli::Runner>> runners;
  for (auto& entry : entries) {
    std::size_t before = cli::allSubcommands(app).size();
    cli::Runner runner = entry.setup(app);
    auto added = cli::allSubcommands(app);
    for (std::size_t i = before; i < added.size(); ++i) runners.emplace_back(added[i], runner);
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int rc = app.exit(e);
    return rc == 0 ? cli::kExitOk : cli::kExitBadInput;
  }
  if (!configDir.empty()) paths::setConfigRoot(configDir);
  for (auto& [cmd, runner] : runners)
    if (cmd->parsed()) return cli::runVerb(runner);
  for (auto& [cmd, runner] : runners)
    if (cmd->get_name() == "gui") return cli::runVerb(runner);
  std::cerr << app.help();
  return cli::kExitBadInput;
}
