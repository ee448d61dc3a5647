#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "catalogue/country.h"
#include "catalogue/geo_lookup.h"
#include "catalogue/node_file.h"
#include "catalogue/node_mgr.h"
#include "catalogue/settings.h"

namespace vantor {
namespace {

NodeParams socks(const std::string& server, uint16_t port, const std::string& group = {}) {
  NodeParams p;
  p.server = server;
  p.server_port = port;
  p.group = group;
  return p;
}

std::string tempDir() {
  char pattern[] = "/tmp/vantor-store-XXXXXX";
  return ::mkdtemp(pattern);
}

TEST(NodeStore, IdsAreNeverReusedAndRefusedNodesUseNone) {
  CNodeMgr store;
  EXPECT_EQ(store.add(socks("a", 1))->id, 0);
  EXPECT_EQ(store.add(socks("b", 2))->id, 1);
  EXPECT_EQ(store.add(socks("c", 0)), nullptr);
  EXPECT_EQ(store.add(socks("   ", 3)), nullptr);  // blanks only are no server
  EXPECT_EQ(store.add(std::unique_ptr<CNodeInfo>()), nullptr);
  EXPECT_TRUE(store.remove(0));
  EXPECT_FALSE(store.remove(0));
  EXPECT_EQ(store.add(socks("d", 4))->id, 2);
  EXPECT_EQ(store.count(), 2u);
  EXPECT_EQ(store.update(9, socks("e", 5)), nullptr);
}

TEST(NodeStore, RemovedNodesLeaveWhatOtherThreadsHoldUsable) {
  // Other threads hold snapshots, never the record: the record is freed on
  // removal, the snapshot and the counters it shares stay valid.
  CNodeMgr store;
  CNodeInfo* node = store.add(socks("a", 1));
  const int32_t id = node->id;
  node->resolvedIp = "192.0.2.1";
  NodeRef held = store.snapshot(id);
  ASSERT_TRUE(held);
  EXPECT_EQ(held->connectAddress(), "192.0.2.1");
  node->addUploaded(10);
  ASSERT_TRUE(store.update(id, socks("b", 2)));
  EXPECT_EQ(held->server, "a") << "an edit leaves a snapshot taken before it";
  EXPECT_EQ(held->server_port, 1);
  EXPECT_EQ(held->connectAddress(), "192.0.2.1");
  EXPECT_EQ(store.snapshot(id)->connectAddress(), "b") << "the next snapshot has the edit";
  EXPECT_EQ(held->counters->Upload_traffic.load(), 0) << "the edit reset the shared counters";
  ASSERT_TRUE(store.remove(id));
  EXPECT_EQ(store.find(id), nullptr);
  EXPECT_EQ(store.snapshot(id), nullptr);
  EXPECT_EQ(held->server, "a");  // ASan would object if it pointed into the freed record
  held->counters->addDownloaded(7);
  EXPECT_EQ(held->counters->Download_traffic.load(), 7);
}

TEST(NodeStore, SelectionRules) {
  CNodeMgr store;
  EXPECT_EQ(store.selectedNode(), nullptr);
  store.selectFirst();
  EXPECT_EQ(store.selectedId(), -1);
  store.add(socks("a", 1));
  store.add(socks("b", 2));
  store.select(1);
  store.select(7);  // unknown: kept
  store.select(-1);
  EXPECT_EQ(store.selectedId(), 1);
  store.remove(1);
  EXPECT_EQ(store.selectedId(), 1);  // until validated
  store.validateSelection();
  EXPECT_EQ(store.selectedId(), -1);
  // Refresh selects the first node when nothing is selected and highlights
  // the requested node when it exists, else the selection.
  EXPECT_EQ(store.refresh(0, false), 0);
  EXPECT_EQ(store.selectedId(), 0);
  EXPECT_EQ(store.refresh(5, false), 0);
}

TEST(NodeStore, NormalisesNewNodesOnly) {
  CNodeMgr store;
  NodeParams p = socks(" host ", 8388);
  p.type = kNodeShadowsocks;
  // An unknown cipher is refused, never stored as "none" (which would send
  // everything in the clear); "none" given as such stays allowed.
  p.method = "no-such-cipher";
  EXPECT_EQ(unsupportedNodeReason(p), "Unsupported encryption: no-such-cipher");
  EXPECT_EQ(store.add(p), nullptr);
  EXPECT_EQ(store.count(), 0u);
  p.method = "none";
  CNodeInfo* node = store.add(p);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->id, 0);
  EXPECT_EQ(node->server, "host");
  EXPECT_EQ(node->method, "none");
  EXPECT_EQ(node->obfs, "plain");
  EXPECT_EQ(node->protocol, "origin");
  p.method = "still-unknown";
  p.obfs = "tls1.2_ticket_auth";
  store.update(node->id, p);
  EXPECT_EQ(node->method, "still-unknown");
  EXPECT_EQ(node->obfs, "tls1.2_ticket_auth");
  EXPECT_EQ(store.addFromLink("ss://YWVzLTI1Ni1nY206cGFzcw@1.2.3.4:8388#a")->method, "aes-256-gcm");
}

TEST(NodeStore, TrafficTotalsAndTheirText) {
  CNodeMgr store;
  store.add(socks("a", 1))->addUploaded(1000);
  store.add(socks("b", 2))->addDownloaded(24);
  EXPECT_EQ(store.totalTraffic(), 1024);
  EXPECT_EQ(store.totalTrafficText(), "1.50 K");  // 1.5 times the total
  store.resetAllStatistics();
  EXPECT_EQ(store.totalTrafficText(), "0 B");
}

TEST(NodeStore, GroupedListAndObservers) {
  CNodeMgr store;
  std::vector<std::pair<NodeChange, int32_t>> seen;
  int token = store.addObserver([&](NodeChange c, int32_t id) { seen.emplace_back(c, id); });
  store.add(socks("a", 1, "g1"));
  store.add(socks("b", 2));
  store.add(socks("c", 3, "g1"));
  store.select(1);
  auto groups = store.groupedNodes();
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].name, "g1");
  ASSERT_EQ(groups[0].items.size(), 2u);
  EXPECT_EQ(groups[0].items[1].text, "[S5] c:3");
  EXPECT_EQ(groups[1].name, "Default Group");
  EXPECT_EQ(groups[1].items[0].groupedText, "[S5] Default Group -> b:2");
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[3], std::make_pair(NodeChange::Selected, 1));
  store.removeObserver(token);
  store.add(socks("d", 4));
  EXPECT_EQ(seen.size(), 4u);
}

