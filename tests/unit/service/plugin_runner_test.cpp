// The plugin runner against a stand-in plugin program (a Python script on a
// PATH of the test's own): what the program is given and must not inherit,
// the bound on restarts, and failed starts. Restarts after a kill are shown
// against real plugins in tests/integration/test_plugins.py.
#include "service/plugin_runner.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_net.h"

namespace vantor {
namespace {

// Prints what it was given; then by its options: "fail" exits at once,
// "short" listens for a moment and exits, anything else listens and answers
// every connection with "plugin <options>".
constexpr const char* kFakePlugin = R"(#!/usr/bin/env python3
import os, socket, sys, threading
e = os.environ
print("given", e["SS_REMOTE_HOST"], e["SS_REMOTE_PORT"], e["SS_LOCAL_HOST"], e["SS_LOCAL_PORT"],
      e["SS_PLUGIN_OPTIONS"], flush=True)
opts = e["SS_PLUGIN_OPTIONS"]
if opts == "fail":
    print("cannot parse the options", file=sys.stderr, flush=True)
    sys.exit(3)
l = socket.socket()
l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
l.bind((e["SS_LOCAL_HOST"], int(e["SS_LOCAL_PORT"])))
l.listen(8)
if opts == "short":
    threading.Timer(0.3, lambda: os._exit(1)).start()
while True:
    c, _ = l.accept()
    c.sendall(("plugin " + opts + "\n").encode())
    c.close()
)";

class PluginRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dirTemplate[] = "/tmp/vantor-runner-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dirTemplate));
    dir_ = dirTemplate;
    std::string program = dir_ + "/fake-plugin";
    { std::ofstream(program) << kFakePlugin; }
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
    const char* path = std::getenv("PATH");
    savedPath_ = path ? path : "";
    ::setenv("PATH", (dir_ + ":" + savedPath_).c_str(), 1);
  }
  void TearDown() override {
    ::setenv("PATH", savedPath_.c_str(), 1);
    std::filesystem::remove_all(dir_);
  }

  NodeRef node(const std::string& opts, const std::string& plugin = "fake-plugin") {
    auto n = std::make_shared<NodeSnapshot>();
    n->type = kNodeShadowsocks;
    n->server = "127.0.0.1";
    n->server_port = 8388;
    n->password = "pw";
    n->method = "aes-256-gcm";
    n->plugin = plugin;
    n->plugin_opts = opts;
    return n;
  }

  CPluginRunner::LogSink sink() {
    return [this](const std::string& line) {
      std::lock_guard lock(logLock_);
      log_.push_back(line);
    };
  }
  std::string logText() {
    std::lock_guard lock(logLock_);
    std::string text;
    for (const auto& l : log_) text += l + "\n";
    return text;
  }
  bool waitFor(const std::function<bool()>& done, int ms = 5000) {
    for (int waited = 0; waited < ms; waited += 20) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
  }
  static std::string answerOf(uint16_t port) {
    test::Conn c(port);
    if (!c.connected()) return "";
    test::Bytes b = c.recv(64, 2000);
    return std::string(b.begin(), b.end());
  }

  std::string dir_, savedPath_;
  std::mutex logLock_;
  std::vector<std::string> log_;
};

TEST_F(PluginRunnerTest, RunsTheProgramTheSip003WayWithNothingOfOursAndStopsIt) {
  // A descriptor without close-on-exec must not reach the program.
  int leak[2];
  ASSERT_EQ(::pipe(leak), 0);
  std::string error;
  auto runner = CPluginRunner::start(node("mode=x;host=a.b"), error, {}, sink());
  ASSERT_TRUE(runner) << error;
  const uint16_t port = runner->localPort();
  EXPECT_EQ(answerOf(port), "plugin mode=x;host=a.b\n");
  ASSERT_TRUE(waitFor([&] { return logText().find("fake-plugin: given") != std::string::npos; })) << logText();
  EXPECT_NE(logText().find("fake-plugin: given 127.0.0.1 8388 127.0.0.1 " + std::to_string(port) + " mode=x;host=a.b"),
            std::string::npos)
      << logText();

  EXPECT_TRUE(runner->serves(*node("mode=x;host=a.b")));
  EXPECT_FALSE(runner->serves(*node("mode=y")));

  const int first = runner->pid();
  ASSERT_GT(first, 0);
  struct stat st {};
  ASSERT_EQ(::fstat(leak[0], &st), 0);
  int seen = 0;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(first) + "/fd")) {
    std::error_code ec;
    EXPECT_NE(std::filesystem::read_symlink(fd.path(), ec).string(), "pipe:[" + std::to_string(st.st_ino) + "]");
    ++seen;
  }
  EXPECT_GE(seen, 3);
  ::close(leak[0]);
  ::close(leak[1]);

  // Stopped: the program is gone and the port closed.
  runner->stop();
  EXPECT_EQ(runner->pid(), 0);
  EXPECT_NE(::kill(first, 0), 0);
  EXPECT_EQ(answerOf(port), "");
}

TEST_F(PluginRunnerTest, GivesUpOnAProgramThatKeepsDying) {
  CPluginRunner::Policy policy;
  policy.maxRestarts = 2;
  policy.restartDelayMs = 50;
  std::string error;
  auto runner = CPluginRunner::start(node("short"), error, policy, sink());
  ASSERT_TRUE(runner) << error;
  ASSERT_TRUE(waitFor([&] { return runner->gaveUp(); }, 10000)) << logText();
  EXPECT_EQ(runner->restarts(), 2);
  EXPECT_EQ(runner->pid(), 0);
  EXPECT_NE(logText().find("is not restarted any more"), std::string::npos) << logText();
  // A runner that gave up serves nobody: the next connect starts a new one.
  EXPECT_FALSE(runner->serves(*node("short")));
}

TEST_F(PluginRunnerTest, FailedStartsSayWhy) {
  std::string error;
  EXPECT_FALSE(CPluginRunner::start(node("fail"), error, {}, sink()));
  EXPECT_NE(error.find("fake-plugin ended at its start (exited with status 3): cannot parse the options"),
            std::string::npos)
      << error;

  EXPECT_FALSE(CPluginRunner::start(node("", "no-such-plugin"), error, {}, sink()));
  EXPECT_EQ(error, "The Shadowsocks plugin no-such-plugin was not found (install it or remove it from the node)");

  auto unresolvable = std::make_shared<NodeSnapshot>(*node("x"));
  unresolvable->server = "no-such-host.invalid";
  EXPECT_FALSE(CPluginRunner::start(unresolvable, error, {}, sink()));
  EXPECT_EQ(error, "Can not resolve SS server's domain name");
}

}  // namespace
}  // namespace vantor
