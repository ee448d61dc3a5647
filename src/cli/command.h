// Subcommands of `vantor`. Each cmd_*.cpp file adds its own subcommands by a
// static registration, so a new verb is one new file:
//
//   static vantor::cli::Registration reg{"serve", [](CLI::App& app) {
//     auto* cmd = app.add_subcommand("serve", "...");
//     ... options ...
//     return [=] { return serve(...); };   // runs when the subcommand was given
//   }};
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>

namespace vantor::app {
class CVexorApp;
}

namespace vantor::cli {

// The program's core, made on first use (after the shared options such as
// --config-dir were applied) and ended when the verb returns; one per
// process. Every verb reaches the catalogue, the settings, the service and
// the connection through it. Main thread only.
app::CVexorApp& core();

// What a parsed subcommand runs; its result is the process exit status.
using Runner = std::function<int()>;
// Adds one or more subcommands to `app`; the returned runner runs when one of
// them was given on the command line.
using Setup = std::function<Runner(CLI::App& app)>;

struct Registration {
  // `order` sorts the verbs in the help text (smaller first).
  Registration(const char* name, Setup setup, int order = 100);
};

// Exit statuses shared by every verb.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitBadInput = 2;

}  // namespace vantor::cli
