#include <gtest/gtest.h>

#include "diag/test_targets.h"
#include "platform/host.h"
#include "platform/net.h"

namespace vantor {
namespace {

TEST(TestTargets, SitesAreSplitForAnHttpRequest) {
  SiteUrl url;
  ASSERT_TRUE(parseSite("www.example.com", url));
  EXPECT_EQ(url.host, "www.example.com");
  EXPECT_EQ(url.port, 80);
  EXPECT_EQ(url.path, "/");
  ASSERT_TRUE(parseSite("http://127.0.0.1:8080/a/b?x=1", url));
  EXPECT_EQ(url.host, "127.0.0.1");
  EXPECT_EQ(url.port, 8080);
  EXPECT_EQ(url.path, "/a/b?x=1");
  // The tester speaks plain HTTP only.
  EXPECT_FALSE(parseSite("https://www.example.com/", url));
  EXPECT_FALSE(parseSite("", url));
  EXPECT_FALSE(parseSite("http://", url));
}

TEST(TestTargets, EchoedAddressMustBeFourNumbersWithANonZeroFirst) {
  std::string address;
  EXPECT_TRUE(parseEchoedAddress("203.0.113.7\n", address));
  EXPECT_EQ(address, "203.0.113.7");
  EXPECT_TRUE(parseEchoedAddress("1.2.3.4\r\n", address));
  EXPECT_EQ(address, "1.2.3.4");
  for (const char* bad :
       {"0.1.2.3", "1.2.3", "1.2.3.4.5", "1..3.4", "256.1.1.1", "1.2.3.x", "", "<html>", "1.2.3.1000"})
    EXPECT_FALSE(parseEchoedAddress(bad, address)) << bad;
}

TEST(TestTargets, SettingsValuesReplaceTheDefaultsOnlyWhenGiven) {
  auto defaults = TestTargets::defaults();
  ASSERT_EQ(defaults.sites.size(), 4u);
  ASSERT_EQ(defaults.udpPairs.size(), 4u);
  EXPECT_EQ(defaults.udpPairs[0].server, "114.114.114.114");
  EXPECT_EQ(defaults.udpPairs[3].server, "223.5.5.5");
  EXPECT_EQ(defaults.exitServices.size(), 3u);

  auto same = TestTargets::fromSettings("", " ", "");
  EXPECT_EQ(same.sites, defaults.sites);
  EXPECT_EQ(same.udpPairs.size(), 4u);

  auto mine = TestTargets::fromSettings("http://a/, b ,", "127.0.0.2, x.test; broken; ,y; 10.0.0.1,z", "http://e/ip");
  EXPECT_EQ(mine.sites, (std::vector<std::string>{"http://a/", "b"}));
  ASSERT_EQ(mine.udpPairs.size(), 2u);
  EXPECT_EQ(mine.udpPairs[0].server, "127.0.0.2");
  EXPECT_EQ(mine.udpPairs[0].name, "x.test");
  EXPECT_EQ(mine.udpPairs[1].name, "z");
  EXPECT_EQ(mine.exitServices, std::vector<std::string>{"http://e/ip"});
  // A value with nothing usable in it does not fall back to the public defaults.
  EXPECT_TRUE(TestTargets::fromSettings("", "broken", "").udpPairs.empty());
}

TEST(TestTargets, LocalAddressesAreThisMachineAndItsNeighbours) {
  EXPECT_TRUE(isLocalAddress("localhost"));
  EXPECT_TRUE(isLocalAddress("LocalHost"));
  EXPECT_TRUE(isLocalAddress("127.0.0.1"));
  EXPECT_TRUE(isLocalAddress("127.200.1.9"));
  if (!platform::hostName().empty()) {
    EXPECT_TRUE(isLocalAddress(platform::hostName()));
  }
  for (const auto& text : platform::hostIpv4Addresses()) {
    uint32_t own = 0;
    ASSERT_TRUE(platform::parseIpv4(text, own));
    uint32_t neighbour = own ^ 0xFE000000u;  // another host in the same /24 (network order)
    EXPECT_TRUE(isLocalAddress(platform::formatIpv4(neighbour))) << platform::formatIpv4(neighbour);
  }
  // A documentation address outside every /24 of this machine.
  for (const char* remote : {"192.0.2.1", "198.51.100.1", "203.0.113.1"}) {
    uint32_t a = 0;
    platform::parseIpv4(remote, a);
    bool neighbour = false;
    for (const auto& text : platform::hostIpv4Addresses()) {
      uint32_t own = 0;
      platform::parseIpv4(text, own);
      neighbour |= ((own ^ a) & 0x00FFFFFFu) == 0;
    }
    if (neighbour) continue;
    EXPECT_FALSE(isLocalAddress(remote)) << remote;
    break;
  }
  EXPECT_FALSE(isLocalAddress("example.com"));
}

}  // namespace
}  // namespace vantor
