#include "app/system_proxy.h"

#include <mutex>
#include <sstream>

#include "app/http_proxy.h"
#include "catalogue/app_paths.h"
#include "catalogue/ini_file.h"
#include "platform/files.h"
#include "platform/process.h"

namespace vantor::app {

const GSettingsKey kGnomeProxyKeys[] = {
    {"org.gnome.system.proxy", "mode"},       {"org.gnome.system.proxy", "autoconfig-url"},
    {"org.gnome.system.proxy.http", "host"},  {"org.gnome.system.proxy.http", "port"},
    {"org.gnome.system.proxy.https", "host"}, {"org.gnome.system.proxy.https", "port"},
    {"org.gnome.system.proxy.socks", "host"}, {"org.gnome.system.proxy.socks", "port"},
};
const std::size_t kGnomeProxyKeyCount = sizeof kGnomeProxyKeys / sizeof kGnomeProxyKeys[0];

namespace {

constexpr const char* kKdeGroup = "Proxy Settings";

// State file lines: "gsettings SCHEMA KEY VALUE" (VALUE as gsettings prints
// it, to the end of the line) and "kioslaverc PATH HEX" (the whole file, or
// "-" when there was none).
struct SavedState {
  struct Key {
    std::string schema, key, value;
  };
  std::vector<Key> gsettings;
  bool haveKde = false;
  std::string kdePath;
  bool kdeExisted = false;
  std::string kdeContent;
};

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

bool unhex(const std::string& text, std::string& bytes) {
  if (text.size() % 2) return false;
  bytes.clear();
  auto value = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int hi = value(text[i]), lo = value(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes += static_cast<char>(hi << 4 | lo);
  }
  return true;
}

std::string serialize(const SavedState& state) {
  std::string out;
  for (const auto& k : state.gsettings) out += "gsettings " + k.schema + " " + k.key + " " + k.value + "\n";
  if (state.haveKde)
    out += "kioslaverc " + hex(state.kdePath) + " " + (state.kdeExisted ? hex(state.kdeContent) : "-") + "\n";
  return out;
}

bool parse(const std::string& text, SavedState& state) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string kind;
    words >> kind;
    if (kind == "gsettings") {
      SavedState::Key k;
      words >> k.schema >> k.key;
      std::getline(words, k.value);
      if (!k.value.empty() && k.value[0] == ' ') k.value.erase(0, 1);
      if (k.schema.empty() || k.key.empty() || k.value.empty()) return false;
      state.gsettings.push_back(k);
    } else if (kind == "kioslaverc") {
      std::string path, content;
      words >> path >> content;
      if (!unhex(path, state.kdePath) || content.empty()) return false;
      state.haveKde = true;
      state.kdeExisted = content != "-";
      if (state.kdeExisted && !unhex(content, state.kdeContent)) return false;
    } else if (!kind.empty()) {
      return false;
    }
  }
  return true;
}

bool gsettings(const std::vector<std::string>& args, std::string* output = nullptr) {
  std::vector<std::string> argv{"gsettings"};
  argv.insert(argv.end(), args.begin(), args.end());
  int code = -1;
  return platform::runProcess(argv, output, code, 10000) && code == 0;
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text;
}

bool containsWord(const std::string& list, const char* word) {
  std::string upper;
  for (char c : list) upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return upper.find(word) != std::string::npos;
}

bool gnomeAvailable() {
  // Without a session (or an explicit backend) gsettings falls back to a
  // memory store that no program reads: that is no desktop.
  if (platform::environmentValue("XDG_CURRENT_DESKTOP").empty() &&
      platform::environmentValue("DBUS_SESSION_BUS_ADDRESS").empty() &&
      platform::environmentValue("GSETTINGS_BACKEND").empty())
    return false;
  if (platform::findProgram("gsettings").empty()) return false;
  std::string out;
  return gsettings({"writable", "org.gnome.system.proxy", "mode"}, &out) && trimmed(out) == "true";
}

bool kdeAvailable() {
  return containsWord(platform::environmentValue("XDG_CURRENT_DESKTOP"), "KDE") ||
         !platform::environmentValue("KDE_FULL_SESSION").empty();
}

