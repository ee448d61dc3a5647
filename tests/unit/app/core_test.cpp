// The core the front ends drive: its event queue (one delivering thread,
// posting order kept, nothing lost at the end), the controller's reports
// turned into events, and the catalogue and settings commands with logic of
// their own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/startup.h"

namespace vantor::app {
namespace {

CoreEvent status(const std::string& text) {
  CoreEvent e;
  e.kind = CoreEvent::kStatus;
  e.text = text;
  return e;
}

TEST(EventQueue, PostsFromManyThreadsArriveOnTheDeliveryThreadInEachPostersOrder) {
  CEventQueue queue;
  std::mutex lock;
  std::vector<std::string> seen;
  std::set<std::thread::id> deliverers;
  queue.startThread([&](const CoreEvent& e) {
    std::lock_guard<std::mutex> g(lock);
    seen.push_back(e.text);
    deliverers.insert(std::this_thread::get_id());
  });
  constexpr int kThreads = 4, kEach = 500;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t)
    posters.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) queue.post(status(std::to_string(t) + ":" + std::to_string(i)));
    });
  for (auto& p : posters) p.join();
  ASSERT_TRUE(queue.flush(10000));
  std::lock_guard<std::mutex> g(lock);
  ASSERT_EQ(seen.size(), std::size_t(kThreads * kEach));
  EXPECT_EQ(deliverers.size(), 1u) << "every event is delivered by one thread";
  EXPECT_EQ(deliverers.count(std::this_thread::get_id()), 0u);
  std::vector<int> next(kThreads, 0);
  for (const std::string& text : seen) {
    int t = std::stoi(text.substr(0, text.find(':')));
    int i = std::stoi(text.substr(text.find(':') + 1));
    ASSERT_EQ(i, next[t]) << "thread " << t << "'s events out of order";
    ++next[t];
  }
}

TEST(EventQueue, StoppingDeliversWhatWasPostedBefore) {
  std::vector<std::string> seen;
  {
    CEventQueue queue;
    // A slow listener: events pile up behind it.
    queue.startThread([&](const CoreEvent& e) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      seen.push_back(e.text);
    });
    for (int i = 0; i < 50; ++i) queue.post(status(std::to_string(i)));
    queue.stopThread();
    EXPECT_EQ(queue.pending(), 0u);
    // After the stop, a post waits in the queue (no thread delivers it).
    queue.post(status("late"));
    EXPECT_EQ(queue.pending(), 1u);
  }
  ASSERT_EQ(seen.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(seen[i], std::to_string(i));
}

TEST(EventQueue, AFrontEndDrainsOnItsOwnThreadWokenOncePerPost) {
  CEventQueue queue;
  std::atomic<int> wakes{0};
  queue.setWake([&] { ++wakes; });
  std::thread worker([&] {
    for (int i = 0; i < 3; ++i) queue.post(status("w" + std::to_string(i)));
  });
  worker.join();
  EXPECT_EQ(wakes.load(), 3);
  std::vector<std::string> seen;
  const auto self = std::this_thread::get_id();
  EXPECT_EQ(queue.drain([&](const CoreEvent& e) {
    EXPECT_EQ(std::this_thread::get_id(), self);
    seen.push_back(e.text);
  }),
            3);
  EXPECT_EQ(seen, (std::vector<std::string>{"w0", "w1", "w2"}));
  EXPECT_EQ(queue.drain([](const CoreEvent&) { FAIL() << "nothing is left"; }), 0);
  queue.setWake({});
  queue.post(status("quiet"));
  EXPECT_EQ(wakes.load(), 3);
}