TEST(NodeStore, GroupReplacementKeepsTheSelectedNodeWhenStillOffered) {
  CNodeMgr store;
  store.add(socks("mine", 1));
  const int32_t old1 = store.add(socks("s1.example", 1000, "sub"))->id;
  CNodeInfo* old2 = store.add(socks("S2.example", 2000, "sub"));
  old2->addUploaded(5000);
  store.select(old2->id);
  std::vector<NodeParams> fresh = {socks("s3.example", 3000, "sub"), socks("s2.example", 2000, "sub")};
  auto r = store.replaceGroups({"sub"}, fresh);
  EXPECT_EQ(r.removed, 1);
  EXPECT_EQ(r.added, 1);
  EXPECT_TRUE(r.keptSelection);
  EXPECT_EQ(store.selectedId(), old2->id);
  EXPECT_EQ(store.find(old1), nullptr);
  EXPECT_EQ(store.count(), 3u);
  EXPECT_EQ(old2->Upload_traffic.load(), 5000);  // same offer: counters kept
  EXPECT_NE(store.find(0), nullptr);             // other groups untouched

  // An offer without the selected node drops it and the selection.
  r = store.replaceGroups({"sub"}, {socks("s4.example", 4000, "sub")});
  EXPECT_FALSE(r.keptSelection);
  EXPECT_EQ(store.selectedId(), -1);
  EXPECT_EQ(store.count(), 2u);
}

