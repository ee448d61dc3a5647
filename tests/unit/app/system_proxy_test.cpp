// Desktop proxy settings with the real gsettings tool on its keyfile
// backend in a temporary folder, and kioslaverc: set, then given back
// exactly, also by a later process after a crash.
#include "app/system_proxy.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "app/instance.h"
#include "app/user_cleanup.h"
#include "platform/local_ipc.h"
#include "platform/process.h"

namespace vantor::app {
namespace {

std::string run(const std::vector<std::string>& argv) {
  std::string out;
  int code = -1;
  EXPECT_TRUE(platform::runProcess(argv, &out, code)) << argv[0];
  EXPECT_EQ(code, 0) << argv[1] << " " << argv[2];
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class SystemProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vantor-sysproxy-XXXXXX";
    dir = ::mkdtemp(pattern);
    for (const char* name : {"XDG_CURRENT_DESKTOP", "DBUS_SESSION_BUS_ADDRESS", "GSETTINGS_BACKEND", "KDE_FULL_SESSION",
                             "XDG_CONFIG_HOME"}) {
      const char* v = ::getenv(name);
      if (v) saved[name] = v;
      ::unsetenv(name);
    }
    ::setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    statePath = dir + "/system-proxy.state";
  }
  void TearDown() override {
    for (const char* name : {"XDG_CURRENT_DESKTOP", "GSETTINGS_BACKEND", "XDG_CONFIG_HOME"}) ::unsetenv(name);
    for (const auto& [name, value] : saved) ::setenv(name.c_str(), value.c_str(), 1);
    std::filesystem::remove_all(dir);
  }
  void useGnome() {
    if (platform::findProgram("gsettings").empty()) GTEST_SKIP() << "needs gsettings (scripts/setup.sh)";
    ::setenv("GSETTINGS_BACKEND", "keyfile", 1);
    ::setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
  }
  std::map<std::string, std::string> gnomeValues() {
    std::map<std::string, std::string> values;
    for (std::size_t i = 0; i < kGnomeProxyKeyCount; ++i)
      values[std::string(kGnomeProxyKeys[i].schema) + " " + kGnomeProxyKeys[i].key] =
          run({"gsettings", "get", kGnomeProxyKeys[i].schema, kGnomeProxyKeys[i].key});
    values["ignore-hosts"] = run({"gsettings", "get", "org.gnome.system.proxy", "ignore-hosts"});
    return values;
  }