TEST(EventQueue, AListenerThatPostsOrDrainsAgainKeepsTheOrder) {
  CEventQueue queue;
  std::vector<std::string> seen;
  std::function<void(const CoreEvent&)> listener = [&](const CoreEvent& e) {
    seen.push_back(e.text);
    if (e.text == "a") {
      // As a message box's own event loop would: a report posted now, and a
      // drain from inside the listener, which goes on with "b" before "c".
      queue.post(status("c"));
      queue.drain(listener);
    }
  };
  queue.post(status("a"));
  queue.post(status("b"));
  EXPECT_EQ(queue.drain(listener), 1) << "the nested call delivered the rest";
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(EventQueue, ASecondThreadDoesNotDeliverWhileOneDrains) {
  CEventQueue queue;
  std::atomic<bool> inside{false}, release{false};
  std::vector<std::string> seen;
  queue.post(status("first"));
  queue.post(status("second"));
  std::thread gui([&] {
    queue.drain([&](const CoreEvent& e) {
      seen.push_back(e.text);
      inside = true;
      while (!release) std::this_thread::yield();
    });
  });
  while (!inside) std::this_thread::yield();
  EXPECT_EQ(queue.drain([&](const CoreEvent& e) { seen.push_back("other thread: " + e.text); }), 0);
  release = true;
  gui.join();
  EXPECT_EQ(seen, (std::vector<std::string>{"first", "second"}));
}

// ---- the core over a backend that succeeds at once --------------------------

class QuickBackend : public IConnectionBackend {
 public:
  QuickBackend() {
    node.id = 7;
    node.type = kNodeSocks5;
    node.server = "127.0.0.1";
    node.server_port = 1080;
    facts.tap_connection_name = "vt0";
    facts.tap_connection_guid = "vt0";
    facts.tap_connection_index = 11;
    facts.tapCount = 1;
    facts.local_connection_name = "eth0";
    facts.local_connection_primary_dns = "10.0.0.53";
    facts.local_connection_shortest_r_nexthop = "10.0.0.1";
    facts.local_connection_shortest_r_ifindex = 2;
  }
  ControllerSettings settings() override {
    ControllerSettings s;
    s.AutomaticHideWindow = false;
    return s;
  }
  void applyDnsChoice() override {}
  void setTapAdapterConfigured() override {}
  void setLastUsedNodeId(int32_t) override {}
  void saveSettings() override {}
  CNodeInfo* findNode(int32_t id) override { return id == node.id ? &node : nullptr; }
  CNodeInfo* selectedNode() override { return &node; }
  void selectNode(int32_t) override {}
  int modeCount() override { return 1; }
  bool setCurrentMode(int index) override { return index == 0; }
  bool currentMode(ModeInfo& mode) override {
    mode = {0, "Global wide", 0, true};
    return true;
  }
  int loadNetworks() override { return 0; }
  void saveSubscriptions() override {}
  void runEvents(int) override {}
  bool setCurrentNode(NodeRef) override { return true; }
  void enableRelay() override {}
  void disableRelay() override {}
  uint16_t servicePort() override { return 16666; }
  void stopService() override {}
  void clearHostCache() override {}
  void renewClientIdentity() override {}
  bool startTunnel(const std::string&, uint16_t, bool) override { return true; }
  void stopTunnel() override {}
  bool testNode(const NodeRef&, bool) override { return true; }
  FailureReason takeFailureReason() override { return {}; }
  bool exitAddress(const NodeRef&, const std::string&, std::string& address) override {
    address = "203.0.113.9";
    return true;
  }
  std::vector<std::string> exitAddressServices() override { return {"http://echo/ip"}; }
  bool resolve(const std::string& host, std::string& address) override {
    address = host;
    return true;
  }
  bool isLocalAddress(const std::string& a) override { return a.rfind("127.", 0) == 0; }
  bool detectConnections(NetworkFacts& f) override {
    f = facts;
    return true;
  }
  bool currentAddress(const NetworkFacts&, std::string& address) override {
    address = "10.198.75.60";
    return true;
  }
  bool interfaceDown(int32_t) override { return false; }
  void tapStaticAddress(const NetworkFacts&) override {}
  void setTapDns(const NetworkFacts&, const std::string&, const std::string&) override {}
  void setTapMetric(const NetworkFacts&, int) override {}
  void tapReset(const NetworkFacts&) override {}
  void replaceDns(const std::string&, const std::string&, const std::string&) override {}
  void flushResolverCache() override {}
  bool setRoutePaths(const NetworkFacts&) override { return true; }
  void installRoutes(const NodeRef&, const std::string&, const std::string&, bool) override {}
  void removeAllRoutes() override {}
  bool installDriver() override { return true; }
  bool removeDriver(bool) override { return true; }
  bool httpProxyStarted() override { return true; }
  bool changeSystemProxy(int) override { return true; }
  bool removeSystemProxy() override { return true; }
  void sleepMs(int) override {}
  int64_t nowMs() override { return clock += 10; }

  CNodeInfo node;
  NetworkFacts facts;
  std::atomic<int64_t> clock{0};
};

class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vantor-core-test-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    paths::setConfigRoot(dir_);
    std::string error;
    ASSERT_TRUE(paths::ensureConfigFolders(error)) << error;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string dir_;
};

