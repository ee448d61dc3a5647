#include "catalogue/app_paths.h"

#include <mutex>

#include "platform/files.h"

namespace vantor::paths {
namespace {

std::mutex& overrideLock() {
  static std::mutex lock;
  return lock;
}

std::string& configOverride() {
  static std::string dir;
  return dir;
}

std::string join(const std::string& dir, const char* name) {
  if (dir.empty() || dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

}  // namespace

void setConfigRoot(const std::string& dir) {
  std::lock_guard<std::mutex> guard(overrideLock());
  configOverride() = dir;
}

std::string configRoot() {
  {
    std::lock_guard<std::mutex> guard(overrideLock());
    if (!configOverride().empty()) return configOverride();
  }
  std::string dir = platform::environmentValue("VANTOR_CONFIG_DIR");
  if (!dir.empty()) return dir;
#ifdef _WIN32
  // The roaming profile, where Windows programs keep their settings.
  dir = platform::environmentValue("APPDATA");
  if (!dir.empty()) return join(dir, "Vantor");
#endif
  dir = platform::environmentValue("XDG_CONFIG_HOME");
  if (!dir.empty()) return join(dir, "vantor");
  std::string home = platform::environmentValue("HOME");
  if (home.empty()) home = "/root";
  return join(home, ".config/vantor");
}

std::string configDir() { return join(configRoot(), "config"); }
std::string userRulesDir() { return join(configRoot(), "rules"); }
std::string logDir() { return join(configRoot(), "log"); }
std::string configFile(const std::string& name) { return join(configDir(), name.c_str()); }

std::string programDir() { return platform::executableDir(); }

std::string dataDir() {
  std::string dir = platform::environmentValue("VANTOR_DATA_DIR");
  if (!dir.empty()) return dir;
  const std::string program = programDir();
  auto holdsData = [](const std::string& d) {
#ifdef _WIN32
    // The country database is shipped data too on Windows (no system copy).
    if (platform::fileExists(join(d, "GeoIP.dat"))) return true;
#endif
    return platform::isDirectory(join(d, "rules")) || platform::isDirectory(join(d, "lang"));
  };
  if (holdsData(program)) return program;
  std::string installed = join(program, "../share/vantor");
  if (holdsData(installed)) return installed;
#ifdef VANTOR_BUILD_DATA_DIR
  // Run from the build tree: the generated data sits at the top of it.
  if (holdsData(VANTOR_BUILD_DATA_DIR)) return VANTOR_BUILD_DATA_DIR;
#endif
  return program;
}

std::string shippedRulesDir() { return join(dataDir(), "rules"); }
std::string langDir() { return join(dataDir(), "lang"); }

// Not /run/vantor: that folder holds the network helper's socket and must
// stay open to the helper's group.
constexpr const char* kRootRuntimeDir = "/run/vantor-root";

std::string runtimeDir() {
  std::string dir = platform::environmentValue("VANTOR_RUNTIME_DIR");
  if (!dir.empty()) return dir;
#ifdef _WIN32
  // The local (not roaming) profile: lock and endpoint files of this machine.
  dir = platform::environmentValue("LOCALAPPDATA");
  if (!dir.empty()) return join(dir, "Vantor/run");
#endif
  dir = platform::environmentValue("XDG_RUNTIME_DIR");
  if (!dir.empty()) return join(dir, "vantor");
  unsigned uid = platform::effectiveUserId();
  if (uid == 0) return kRootRuntimeDir;
  return "/tmp/vantor-" + std::to_string(uid);
}

bool ensureConfigFolders(std::string& error) {
  for (const std::string& dir : {configDir(), userRulesDir(), logDir()})
    if (!platform::makeDirectories(dir, 0700, error)) return false;
  return true;
}

bool ensureRuntimeDir(std::string& error) { return checkRuntimeDir(runtimeDir(), true, error); }

bool checkRuntimeDir(const std::string& dir, bool create, std::string& error) {
  return create ? platform::ensurePrivateFolder(dir, "runtime folder", error)
                : platform::checkPrivateFolder(dir, "runtime folder", error);
}

}  // namespace vantor::paths