TEST(NodeStore, ImportNamesEveryPieceNotAdded) {
  CNodeMgr store;
  const std::string text =
      "ss://YWVzLTI1Ni1nY206cGFzcw@1.2.3.4:8388#a, socks5://u:p@10.0.0.5:1080\r\n"
      "\n"
      "socks4://10.0.0.4:1081 not-a-link ss://YWVzLTI1Ni1nbWM6cGFzcw@1.2.3.5:8388#typo\r"
      "ss://YWVzLTI1Ni1nY206cGFzcw@1.2.3.6:8388/?plugin=obfs-local%3Bobfs%3Dhttp#p\n"
      "ssr://broken\n";
  CNodeMgr::ImportReport report = store.importLinks(text);
  EXPECT_EQ(report.added, 4);
  ASSERT_EQ(store.count(), 4u);
  EXPECT_EQ(store.find(1)->type, kNodeSocks5);
  EXPECT_EQ(store.find(1)->username, "u");
  EXPECT_EQ(store.find(2)->type, kNodeSocks4);
  // The plugin link is stored with its plugin, which connecting refuses
  // while its program is not installed.
  EXPECT_EQ(store.find(3)->plugin, "obfs-local");
  EXPECT_EQ(store.find(3)->plugin_opts, "obfs=http");
  const std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", "/nonexistent", 1);
  EXPECT_NE(unsupportedNodeReason(store.find(3)->params()).find("plugin obfs-local was not found"), std::string::npos);
  ::setenv("PATH", savedPath.c_str(), 1);
  EXPECT_TRUE(unstorableNodeReason(store.find(3)->params()).empty());
  ASSERT_EQ(report.refused.size(), 3u);
  EXPECT_EQ(report.refused[0].line, 3);
  EXPECT_EQ(report.refused[0].link, "not-a-link");
  EXPECT_EQ(report.refused[0].reason, "not a link");
  EXPECT_EQ(report.refused[1].line, 3);
  EXPECT_EQ(report.refused[1].reason, "Unsupported encryption: aes-256-gmc");
  EXPECT_EQ(report.refused[2].line, 5);
  EXPECT_EQ(report.refused[2].reason, "Can not resolve this link.");
}

TEST(NodeStore, SubscriptionReplacesOnlyItsOwnNodes) {
  CNodeMgr store;
  auto fromSub = [](const std::string& server, uint16_t port, const std::string& sub) {
    NodeParams p = socks(server, port, "127.0.0.1");
    p.subscription = sub;
    return p;
  };
  store.add(socks("mine", 1, "127.0.0.1"));  // added by hand into the same group
  store.add(fromSub("a1", 1, "http://127.0.0.1/a"));
  store.add(fromSub("b1", 1, "http://127.0.0.1/b"));
  auto r = store.replaceSubscription("http://127.0.0.1/a", {"127.0.0.1"}, {"127.0.0.1"},
                                     {socks("a2", 2, "127.0.0.1"), socks("a3", 3, "127.0.0.1")});
  EXPECT_EQ(r.removed, 1);
  EXPECT_EQ(r.added, 2);
  std::vector<std::string> servers;
  for (CNodeInfo* n : store.nodes()) servers.push_back(n->server + "@" + n->subscription);
  EXPECT_EQ(servers, (std::vector<std::string>{"mine@", "b1@http://127.0.0.1/b", "a2@http://127.0.0.1/a",
                                               "a3@http://127.0.0.1/a"}));

  // Nodes saved before they named their subscription: a group that only
  // this subscription used is its own; a shared one gives up only the nodes
  // the subscription offers again.
  CNodeMgr old;
  const std::vector<std::pair<std::string, std::string>> saved = {
      {"x1", "solo"}, {"x2", "solo"}, {"y1", "shared"}, {"y2", "shared"}};
  for (const auto& [server, group] : saved)
    old.add(socks(server, server[1] == '1' ? 1 : 2, group))->legacyOrigin = true;
  old.add(socks("by-hand", 9, "solo"));  // added since: never taken
  r = old.replaceSubscription("http://h/x", {"solo"}, {"shared"}, {socks("x3", 3, "solo")});
  EXPECT_EQ(r.removed, 2);
  r = old.replaceSubscription("http://h/y", {"shared"}, {"shared"}, {socks("y2", 2, "shared")});
  EXPECT_EQ(r.removed, 1);
  std::vector<std::string> left;
  for (CNodeInfo* n : old.nodes()) left.push_back(n->server + (n->legacyOrigin ? "?" : ""));
  EXPECT_EQ(left, (std::vector<std::string>{"y1?", "by-hand", "x3", "y2"}));
}