TEST_F(CoreTest, TheControllersReportsBecomeEventsDeliveredOnTheDrainingThreadInOrder) {
  QuickBackend backend;
  CVexorApp core;
  core.openConnection(backend);
  core.detectNetwork(/*wait=*/true);
  ASSERT_TRUE(core.connect(backend.node.id, 0));
  ASSERT_TRUE(core.waitIdle(10000));
  ASSERT_EQ(core.state(), kConnected);

  std::vector<CoreEvent> seen;
  const auto self = std::this_thread::get_id();
  core.events().drain([&](const CoreEvent& e) {
    EXPECT_EQ(std::this_thread::get_id(), self);
    seen.push_back(e);
  });
  // The worker reported from its own thread; the front end sees the states
  // in the order they happened and the summary after the connected state.
  std::vector<int> states;
  int connectedAt = -1, summaryAt = -1;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    if (seen[i].kind == CoreEvent::kState) {
      states.push_back(seen[i].state);
      if (seen[i].state == kConnected) connectedAt = static_cast<int>(i);
    }
    if (seen[i].kind == CoreEvent::kSummary && seen[i].summary.connected) summaryAt = static_cast<int>(i);
  }
  EXPECT_EQ(states, (std::vector<int>{kConnecting, kConnected}));
  ASSERT_GE(summaryAt, 0);
  EXPECT_NE(seen[summaryAt].summary.proxyLine.find("127.0.0.1:1080"), std::string::npos);
  EXPECT_GE(connectedAt, 0);

  ASSERT_TRUE(core.disconnect());
  ASSERT_TRUE(core.waitIdle(10000));
  seen.clear();
  core.events().drain([&](const CoreEvent& e) { seen.push_back(e); });
  states.clear();
  for (const CoreEvent& e : seen)
    if (e.kind == CoreEvent::kState) states.push_back(e.state);
  EXPECT_EQ(states, (std::vector<int>{kDisconnecting, kIdle}));
  EXPECT_NE(core.statusText().find("state: idle"), std::string::npos);

  // A second start asking to be shown: an event for the window.
  core.onShowWindow();
  bool shown = false;
  core.events().drain([&](const CoreEvent& e) { shown = e.kind == CoreEvent::kShowWindow; });
  EXPECT_TRUE(shown);
}

TEST_F(CoreTest, ConnectDisconnectRepeatsFromTheSameStateWithTheDeliveryThread) {
  QuickBackend backend;
  CVexorApp core;
  std::mutex lock;
  std::vector<int> states;
  core.events().startThread([&](const CoreEvent& e) {
    if (e.kind != CoreEvent::kState) return;
    std::lock_guard<std::mutex> g(lock);
    states.push_back(e.state);
  });
  core.openConnection(backend);
  core.detectNetwork(true);
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(core.connect(backend.node.id, 0)) << "round " << round;
    ASSERT_TRUE(core.waitIdle(10000));
    ASSERT_EQ(core.state(), kConnected) << "round " << round;
    ASSERT_TRUE(core.disconnect());
    ASSERT_TRUE(core.waitIdle(10000));
  }
  ASSERT_TRUE(core.events().flush(5000));
  std::lock_guard<std::mutex> g(lock);
  std::vector<int> once = {kConnecting, kConnected, kDisconnecting, kIdle};
  ASSERT_EQ(states.size(), 3 * once.size());
  for (std::size_t i = 0; i < states.size(); ++i) EXPECT_EQ(states[i], once[i % once.size()]) << i;
}

TEST_F(CoreTest, OpeningTheCatalogueSelectsTheLastUsedNodeAndSavingKeepsTheSelection) {
  CVexorApp core;
  CCatalogue& catalogue = core.catalogue();
  std::string error;
  std::vector<std::string> warnings;
  ASSERT_TRUE(catalogue.openCatalogue(error, warnings)) << error;
  CNodeMgr& store = catalogue.nodes();
  for (CNodeInfo* node : store.nodes()) store.remove(node->id);
  auto params = CCatalogue::parseNode("socks5://127.0.0.1:1080", error);
  ASSERT_TRUE(params) << error;
  CNodeInfo* a = store.add(*params);
  CNodeInfo* b = store.add(*params);
  ASSERT_TRUE(a && b);
  // Ids, not records: reading the store again frees the records it had.
  const int32_t aId = a->id, bId = b->id;
  store.select(bId);
  ASSERT_TRUE(catalogue.saveNodes(error, warnings)) << error;
  ASSERT_TRUE(catalogue.saveSelection(error, warnings)) << error;
  EXPECT_EQ(core.settings().get().LastUsedNodeId, bId);

  // Read back as the next command would: the selection is the saved one.
  store.select(aId);
  ASSERT_TRUE(catalogue.openNodeStore(error, warnings)) << error;
  EXPECT_EQ(store.selectedId(), bId);
  EXPECT_EQ(store.count(), 2u);

  // A damaged settings file is an error with its reason, not an empty
  // catalogue.
  std::filesystem::remove(paths::configFile("config.ini"));
  std::filesystem::create_directory(paths::configFile("config.ini"));
  EXPECT_FALSE(catalogue.openNodeStore(error, warnings));
  EXPECT_EQ(error.rfind("cannot read the settings: ", 0), 0u) << error;
}

