// The testers' own lines for nodes that fail before or at the connect, and
// the test window's run logic. Tests against real nodes are in
// tests/integration/test_node_tester.py.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "catalogue/node_mgr.h"
#include "diag/node_test_run.h"
#include "diag/node_testing.h"
#include "test_net.h"

namespace vantor {
namespace {

using Lines = std::vector<std::string>;

struct Recorder {
  std::mutex mutex;
  Lines lines;
  std::vector<int> levels;
  static void callback(void* self, const std::string& line, int level) {
    auto* r = static_cast<Recorder*>(self);
    std::lock_guard<std::mutex> guard(r->mutex);
    r->lines.push_back(line);
    r->levels.push_back(level);
  }
  Lines snapshot() {
    std::lock_guard<std::mutex> guard(mutex);
    return lines;
  }
};

using Node = std::unique_ptr<CNodeInfo>;

Node shadowsocksNode(const std::string& method, const std::string& password, const std::string& protocol = "origin",
                     const std::string& obfs = "plain") {
  NodeParams p;
  p.type = kNodeShadowsocks;
  p.server = "127.0.0.1";
  p.server_port = test::closedPort();
  p.method = method;
  p.password = password;
  p.protocol = protocol;
  p.obfs = obfs;
  return std::make_unique<CNodeInfo>(0, p);
}

Node socksNode(int32_t type, uint16_t port) {
  auto node = std::make_unique<CNodeInfo>();
  node->type = type;
  node->server = " 127.0.0.1 ";
  node->server_port = port;
  return node;
}

TEST(NodeTester, ShadowsocksNodeThatCannotBeUsedSaysWhyAndNothingElse) {
  struct Case {
    Node node;
    Lines expected;
  };
  std::vector<Case> cases;
  cases.push_back({shadowsocksNode("aes-256-gcm", ""), {"Testing started.", "Shadowsocks server node invalid."}});
  cases.push_back({shadowsocksNode("foo", "pw"), {"Testing started.", "Unsupported encryption: foo."}});
  cases.push_back(
      {shadowsocksNode("aes-256-cfb", "pw", "bogus"), {"Testing started.", "Unsupported protocol: bogus."}});
  cases.push_back(
      {shadowsocksNode("aes-256-cfb", "pw", "origin", "bogus"), {"Testing started.", "Unsupported obfs: bogus."}});
  for (auto& c : cases) {
    Recorder recorder;
    CSSRClientTesting tester(&Recorder::callback, &recorder, 1);
    EXPECT_FALSE(tester.test(c.node.get(), false));
    EXPECT_EQ(recorder.lines, c.expected);
    EXPECT_EQ(recorder.levels.back(), kLevelFailure);
    EXPECT_EQ(c.node->ConnectedTimes, 0) << "nothing may reach the server";
  }
}

TEST(NodeTester, RefusingSocksNodeFailsEverySiteWithOneAttemptEach) {
  Recorder recorder;
  Node node = socksNode(kNodeSocks5, test::closedPort());
  CS45ClientTesting tester(&Recorder::callback, &recorder, 1);
  EXPECT_FALSE(tester.test(node.get(), false));
  Lines expected = {"TCP Testing started.", "Now testing TCP transmission..."};
  for (int site = 0; site < 4; ++site) {
    expected.push_back("Connecting to SS node...");
    expected.push_back("Connecting to SS node error.");
  }
  // The reason follows the result.
  expected.insert(expected.end(),
                  {"TCP transmission...UnPassed!",
                   "connection refused by the node (127.0.0.1:" + std::to_string(node->server_port) + ")",
                   "Testing is done!", std::string(46, '/')});
  EXPECT_EQ(recorder.lines, expected);
  EXPECT_EQ(recorder.levels[recorder.levels.size() - 3], kLevelFailure);
  EXPECT_EQ(node->ConnectedTimes, 4);
  EXPECT_EQ(node->FailureTimes, 4);
  EXPECT_EQ(node->lastTestResult, 0);
  EXPECT_EQ(node->server, " 127.0.0.1 ") << "the tester trims its own copy, not the node";
}

TEST(NodeTestRunner, Socks4GetsNoUdpTestAndOtherKindsArePassedOver) {
  Recorder recorder;
  Node socks4 = socksNode(kNodeSocks4, test::closedPort());
  Node http = socksNode(kNodeHttp, test::closedPort());
  {
    CNodeTestRunner runner([&](const std::string& line, int level) { Recorder::callback(&recorder, line, level); });
    ASSERT_TRUE(runner.start(std::vector<CNodeInfo*>{socks4.get(), http.get()}, CNodeTestRunner::kChoiceUdp,
                             TestTargets::defaults()));
    runner.wait();
    EXPECT_EQ(recorder.snapshot(), Lines{"SOCKS 4 do not support UDP."});
    EXPECT_EQ(runner.summary().skipped, 1);
    EXPECT_EQ(socks4->ConnectedTimes, 0);

    recorder.lines.clear();
    ASSERT_TRUE(
        runner.start(std::vector<CNodeInfo*>{socks4.get()}, CNodeTestRunner::kChoiceBoth, TestTargets::defaults()));
    runner.wait();
    auto lines = recorder.snapshot();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "TCP Testing started."), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "UDP Testing started."), 0);
    EXPECT_EQ(runner.summary().failed, 1);
    EXPECT_EQ(runner.summary().skipped, 0);
  }
  EXPECT_EQ(CNodeTestRunner::levelColour(kLevelSuccess), 0x00C800u);
  EXPECT_EQ(CNodeTestRunner::timeStampPrefix().size(), 9u);
}