  std::string dir, statePath;
  std::map<std::string, std::string> saved;
};

TEST_F(SystemProxyTest, GnomeManualAndScriptSettingsAreGivenBackExactly) {
  useGnome();
  // The user's own settings: a corporate proxy they switched off.
  run({"gsettings", "set", "org.gnome.system.proxy.http", "host", "corp.example"});
  run({"gsettings", "set", "org.gnome.system.proxy.http", "port", "3128"});
  run({"gsettings", "set", "org.gnome.system.proxy.socks", "host", "socks.example"});
  auto before = gnomeValues();

  CSystemProxy proxy(statePath);
  std::vector<std::string> report;
  ASSERT_TRUE(proxy.change({"127.0.0.1", 8118, false, ""}, report));
  EXPECT_TRUE(proxy.pendingRestore());
  EXPECT_EQ(run({"gsettings", "get", "org.gnome.system.proxy", "mode"}), "'manual'");
  EXPECT_EQ(run({"gsettings", "get", "org.gnome.system.proxy.http", "host"}), "'127.0.0.1'");
  EXPECT_EQ(run({"gsettings", "get", "org.gnome.system.proxy.https", "port"}), "8118");
  EXPECT_EQ(run({"gsettings", "get", "org.gnome.system.proxy.socks", "host"}), "''");
  ASSERT_TRUE(proxy.restore(report));
  EXPECT_EQ(gnomeValues(), before);
  EXPECT_FALSE(proxy.pendingRestore());
  // Keys the user never set are not left set by the restore.
  EXPECT_EQ(readAll(dir + "/config/glib-2.0/settings/keyfile").find("autoconfig-url"), std::string::npos);

  const std::string url = "http://127.0.0.1:8118/proxy.pac";
  ASSERT_TRUE(proxy.change({"127.0.0.1", 8118, true, url}, report));
  EXPECT_EQ(run({"gsettings", "get", "org.gnome.system.proxy", "mode"}), "'auto'");
  EXPECT_EQ(run({"gsettings", "get", "org.gnome.system.proxy", "autoconfig-url"}), "'" + url + "'");
  // The process dies here; the next start finds the state file and restores.
  CSystemProxy nextStart(statePath);
  ASSERT_TRUE(nextStart.pendingRestore());
  ASSERT_TRUE(nextStart.restore(report));
  EXPECT_EQ(gnomeValues(), before);
}

TEST_F(SystemProxyTest, AChangeNeverGivenBackIsUndoneBeforeTheNextOne) {
  useGnome();
  auto before = gnomeValues();
  CSystemProxy proxy(statePath);
  std::vector<std::string> report;
  ASSERT_TRUE(proxy.change({"127.0.0.1", 8118, false, ""}, report));
  // Without a restore in between the saved values must stay the user's,
  // not ours of the first change.
  ASSERT_TRUE(CSystemProxy(statePath).change({"127.0.0.1", 9000, false, ""}, report));
  ASSERT_TRUE(proxy.restore(report));
  EXPECT_EQ(gnomeValues(), before);
}

TEST_F(SystemProxyTest, KdeFileIsRestoredByteForByteOrRemoved) {
  ::setenv("XDG_CURRENT_DESKTOP", "KDE", 1);
  std::string path = dir + "/config/kioslaverc";
  CSystemProxy proxy(statePath);
  std::vector<std::string> report;
  ASSERT_TRUE(proxy.change({"127.0.0.1", 8118, false, ""}, report));
  std::string set = readAll(path);
  EXPECT_NE(set.find("ProxyType=1"), std::string::npos) << set;
  EXPECT_NE(set.find("httpProxy=http://127.0.0.1 8118"), std::string::npos) << set;
  ASSERT_TRUE(proxy.restore(report));
  EXPECT_FALSE(std::filesystem::exists(path)) << "there was no file before";

  const std::string original = "# mine\n[Proxy Settings]\nProxyType=0\nNoProxyFor=corp\n\n[Other]\nkeep=1\n";
  { std::ofstream(path, std::ios::binary) << original; }
  ASSERT_TRUE(proxy.change({"127.0.0.1", 8118, true, "http://127.0.0.1:8118/proxy.pac"}, report));
  set = readAll(path);
  EXPECT_NE(set.find("ProxyType=2"), std::string::npos) << set;
  EXPECT_NE(set.find("keep=1"), std::string::npos) << "other groups are kept";
  ASSERT_TRUE(CSystemProxy(statePath).restore(report));
  EXPECT_EQ(readAll(path), original);
}

TEST_F(SystemProxyTest, WithoutADesktopItSaysWhatToSetAndChangesNothing) {
  CSystemProxy proxy(statePath);
  std::vector<std::string> report;
  ASSERT_TRUE(proxy.change({"127.0.0.1", 8118, false, ""}, report));
  EXPECT_FALSE(proxy.pendingRestore());
  std::string text;
  for (const auto& line : report) text += line + "\n";
  EXPECT_NE(text.find("http_proxy=http://127.0.0.1:8118"), std::string::npos) << text;
  EXPECT_FALSE(std::filesystem::exists(dir + "/config")) << "nothing written";
  EXPECT_TRUE(proxy.restore(report));

  // A state file that is not ours is left alone and reported.
  { std::ofstream(statePath) << "rm -rf /\n"; }
  EXPECT_FALSE(proxy.restore(report));
  EXPECT_TRUE(std::filesystem::exists(statePath));
}

TEST_F(SystemProxyTest, CleanupGivesBackWhatAKilledProgramLeftAndLeavesARunningOneAlone) {
  useGnome();
  run({"gsettings", "set", "org.gnome.system.proxy.http", "host", "corp.example"});
  auto before = gnomeValues();
  std::vector<std::string> report;
  ASSERT_TRUE(CSystemProxy(statePath).change({"127.0.0.1", 8118, false, ""}, report));
  auto changed = gnomeValues();
  ASSERT_NE(changed, before);
  std::string error;
  std::string endpoint;
  {
    CInstance running(dir);
    ASSERT_EQ(running.acquire(error), CInstance::Start::First) << error;
    ASSERT_TRUE(running.serve([](const std::string&, std::string&) { return true; }, error)) << error;
    endpoint = running.endpointPath();
    report.clear();
    EXPECT_TRUE(cleanupUserLeftovers(dir, report));
    EXPECT_EQ(gnomeValues(), changed);
    EXPECT_TRUE(std::filesystem::exists(statePath));
    EXPECT_TRUE(std::filesystem::exists(endpoint));
    ASSERT_EQ(report.size(), 1u);
    EXPECT_NE(report[0].find("vantor is running"), std::string::npos) << report[0];
  }
  // A killed program: its endpoint stays behind (and its lock is gone).
  platform::SocketHandle stale = platform::listenLocal(endpoint, error);
  ASSERT_NE(stale, platform::kInvalidSocket) << error;
  platform::closeSocket(stale);
  ASSERT_TRUE(std::filesystem::exists(endpoint));

  report.clear();
  EXPECT_TRUE(cleanupUserLeftovers(dir, report));
  EXPECT_EQ(gnomeValues(), before);
  EXPECT_FALSE(std::filesystem::exists(statePath));
  EXPECT_FALSE(std::filesystem::exists(endpoint));
  EXPECT_EQ(report, (std::vector<std::string>{"GNOME proxy settings restored",
                                              "removed the stale control endpoint " + endpoint}));
  // Nothing left: a second run has nothing to say.
  report.clear();
  EXPECT_TRUE(cleanupUserLeftovers(dir, report));
  EXPECT_TRUE(report.empty());
}

}  // namespace
}  // namespace vantor::app