TEST(NodeStore, NodeDialogChecksInOrder) {
  NodeParams p;
  p.type = 0;
  EXPECT_EQ(checkNodeDialog(p, true), "Select a proxy type please.");
  p.type = kNodeHttp;
  EXPECT_EQ(checkNodeDialog(p, true), "HTTP protocol is not supported yet.");
  p.type = kNodeShadowsocks;
  EXPECT_EQ(checkNodeDialog(p, false), "Input server IP please.");
  p.server = "h";
  EXPECT_EQ(checkNodeDialog(p, false), "Port must be in 0-65535.");
  p.server_port = 1;
  EXPECT_EQ(checkNodeDialog(p, false), "Input SS server password please.");
  p.password = "x";
  for (const char* bad : {"1.2.3", "0.1.2.3", "1.2.3.256", "1.2.3.4:80"}) {
    p.AdditionalRoute = bad;
    EXPECT_EQ(checkNodeDialog(p, false), "An invalid IP was entered in the additional route form") << bad;
  }
  p.AdditionalRoute = "localhost";
  EXPECT_EQ(checkNodeDialog(p, false), "");
  EXPECT_EQ(p.AdditionalRoute, "127.0.0.1");
  EXPECT_EQ(p.group, "Default Group");
}

TEST(NodeFile, EveryFieldSurvivesAndIdsCarryOver) {
  std::string dir = tempDir();
  std::string path = dir + "/nodes.ini";
  {
    CNodeMgr store;
    store.add(socks("gone", 1));
    NodeParams p;
    p.type = kNodeShadowsocks;
    p.server = "h.example";
    p.server_port = 8388;
    p.password = " pa%ss\nword ";
    p.method = "aes-128-gcm";
    p.protocol = "auth_chain_a";
    p.obfs = "http_simple";
    p.obfsparam = "cdn.example";
    p.protocolparam = "12:abc";
    p.remarks = "ノード [1]";
    p.group = "grüppe";
    p.server_udp_port = 53;
    p.udp_over_tcp = true;
    p.enable = false;
    p.AdditionalRoute = "9.9.9.9";
    p.nCountryIndex = 14;
    CNodeInfo* n = store.add(p);
    n->iplocation = "Japan";
    n->lastTestResult = 1;
    store.remove(0);
    ASSERT_TRUE(store.saveNodes(path));
  }
  CNodeMgr store;
  ASSERT_TRUE(store.loadNodes(path));
  ASSERT_EQ(store.count(), 1u);
  CNodeInfo* n = store.find(1);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->password, " pa%ss\nword ");
  EXPECT_EQ(n->remarks, "ノード [1]");
  EXPECT_EQ(n->group, "grüppe");
  EXPECT_EQ(n->protocol, "auth_chain_a");
  EXPECT_EQ(n->obfsparam, "cdn.example");
  EXPECT_EQ(n->protocolparam, "12:abc");
  EXPECT_EQ(n->server_udp_port, 53);
  EXPECT_TRUE(n->udp_over_tcp);
  EXPECT_FALSE(n->enable);
  EXPECT_EQ(n->AdditionalRoute, "9.9.9.9");
  EXPECT_EQ(n->nCountryIndex, 14);
  EXPECT_EQ(n->iplocation, "Japan");
  EXPECT_EQ(n->lastTestResult, 1);
  EXPECT_EQ(store.add(socks("new", 1))->id, 2);  // id 0 was used in the earlier run
  std::system(("rm -rf " + dir).c_str());
}

TEST(NodeFile, OlderAndDamagedFilesStillLoad) {
  // No header (an older layout), keys missing, unknown keys, a repeated id,
  // a node without a port, and a last section cut off in the middle.
  StoredNodes s = parseNodeFile(
      "[node4]\nid=4\nserver=a\nport=1\nfuture=x\n"
      "[node5]\nid=4\nserver=b\nport=2\n"
      "[node6]\nid=6\nserver=c\n"
      "[node7]\nid=7\nserver=d\nport=7\n"
      "[node8]\nid=8\nser");
  ASSERT_EQ(s.nodes.size(), 2u);
  EXPECT_EQ(s.nodes[0].params.type, kNodeSocks5);
  EXPECT_TRUE(s.nodes[0].params.enable);
  EXPECT_EQ(s.nodes[1].id, 7);
  EXPECT_EQ(s.nextId, 8);
  EXPECT_EQ(unescapeNodeText(escapeNodeText(" %41\t")), " %41\t");
  EXPECT_EQ(unescapeNodeText("100%"), "100%");
}