std::string kioslavercPath() {
  std::string config = platform::environmentValue("XDG_CONFIG_HOME");
  if (config.empty()) config = platform::environmentValue("HOME") + "/.config";
  return config + "/kioslaverc";
}

void notifyKde() {
  if (platform::findProgram("dbus-send").empty()) return;
  int code;
  platform::runProcess(
      {"dbus-send", "--type=signal", "/KIO/Scheduler", "org.kde.KIO.Scheduler.reparseSlaveConfiguration", "string:"},
      nullptr, code, 3000);
}

bool setGnome(const SystemProxyTarget& t) {
  std::string port = std::to_string(t.port);
  if (t.useScript)
    return gsettings({"set", "org.gnome.system.proxy", "autoconfig-url", t.scriptUrl}) &&
           gsettings({"set", "org.gnome.system.proxy", "mode", "auto"});
  return gsettings({"set", "org.gnome.system.proxy.http", "host", t.host}) &&
         gsettings({"set", "org.gnome.system.proxy.http", "port", port}) &&
         gsettings({"set", "org.gnome.system.proxy.https", "host", t.host}) &&
         gsettings({"set", "org.gnome.system.proxy.https", "port", port}) &&
         gsettings({"set", "org.gnome.system.proxy.socks", "host", ""}) &&
         gsettings({"set", "org.gnome.system.proxy.socks", "port", "0"}) &&
         gsettings({"set", "org.gnome.system.proxy", "mode", "manual"});
}

bool setKde(const std::string& path, const SystemProxyTarget& t) {
  IniDocument ini;
  std::string error;
  if (!ini.load(path, error)) return false;
  std::string proxy = "http://" + t.host + " " + std::to_string(t.port);
  if (t.useScript) {
    ini.setString(kKdeGroup, "ProxyType", "2");
    ini.setString(kKdeGroup, "Proxy Config Script", t.scriptUrl);
  } else {
    ini.setString(kKdeGroup, "ProxyType", "1");
    ini.setString(kKdeGroup, "httpProxy", proxy);
    ini.setString(kKdeGroup, "httpsProxy", proxy);
  }
  auto slash = path.rfind('/');
  if (slash != std::string::npos) platform::makeDirectories(path.substr(0, slash), 0700, error);
  if (!ini.save(path, 0600, error)) return false;
  notifyKde();
  return true;
}

bool restoreState(const SavedState& state, std::vector<std::string>& report) {
  bool ok = true;
  for (const auto& k : state.gsettings) {
    // Back to the default first, so a key that was never set is not left
    // set; then the saved value when the default differs from it.
    std::string now;
    gsettings({"reset", k.schema, k.key});
    if (gsettings({"get", k.schema, k.key}, &now) && trimmed(now) == k.value) continue;
    if (!gsettings({"set", k.schema, k.key, k.value})) ok = false;
  }
  if (!state.gsettings.empty())
    report.push_back(ok ? "GNOME proxy settings restored" : "GNOME proxy settings: restore failed");
  if (state.haveKde) {
    std::string error;
    bool kdeOk = state.kdeExisted ? platform::writeFileAtomic(state.kdePath, state.kdeContent, 0600, error)
                                  : (!platform::fileExists(state.kdePath) || platform::removeFile(state.kdePath));
    if (kdeOk) notifyKde();
    report.push_back(kdeOk ? "KDE proxy settings restored" : "KDE proxy settings: restore failed: " + error);
    ok = ok && kdeOk;
  }
  return ok;
}

std::mutex& reportLock() {
  static std::mutex lock;
  return lock;
}
std::vector<std::string>& lastReport() {
  static std::vector<std::string> lines;
  return lines;
}

// The folder part of a file path; empty for a bare name or one in "/".
std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

}  // namespace

bool CSystemProxy::pendingRestore() const { return platform::fileExists(statePath_); }