TEST(NodeTestRunner, NodesEditedOrRemovedDuringARunAreTestedAsTheyWereAndKeepTheirResults) {
  // The test window's run holds snapshots: the store may edit and free the
  // nodes at once (a use of a freed record shows under the sanitizers).
  CNodeMgr store;
  NodeParams p;
  p.type = kNodeSocks5;
  p.server = "127.0.0.1";
  p.server_port = test::closedPort();
  CNodeInfo* kept = store.add(p);
  p.remarks = "doomed";
  CNodeInfo* doomed = store.add(p);
  ASSERT_TRUE(kept && doomed);
  const int32_t keptId = kept->id, doomedId = doomed->id;
  std::vector<NodeRef> nodes = {store.snapshot(keptId), store.snapshot(doomedId)};
  Recorder recorder;
  std::vector<std::string> announced;
  CNodeTestRunner runner([&](const std::string& line, int level) { Recorder::callback(&recorder, line, level); },
                         [&](const NodeSnapshot& node) { announced.push_back(node.displayText()); });
  TestTargets oneSite = TestTargets::defaults();
  oneSite.sites = {"http://127.0.0.1:9/"};
  ASSERT_TRUE(runner.start(nodes, CNodeTestRunner::kChoiceTcp, oneSite));
  NodeParams edited = p;
  edited.remarks = "edited";
  edited.server = "192.0.2.1";  // never reached: the run has the old address
  ASSERT_TRUE(store.update(keptId, edited));
  ASSERT_TRUE(store.remove(doomedId));
  runner.wait();
  EXPECT_EQ(runner.summary().failed, 2);
  const std::string port = std::to_string(p.server_port);
  EXPECT_EQ(announced, (std::vector<std::string>{"[S5] 127.0.0.1:" + port, "[S5] doomed"}));
  auto lines = recorder.snapshot();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Connecting to SS node error."), 2);
  // The result reaches the record still in the store through the shared counters.
  EXPECT_EQ(store.find(keptId)->lastTestResult, 0);
  EXPECT_EQ(nodes[1]->counters->lastTestResult, 0);
}

TEST(NodeTestRunner, NewRunEndsThePreviousOneAndNoneOfItsLinesArriveAfterwards) {
  // A node that accepts and never answers: the first run waits in its SOCKS greeting.
  test::Listener silent;
  Node stuck = socksNode(kNodeSocks5, silent.port());
  Node refusing = socksNode(kNodeSocks5, test::closedPort());
  TestTargets oneSite = TestTargets::defaults();
  oneSite.sites = {"http://127.0.0.1:9/"};
  Recorder recorder;
  auto started = std::chrono::steady_clock::now();
  {
    CNodeTestRunner runner([&](const std::string& line, int level) { Recorder::callback(&recorder, line, level); });
    ASSERT_TRUE(runner.start({stuck.get()}, CNodeTestRunner::kChoiceTcp, oneSite));
    for (int i = 0; i < 500; ++i) {
      auto lines = recorder.snapshot();
      if (std::find(lines.begin(), lines.end(), "Connected to SS node.") != lines.end()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(recorder.snapshot().back(), "Connected to SS node.");
    std::size_t before = recorder.snapshot().size();
    ASSERT_TRUE(runner.start({refusing.get()}, CNodeTestRunner::kChoiceTcp, oneSite));
    runner.wait();
    auto lines = recorder.snapshot();
    Lines second(lines.begin() + static_cast<long>(before), lines.end());
    EXPECT_EQ(second.front(), "TCP Testing started.");
    EXPECT_EQ(std::count(second.begin(), second.end(), "TCP transmission...UnPassed!"), 1)
        << "a line of the ended run arrived";
    EXPECT_EQ(runner.summary().failed, 1);
  }
  // The ended run let go of its thread well before its 5 s read time-out.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
}

}  // namespace
}  // namespace vantor
