#include "service/host_cache.h"

#include <gtest/gtest.h>

#include "platform/ports.h"
#include "service/ss_manager.h"

namespace vantor {
namespace {

struct CacheFixture : ::testing::Test {
  CHostCache cache;
  int64_t now = 1'000'000;
  int resolves = 0;
  void SetUp() override {
    cache.setClock([this] { return now; });
    cache.setResolver([this](const std::string& name, platform::IpEndpoint& address) {
      ++resolves;
      if (name == "missing.invalid") return false;
      if (name == "v6only.example") return platform::parseIpAddress("fd00::7", address);
      return platform::parseIpAddress(resolves == 1 ? "10.0.0.1" : "10.0.0.2", address);
    });
  }
};

TEST_F(CacheFixture, EntriesExpireAfterFortyEightHoursButStay) {
  std::string ip;
  ASSERT_TRUE(cache.resolveHost("node.example", ip));
  EXPECT_EQ(ip, "10.0.0.1");
  now += CHostCache::kLifetimeSeconds - 1;
  ASSERT_TRUE(cache.resolveHost("node.example", ip));
  EXPECT_EQ(resolves, 1);

  now += 2;  // 48 h and 1 s after storing
  EXPECT_FALSE(cache.cacheLookup("node.example", ip));
  EXPECT_TRUE(cache.cacheContains("node.example"));
  ASSERT_TRUE(cache.resolveHost("node.example", ip));
  EXPECT_EQ(resolves, 2);
  EXPECT_EQ(ip, "10.0.0.2");
  // The old entry was not replaced, so it is still expired.
  EXPECT_FALSE(cache.cacheLookup("node.example", ip));

  cache.cacheStore("node.example", "10.9.9.9");
  ASSERT_TRUE(cache.cacheLookup("node.example", ip));
  EXPECT_EQ(ip, "10.9.9.9");
}

TEST_F(CacheFixture, KeysAreCaseSensitiveAndFailuresReported) {
  std::string ip;
  cache.cacheStore("Node", "1.1.1.1");
  EXPECT_FALSE(cache.cacheContains("node"));
  EXPECT_FALSE(cache.resolveHost("missing.invalid", ip));
  EXPECT_FALSE(cache.cacheContains("missing.invalid"));
}

TEST_F(CacheFixture, FillAddressUsesDottedAddressesDirectly) {
  platform::Ipv4Endpoint ep{};
  ASSERT_TRUE(cache.fillAddress(ep, "192.0.2.7", 8080));
  EXPECT_EQ(platform::formatIpv4(ep.address), "192.0.2.7");
  EXPECT_EQ(ep.port, 8080);
  EXPECT_EQ(resolves, 0);
  ASSERT_TRUE(cache.fillAddress(ep, "node.example", 1));
  EXPECT_EQ(platform::formatIpv4(ep.address), "10.0.0.1");
  EXPECT_FALSE(cache.fillAddress(ep, "missing.invalid", 1));
}

TEST_F(CacheFixture, NodeAddressesOfEitherFamily) {
  platform::IpEndpoint ep;
  ASSERT_TRUE(cache.fillNodeAddress(ep, "[fd00::1]", 8388));
  EXPECT_TRUE(ep.ipv6);
  EXPECT_EQ(platform::formatIpEndpoint(ep), "[fd00::1]:8388");
  ASSERT_TRUE(cache.fillNodeAddress(ep, "192.0.2.7", 1080));
  EXPECT_FALSE(ep.ipv6) << "an IPv4 literal after an IPv6 one";
  EXPECT_EQ(platform::formatIpEndpoint(ep), "192.0.2.7:1080");
  EXPECT_EQ(resolves, 0);

  // A name without IPv4 addresses is reached over IPv6, and stays an IPv6
  // address in the cache; the IPv4-only lookup does not take it.
  ASSERT_TRUE(cache.fillNodeAddress(ep, "v6only.example", 443));
  EXPECT_TRUE(ep.ipv6);
  EXPECT_EQ(platform::formatIpAddress(ep), "fd00::7");
  std::string ip;
  ASSERT_TRUE(cache.cacheLookup("v6only.example", ip));
  EXPECT_EQ(ip, "fd00::7");
  platform::Ipv4Endpoint v4{};
  EXPECT_FALSE(cache.fillAddress(v4, "v6only.example", 443));
  EXPECT_FALSE(cache.fillNodeAddress(ep, "missing.invalid", 1));
}

TEST(PortChoice, SkipsPortsInTheTable) {
  std::vector<uint16_t> inUse = {16666, 16667, 16669};
  EXPECT_EQ(CSSManager::choosePort(16666, 100, &inUse), 16668);
  EXPECT_EQ(CSSManager::choosePort(16666, 100, nullptr), 16666);
  std::vector<uint16_t> all;
  for (int p = 16666; p < 16766; ++p) all.push_back(static_cast<uint16_t>(p));
  EXPECT_EQ(CSSManager::choosePort(16666, 100, &all), 0);
}

TEST(PortChoice, TableListsAListeningSocket) {
  platform::SocketHandle s = platform::createSocket(platform::SocketType::Tcp);
  ASSERT_TRUE(platform::bindSocket(s, {platform::kLoopbackAddress, 0}));
  ASSERT_TRUE(platform::listenSocket(s, 1));
  platform::Ipv4Endpoint local{};
  platform::localEndpoint(s, local);
  auto ports = platform::tcpPortsInUse();
  ASSERT_TRUE(ports);
  EXPECT_TRUE(std::binary_search(ports->begin(), ports->end(), local.port));
  platform::closeSocket(s);
}

TEST(CurrentNode, AcceptsOnlyCompleteNodes) {
  CSSManager& service = CSSManager::instance();
  EXPECT_FALSE(service.setCurrentNode(nullptr));
  CNodeInfo socks;
  socks.server = "h";
  socks.server_port = 1080;
  ASSERT_TRUE(service.setCurrentNode(&socks));

  CNodeInfo ss;
  ss.type = kNodeShadowsocks;
  ss.server = "h";
  ss.server_port = 8388;
  ss.password = "pw";
  EXPECT_FALSE(service.setCurrentNode(&ss));  // no method
  ASSERT_TRUE(service.currentNode());
  EXPECT_EQ(service.currentNode()->counters, socks.counters()) << "a refused node leaves the current one";
  socks.server = "edited";
  socks.server_port = 1;
  EXPECT_EQ(service.currentNode()->server, "h") << "the service keeps the parameters it was given";
  EXPECT_EQ(service.currentNode()->server_port, 1080);
  ss.method = "aes-256-gcm";
  ss.plugin = "obfs-local";
  EXPECT_FALSE(service.setCurrentNode(&ss)) << "a plugin that does not run";
  ss.plugin.clear();
  EXPECT_TRUE(service.setCurrentNode(&ss));

  CNodeInfo http;
  http.type = kNodeHttp;
  http.server = "h";
  EXPECT_FALSE(service.setCurrentNode(&http));  // no port
  http.server_port = 8080;
  EXPECT_TRUE(service.setCurrentNode(&http));
  CNodeInfo odd;
  odd.type = 9;
  odd.server = "h";
  odd.server_port = 1;
  EXPECT_FALSE(service.setCurrentNode(&odd));
}

}  // namespace
}  // namespace vantor