bool CSystemProxy::change(const SystemProxyTarget& target, std::vector<std::string>& report) {
  // A change that was never given back comes first: its saved values are
  // the user's own, while what the desktop holds now is ours.
  if (pendingRestore() && !restore(report)) return false;

  bool gnome = gnomeAvailable();
  bool kde = kdeAvailable();
  std::string where = target.host + ":" + std::to_string(target.port);
  if (!gnome && !kde) {
    report.push_back("No desktop proxy settings found; for programs started from your shell set:");
    if (target.useScript) {
      report.push_back("  automatic proxy configuration: " + target.scriptUrl);
    } else {
      report.push_back("  export http_proxy=http://" + where + " https_proxy=http://" + where);
    }
    return true;
  }

  SavedState state;
  if (gnome) {
    for (std::size_t i = 0; i < kGnomeProxyKeyCount; ++i) {
      std::string value;
      if (!gsettings({"get", kGnomeProxyKeys[i].schema, kGnomeProxyKeys[i].key}, &value)) {
        report.push_back("GNOME proxy settings cannot be read");
        return false;
      }
      state.gsettings.push_back({kGnomeProxyKeys[i].schema, kGnomeProxyKeys[i].key, trimmed(value)});
    }
  }
  if (kde) {
    state.haveKde = true;
    state.kdePath = kioslavercPath();
    std::string error;
    state.kdeExisted = platform::fileExists(state.kdePath);
    if (state.kdeExisted && !platform::readFile(state.kdePath, state.kdeContent, error, 4u << 20)) {
      report.push_back("KDE proxy settings cannot be read: " + error);
      return false;
    }
  }
  std::string error;
  // The record sits in the runtime folder: only in one that is this user's alone.
  const std::string folder = folderOf(statePath_);
  if (!folder.empty() && !paths::checkRuntimeDir(folder, true, error)) {
    report.push_back("cannot record the proxy settings before changing them: " + error);
    return false;
  }
  if (!platform::writeFileAtomic(statePath_, serialize(state), 0600, error)) {
    report.push_back("cannot record the proxy settings before changing them: " + error);
    return false;
  }

  bool ok = true;
  if (gnome) {
    bool done = setGnome(target);
    report.push_back(done ? "GNOME proxy: " + (target.useScript ? "script " + target.scriptUrl : "manual " + where)
                          : std::string("GNOME proxy settings cannot be changed"));
    ok = ok && done;
  }
  if (kde && ok) {
    bool done = setKde(state.kdePath, target);
    report.push_back(done ? "KDE proxy: " + (target.useScript ? "script " + target.scriptUrl : "manual " + where)
                          : std::string("KDE proxy settings cannot be changed"));
    ok = ok && done;
  }
  if (!ok) restore(report);
  return ok;
}

bool CSystemProxy::restore(std::vector<std::string>& report) {
  if (!pendingRestore()) return true;
  std::string text, error;
  SavedState state;
  // A record in a folder others can write to may have been planted: it would
  // set proxy values of someone else's choosing.
  const std::string folder = folderOf(statePath_);
  if (!folder.empty() && !paths::checkRuntimeDir(folder, false, error)) {
    report.push_back("the saved proxy settings are not restored: " + error);
    return false;
  }
  if (!platform::readFile(statePath_, text, error, 1u << 20) || !parse(text, state)) {
    report.push_back("the saved proxy settings are unreadable; left as they are: " + statePath_);
    return false;
  }
  bool ok = restoreState(state, report);
  if (ok) platform::removeFile(statePath_);
  return ok;
}

CSystemProxy& systemProxy() {
  static CSystemProxy proxy(paths::runtimeDir() + "/system-proxy.state");
  return proxy;
}

std::vector<std::string> lastSystemProxyReport() {
  std::lock_guard<std::mutex> guard(reportLock());
  return lastReport();
}

bool ChangeSystemProxy(int flag) {
  CHttpProxy& http = localHttpProxy();
  SystemProxyTarget target;
  target.port = http.port();
  target.useScript = flag == 1;
  target.scriptUrl = http.pacUrl();
  std::vector<std::string> report;
  bool ok = systemProxy().change(target, report);
  std::lock_guard<std::mutex> guard(reportLock());
  lastReport() = report;
  return ok;
}

bool RemoveSystemProxy() {
  std::vector<std::string> report;
  bool ok = systemProxy().restore(report);
  std::lock_guard<std::mutex> guard(reportLock());
  lastReport() = report;
  return ok;
}

}  // namespace vantor::app