TEST(LocalHost, DummyAddressAndLocalTest) {
  EXPECT_NE(localHostText("box", {"10.1.2.3"}).find("dummyip=240"), std::string::npos);
  std::string text = localHostText("box", {"192.168.1.5", "100.64.0.1"});
  // LF in memory on every system; the file writer adds CRLF on Windows.
  EXPECT_NE(text.find("dummyip=10\n"), std::string::npos);
  EXPECT_NE(text.find("iplist=192.168.1.5,100.64.0.1"), std::string::npos);

  CNodeMgr store;
  EXPECT_TRUE(store.isLocalAddress("localhost"));
  EXPECT_TRUE(store.isLocalAddress("127.8.9.10"));
  EXPECT_TRUE(store.isLocalAddress(""));
  EXPECT_FALSE(store.isLocalAddress("proxy.example"));
  EXPECT_FALSE(store.isLocalAddress("8.8.8.8"));
}

TEST(Country, TableAndGeoAnswers) {
  EXPECT_EQ(countryIndexForCode("JP"), 14);
  EXPECT_EQ(countryIndexForCode("USA"), 1);  // the first two characters count
  EXPECT_EQ(countryIndexForCode("us"), -1);  // letter case counts
  EXPECT_EQ(countryIndexForCode("U"), -1);
  EXPECT_STREQ(countryName(41), "Unkown Country");
  EXPECT_STREQ(countryName(40), "Romania");

  GeoAnswer a;
  EXPECT_TRUE(parseGeoAnswer(GeoFormat::FreeGeoIp,
                             R"({"country_code":"DE","country_name":"Germany","region_name":"Hesse"})", a));
  EXPECT_EQ(a.region, "Hesse");
  EXPECT_FALSE(parseGeoAnswer(GeoFormat::IpApi, R"({"status":"fail","countryCode":"DE"})", a));
  EXPECT_TRUE(parseGeoAnswer(GeoFormat::IpApi, R"({"status":"success","countryCode":"FR","country":"France"})", a));
  EXPECT_TRUE(parseGeoAnswer(GeoFormat::IpInfo, "SG\n", a));
  EXPECT_FALSE(parseGeoAnswer(GeoFormat::IpInfo, "<html>error</html>", a));
  EXPECT_FALSE(parseGeoAnswer(GeoFormat::Taobao, R"({"code":1,"data":{"country_id":"CN"}})", a));
  EXPECT_TRUE(parseGeoAnswer(GeoFormat::Taobao, R"({"code":0,"data":{"country_id":"CN","region":"Zhejiang"}})", a));
  EXPECT_FALSE(parseGeoAnswer(GeoFormat::FreeGeoIp, "[1,2]", a));
  EXPECT_FALSE(parseGeoAnswer(GeoFormat::Taobao, std::string(5000, '['), a));  // too deep: refused, no throw
  EXPECT_FALSE(parseGeoAnswer(GeoFormat::Taobao, R"({"code":1e300,"data":{"country_id":"CN"}})", a));

  auto bases = geoServiceBases("");
  ASSERT_EQ(bases.size(), 4u);
  EXPECT_FALSE(bases[3].empty());
  bases = geoServiceBases(",http://127.0.0.1:9/ ");
  EXPECT_EQ(bases[0], "");
  EXPECT_EQ(bases[1], "http://127.0.0.1:9");
  EXPECT_EQ(bases[2], "");
  EXPECT_EQ(geoRequestPath(GeoFormat::Taobao, "1.2.3.4"), "/service/getIpInfo.php?ip=1.2.3.4");
}

TEST(Country, OfflineDataKnowsPublicAddresses) {
  GeoAnswer a;
  ASSERT_TRUE(offlineCountry("8.8.8.8", a)) << "geoip-database missing (scripts/setup.sh)";
  EXPECT_EQ(a.code, "US");
  EXPECT_FALSE(offlineCountry("10.1.2.3", a));
}

}  // namespace
}  // namespace vantor
