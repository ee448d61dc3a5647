#include "catalogue/settings.h"

#include <gtest/gtest.h>

#include "catalogue/ini_file.h"

namespace vantor {
namespace {

TEST(IniRead, NumbersAndBooleansAsTheFilesHoldThem) {
  EXPECT_EQ(iniInt("", 7), 7);
  EXPECT_EQ(iniInt("  ", 7), 7);
  EXPECT_EQ(iniInt("42", 7), 42);
  EXPECT_EQ(iniInt("12abc", 7), 12);
  EXPECT_EQ(iniInt("abc", 7), 0);
  EXPECT_EQ(iniInt("-1", 7), -1);
  EXPECT_EQ(iniInt("4294967295", 7), -1);
  EXPECT_EQ(iniInt("99999999999999999999999", 7), -1);  // out of range, never a wrapped small value

  EXPECT_TRUE(iniBool("yEs", false));
  EXPECT_TRUE(iniBool("TRUE", false));
  EXPECT_TRUE(iniBool("2", false));
  EXPECT_FALSE(iniBool("abc", true));
  EXPECT_FALSE(iniBool("0", true));
  EXPECT_TRUE(iniBool("", true));
}

TEST(Settings, MissingFileAndEmptySectionHaveDifferentDefaults) {
  Settings fresh = parseSettings("", "/cfg");
  EXPECT_FALSE(fresh.bGlobalMode);
  EXPECT_EQ(fresh.defaultportindex, -1);
  EXPECT_EQ(fresh.local_connection_shortest_r_ifindex, -1);
  EXPECT_TRUE(fresh.AutomaticHideWindow);
  EXPECT_EQ(fresh.DelayedConnect, 10);
  EXPECT_EQ(fresh.public_dns1, "208.67.222.222");
  EXPECT_EQ(fresh.strUserExtendPacFile, "/cfg/userpac.txt");

  Settings loaded = parseSettings("[basic]\n", "/cfg");
  EXPECT_TRUE(loaded.bGlobalMode);
  EXPECT_EQ(loaded.defaultportindex, 0);
  EXPECT_EQ(loaded.local_connection_shortest_r_ifindex, 0);
  EXPECT_EQ(loaded.dns_type, 2);
  EXPECT_TRUE(loaded.ForceProxyDNSServer);

  // Only the section counts; other sections do not make the file "existing".
  EXPECT_EQ(parseSettings("[other]\nbGlobalMode=1\n", "/cfg").defaultportindex, -1);
}

TEST(Settings, ValuesReadByTheRules) {
  Settings s = parseSettings(
      "[basic]\nstartup=Yes\nbDontProxyUDP=2\nForceProxyDNSServer=off\nDelayedConnect=\n"
      "testurl=\nLastUsedNodeId=-1\nstrUserExtendPacFile=/elsewhere\nTestSites=http://a/,http://b/\n",
      "/cfg");
  EXPECT_TRUE(s.startup);
  EXPECT_TRUE(s.bDontProxyUDP);
  EXPECT_FALSE(s.ForceProxyDNSServer);  // letters only read as 0
  EXPECT_EQ(s.DelayedConnect, 10);      // empty reads as the default
  EXPECT_EQ(s.testurl, "http://www.example.com/");
  EXPECT_EQ(s.LastUsedNodeId, -1);
  EXPECT_EQ(s.strUserExtendPacFile, "/cfg/userpac.txt");
  EXPECT_EQ(s.TestSites, "http://a/,http://b/");
  // IPv6 through the tunnel is on unless the file turns it off.
  EXPECT_TRUE(s.bIPv6);
  EXPECT_FALSE(parseSettings("[basic]\nbIPv6=0\n", "/cfg").bIPv6);
}

TEST(Settings, SaveRoundTripsEveryKeyAndKeepsUnknownOnes) {
  Settings s = parseSettings("[basic]\nFutureKey=keep me\n", "/cfg");
  s.password = "pa:ss=word\nwith break";
  s.local_connection_name = "eth0";
  s.public_dns2 = "";
  s.nTcpWindow = 65535;
  s.DelayedConnect = 300;
  s.bIPv6 = false;
  std::string text = settingsText(s);
  EXPECT_EQ(text.find("username"), std::string::npos);  // empty account strings are left out
  EXPECT_EQ(text.find("pa:ss"), std::string::npos);     // the password is not in clear text

  Settings back = parseSettings(text, "/cfg");
  EXPECT_EQ(back.password, s.password);
  EXPECT_EQ(back.local_connection_name, "eth0");
  EXPECT_EQ(back.public_dns2, "");
  EXPECT_EQ(back.nTcpWindow, 65535);
  EXPECT_EQ(back.DelayedConnect, 300);
  EXPECT_FALSE(back.bIPv6);
  ASSERT_EQ(back.unknownKeys.size(), 1u);
  EXPECT_EQ(back.unknownKeys[0].second, "keep me");
  EXPECT_EQ(settingsText(back), text);
}

TEST(Settings, LineBreaksCannotInjectKeys) {
  Settings s = parseSettings("", "/cfg");
  s.strOnlinePacUrl = "http://x/\nbDontProxyUDP=1";
  Settings back = parseSettings(settingsText(s), "/cfg");
  EXPECT_FALSE(back.bDontProxyUDP);
}

TEST(Settings, SetFromTextAppliesTheDialogChecks) {
  Settings s = parseSettings("", "/cfg");
  auto set = [&](const char* key, const char* value) { return setSettingFromText(s, *findSettingKey(key), value); };
  EXPECT_EQ(set("DelayedConnect", "0"), "The delayed connect time can only be 1-300 seconds");
  EXPECT_EQ(set("DelayedConnect", "301"), "The delayed connect time can only be 1-300 seconds");
  EXPECT_EQ(set("DelayedConnect", "300"), "");
  EXPECT_EQ(set("public_dns1", "0.0.0.0"), "Primary DNS must be specific!");
  EXPECT_NE(set("public_dns1", "1.2.3"), "");
  EXPECT_NE(set("public_dns1", "1.2.3.256"), "");
  EXPECT_EQ(set("public_dns1", "localdns"), "");
  EXPECT_EQ(set("public_dns2", ""), "");
  EXPECT_NE(set("bDontProxyUDP", "maybe"), "");
  EXPECT_EQ(set("bdontproxyudp", "yes"), "");  // key names ignore case, as in the file
  EXPECT_TRUE(s.bDontProxyUDP);
  EXPECT_NE(set("LastUsedNodeId", "12x"), "");
  EXPECT_NE(set("GeoServices", "ftp://x"), "");
  EXPECT_NE(set("UdpTestPairs", "8.8.8.8"), "");
  EXPECT_EQ(set("UdpTestPairs", "8.8.8.8,example.com;1.1.1.1,example.org"), "");
  EXPECT_EQ(s.DelayedConnect, 300);

  // A provider chosen by either name brings its addresses; one without an
  // alternate clears it.
  EXPECT_EQ(set("public_select_dns_name", "谷歌 DNS"), "");
  EXPECT_EQ(s.public_select_dns_name, "Google DNS");
  EXPECT_EQ(s.public_dns1, "8.8.8.8");
  EXPECT_EQ(set("public_select_dns_name", "Baidu DNS(China)"), "");
  EXPECT_EQ(s.public_dns2, "");
  EXPECT_NE(set("public_select_dns_name", "Nobody DNS"), "");
}

TEST(Settings, DnsProviderTable) {
  const auto& table = dnsProviders();
  ASSERT_EQ(table.size(), 28u);
  EXPECT_STREQ(table[0].name, "Open DNS");
  EXPECT_STREQ(table[6].alternate, "84.200.70.40");
  EXPECT_STREQ(table[14].localName, "OneDNS(中国北方专用)");
  EXPECT_STREQ(table[kOwnDnsProvider].name, "Use your own DNS");
  EXPECT_EQ(findDnsProvider("手动指定DNS"), kOwnDnsProvider);
}

TEST(SettingsDialog, ChecksInOrderAndTakesTheChoice) {
  SettingsDialogInput in;
  in.DelayedConnect = 0;
  EXPECT_EQ(checkSettingsDialog(in), "The delayed connect time can only be 1-300 seconds");
  in.DelayedConnect = 20;
  EXPECT_EQ(checkSettingsDialog(in), "Primary DNS must be specific!");
  in.preferredDns[0] = 9;
  in.preferredDns[3] = 9;
  EXPECT_EQ(checkSettingsDialog(in), "Select a local connection please.");
  in.localConnection = AdapterChoice{"eth0", "guid-1", 2, "192.168.1.1", "", ""};
  EXPECT_EQ(checkSettingsDialog(in), "Select a TUN/TAP adapter please.");
  in.tapConnection = AdapterChoice{"vantor0", "guid-2", 5, "", "", ""};
  in.dnsProvider = kOwnDnsProvider;
  EXPECT_EQ(checkSettingsDialog(in), "");

  Settings s = parseSettings("", "/cfg");
  s.public_dns1.clear();
  s.RecommendedProxyDNS = false;
  applySettingsDialog(in, s);
  EXPECT_EQ(s.public_dns1, "9.0.0.9");
  EXPECT_EQ(s.public_dns2, "");  // alternate with a zero first octet is none
  EXPECT_EQ(s.local_connection_index, 2);
  EXPECT_EQ(s.local_connection_primary_dns, "192.168.1.1");
  EXPECT_EQ(s.tap_connection_index, 5);
  EXPECT_EQ(s.DelayedConnect, 20);
  EXPECT_TRUE(s.RecommendedProxyDNS);
  EXPECT_EQ(s.public_select_dns_name, "Use your own DNS");

  in.dnsProvider = 1;
  applySettingsDialog(in, s);
  EXPECT_EQ(s.public_dns1, "8.8.8.8");
  EXPECT_EQ(s.public_dns2, "8.8.4.4");

  Settings empty = parseSettings("", "/cfg");
  EXPECT_EQ(checkSettingsDialogCancel(empty), "You must lelect a local connection and a TUN/TAP adapter.");
  EXPECT_EQ(checkSettingsDialogCancel(s), "");
}

}  // namespace
}  // namespace vantor