TEST_F(CoreTest, NodeLinksAreRefusedWithTheirReason) {
  std::string error;
  EXPECT_FALSE(CCatalogue::parseNode("not a link", error));
  EXPECT_FALSE(error.empty());
  error.clear();
  EXPECT_FALSE(CCatalogue::parseNode("socks5://127.0.0.1:0", error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(CCatalogue::parseNode("socks4://127.0.0.1:1080", error)) << error;
}

TEST_F(CoreTest, TheServiceTakesItsNodeFromALinkOrSaysWhyNot) {
  CVexorApp core;
  std::string error;
  EXPECT_EQ(core.service().useNodeFrom("socks5://", error), nullptr);
  EXPECT_FALSE(error.empty());
  error.clear();
  // A Shadowsocks node without its password cannot serve.
  EXPECT_EQ(core.service().useNodeFrom("ss://YWVzLTI1Ni1nY206@127.0.0.1:8388", error), nullptr);
  EXPECT_FALSE(error.empty());
  error.clear();
  CNodeInfo* node = core.service().useNodeFrom("socks5://127.0.0.1:1080", error);
  ASSERT_NE(node, nullptr) << error;
  EXPECT_EQ(node->server_port, 1080);
}

TEST_F(CoreTest, SettingsChangesAreMadeUnderTheLockAndSaved) {
  CVexorApp core;
  std::string error;
  ASSERT_TRUE(core.settings().load(error)) << error;
  core.settings().change([](Settings& s) { s.last_proxymode_index = 3; });
  EXPECT_EQ(core.settings().get().last_proxymode_index, 3);
  ASSERT_TRUE(core.settings().save(error)) << error;
  core.settings().change([](Settings& s) { s.last_proxymode_index = 0; });
  ASSERT_TRUE(core.settings().load(error)) << error;
  EXPECT_EQ(core.settings().get().last_proxymode_index, 3) << "the saved value comes back";
}

TEST_F(CoreTest, SettingsByKeyRefuseBadValuesKeepSecretsAndSaveGoodOnes) {
  CVexorApp core;
  CSettingsStore& settings = core.settings();
  std::string error;
  ASSERT_TRUE(settings.load(error)) << error;
  const SettingKey* hide = findSettingKey("AutomaticHideWindow");
  const SettingKey* password = findSettingKey("password");
  ASSERT_TRUE(hide && password);

  bool refused = false;
  EXPECT_FALSE(settings.setFromText(*hide, "maybe", refused).empty());
  EXPECT_TRUE(refused) << "a bad value is the caller's input, not a failure";
  EXPECT_EQ(settings.valueText(*hide), "1") << "a refused value changes nothing";

  EXPECT_EQ(settings.setFromText(*hide, "0", refused), "");
  EXPECT_FALSE(refused);
  EXPECT_EQ(settings.setFromText(*password, "hunter2", refused), "");
  settings.change([](Settings& s) { s.AutomaticHideWindow = true; });
  ASSERT_TRUE(settings.load(error)) << error;
  EXPECT_EQ(settings.valueText(*hide), "0") << "the set value was saved";
  EXPECT_EQ(settings.valueText(*password), "hunter2");

  bool listed = false;
  for (const auto& [name, value] : settings.listShown()) {
    if (name != "password") continue;
    listed = true;
    EXPECT_EQ(value, "(set)") << "a list never shows a secret";
  }
  EXPECT_TRUE(listed);
}

TEST_F(CoreTest, TrafficIsNothingWithoutASelectionAndTheRateCountsOnlyWhileConnected) {
  CVexorApp core;
  CNodeMgr& store = core.catalogue().nodes();
  for (CNodeInfo* node : store.nodes()) store.remove(node->id);
  store.validateSelection();
  EXPECT_FALSE(core.traffic(true));
  std::string error;
  CNodeInfo* node = store.add(*CCatalogue::parseNode("socks5://127.0.0.1:1080", error));
  ASSERT_TRUE(node);
  store.select(node->id);
  node->addBytes(4096);
  auto idle = core.traffic(false);
  ASSERT_TRUE(idle);
  EXPECT_EQ(idle->rate, "0 B/s");
  EXPECT_EQ(idle->connections, 0);
  auto busy = core.traffic(true);
  ASSERT_TRUE(busy);
  EXPECT_EQ(busy->rate, node->rateText());
}

}  // namespace
}  // namespace vantor::app
