// vantor gui where the program is built without its window (Windows for
// now: the window needs Qt 6 for Windows). The verb stays, so `vantor` alone
// and `vantor gui` say why there is no window instead of failing to parse.
#include <iostream>

#include "cli/command.h"

namespace {

vantor::cli::Registration guiRegistration{
    "gui",
    [](CLI::App& app) -> vantor::cli::Runner {
      app.add_subcommand("gui", "The desktop window (not in this build: the window is Linux-only for now)");
      return [] {
        std::cerr << "vantor: the desktop window is Linux-only for now; use the command-line verbs "
                     "(vantor --help lists them)\n";
        return vantor::cli::kExitFailed;
      };
    },
    5};

}  // namespace
