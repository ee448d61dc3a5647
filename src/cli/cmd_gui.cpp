// vantor gui (also `vantor` alone): the desktop window.
#include <memory>
#include <string>

#include "cli/command.h"
#include "ui/gui_app.h"

namespace {

vantor::cli::Registration guiRegistration{
    "gui",
    [](CLI::App& app) -> vantor::cli::Runner {
      auto screenshotDir = std::make_shared<std::string>();
      auto* cmd = app.add_subcommand("gui", "The desktop window with its tray icon (also `vantor` without a verb)");
      cmd->add_option("--screenshot", *screenshotDir,
                      "Draw the main window, the traffic window and every dialog into DIR as PNG files, then exit")
          ->type_name("DIR");
      return [=] {
        if (!screenshotDir->empty()) return vantor::ui::renderScreenshots(*screenshotDir);
        return vantor::ui::runGui();
      };
    },
    5};

}  // namespace
