// The XDG autostart entry: $XDG_CONFIG_HOME/autostart/vantor.desktop (else
// ~/.config/autostart), which desktop sessions run at log-in.
#include "platform/autostart.h"

#include <unistd.h>

#include <climits>

#include "platform/files.h"

namespace vantor::platform {
namespace {

std::string autostartDir() {
  std::string dir = environmentValue("XDG_CONFIG_HOME");
  if (dir.empty()) {
    std::string home = environmentValue("HOME");
    dir = (home.empty() ? std::string("/root") : home) + "/.config";
  }
  return dir + "/autostart";
}

std::string entryPath() { return autostartDir() + "/vantor.desktop"; }

std::string executablePath() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string("vantor");
}

// One argument of an Exec line: quoted, with the characters the desktop
// entry format reserves inside quotes escaped (and the backslash doubled
// once more, because the value itself is an escaped string).
std::string execArgument(const std::string& arg) {
  std::string out = "\"";
  for (char c : arg) {
    if (c == '"' || c == '`' || c == '$') {
      out += "\\\\";
      out += c;
    } else if (c == '\\') {
      out += "\\\\\\\\";
    } else if (c == '\n' || c == '\r') {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

bool setRunAtStartup(bool enable, const std::vector<std::string>& arguments, std::string& error) {
  if (!enable) {
    if (removeFile(entryPath())) return true;
    error = "cannot remove " + entryPath();
    return false;
  }
  if (!makeDirectories(autostartDir(), 0700, error)) return false;
  std::string exec = execArgument(executablePath());
  for (const std::string& arg : arguments) exec += " " + execArgument(arg);
  std::string entry =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Vantor\n"
      "Comment=Send this computer's traffic through a proxy node\n"
      "Exec=" +
      exec +
      "\n"
      "Terminal=false\n"
      "X-GNOME-Autostart-enabled=true\n";
  return writeFileAtomic(entryPath(), entry, 0644, error);
}

bool runAtStartupEntryExists() { return fileExists(entryPath()); }

}  // namespace vantor::platform
