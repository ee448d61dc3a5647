#include "catalogue/node_info.h"

#include <gtest/gtest.h>

namespace vantor {
namespace {

TEST(NodeInfo, DefaultRecord) {
  CNodeInfo node;
  EXPECT_EQ(node.type, 5);
  EXPECT_EQ(node.id, 0);
  EXPECT_TRUE(node.enable);
  EXPECT_EQ(node.Latency.load(), 0);
  EXPECT_EQ(node.nCountryIndex, -1);
  EXPECT_EQ(node.lastTestResult, -1);
  EXPECT_TRUE(node.isSocks5());
}

TEST(NodeInfo, KindLabels) {
  CNodeInfo node;
  const std::pair<int, const char*> expected[] = {{3, "HTTP"}, {4, "S4"}, {5, "S5"}, {6, "SR"}, {9, "N/A"}};
  for (auto [type, label] : expected) {
    node.type = type;
    EXPECT_STREQ(node.kindLabel(), label);
  }
  node.type = 4;
  EXPECT_STREQ(node.kindLongLabel(), "SOCKS 4/4a");
}

TEST(NodeInfo, SnapshotCarriesTheConnectionParametersAndSharesTheCounters) {
  NodeParams p;
  p.type = kNodeShadowsocks;
  p.server = " ss.example ";
  p.server_port = 8388;
  p.username = "u";
  p.password = "pw";
  p.method = "aes-256-gcm";
  p.remarks = "r";
  p.protocol = "auth_chain_a";
  p.protocolparam = "pp";
  p.obfs = "tls1.2_ticket_auth";
  p.obfsparam = "op";
  p.group = "g";
  CNodeInfo node(4, p);
  node.resolvedIp = "192.0.2.4";
  NodeRef s = node.snapshot();
  EXPECT_EQ(s->id, 4);
  EXPECT_EQ(s->type, kNodeShadowsocks);
  EXPECT_EQ(s->server, "ss.example");
  EXPECT_EQ(s->connectAddress(), "192.0.2.4");
  EXPECT_EQ(s->server_port, 8388);
  EXPECT_EQ(s->username, "u");
  EXPECT_EQ(s->password, "pw");
  EXPECT_EQ(s->method, "aes-256-gcm");
  EXPECT_EQ(s->protocol, "auth_chain_a");
  EXPECT_EQ(s->protocolparam, "pp");
  EXPECT_EQ(s->obfs, "tls1.2_ticket_auth");
  EXPECT_EQ(s->obfsparam, "op");
  EXPECT_EQ(s->group, "g");
  EXPECT_EQ(s->plugin, "");
  EXPECT_EQ(s->displayText(), node.displayText());

  // Counting through the snapshot is counting for the node, and the meter too.
  s->counters->addDownloaded(100);
  s->counters->addBytes(1500, 1000);
  ++s->counters->ConnectedTimes;
  EXPECT_EQ(node.Download_traffic.load(), 100.0);
  EXPECT_EQ(node.ConnectedTimes.load(), 1);
  EXPECT_EQ(node.bytesPerSecond(1000), 1500u);

  // Variants made for one connection keep the counters and leave the rest.
  NodeRef resolved = s->withResolvedIp("198.51.100.1");
  EXPECT_EQ(resolved->connectAddress(), "198.51.100.1");
  EXPECT_EQ(s->connectAddress(), "192.0.2.4");
  EXPECT_EQ(resolved->counters, node.counters());
  auto blank = std::make_shared<NodeSnapshot>(*s);
  blank->server = "  h  ";
  NodeRef trimmed = withTrimmedServer(blank);
  EXPECT_EQ(trimmed->server, "h");
  EXPECT_EQ(blank->server, "  h  ");
  EXPECT_EQ(withTrimmedServer(s), s) << "nothing to trim: the same snapshot";
  EXPECT_EQ(withTrimmedServer(nullptr), nullptr);

  // An edit changes the record, never a snapshot taken before.
  NodeParams q = p;
  q.server = "other.example";
  q.password = "new";
  node.update(q);
  EXPECT_EQ(s->server, "ss.example");
  EXPECT_EQ(s->password, "pw");
  EXPECT_EQ(node.snapshot()->connectAddress(), "other.example");
  EXPECT_EQ(s->counters->Download_traffic.load(), 0.0) << "the edit reset the node's statistics";
}

TEST(NodeInfo, SizeTextThresholds) {
  EXPECT_EQ(sizeText(-5), "0 B");
  EXPECT_EQ(sizeText(1024), "1024 B");
  EXPECT_EQ(sizeText(1025), "1.00 K");
  EXPECT_EQ(sizeText(1 << 20), "1024.00 K");
  EXPECT_EQ(sizeText((1 << 20) + 1), "1.00 M");
  EXPECT_EQ(sizeText((int64_t{3} << 30) / 2), "1.50 G");
}

TEST(NodeInfo, MeterAveragesNonEmptySeconds) {
  CNodeInfo node;
  const uint32_t t = 1'700'000'000;
  node.addBytes(1500, t);
  node.addBytes(500, t + 1);
  EXPECT_EQ(node.bytesPerSecond(t + 1), 1000u);
  // The rate is computed at most once a second.
  node.addBytes(9000, t + 1);
  EXPECT_EQ(node.bytesPerSecond(t + 1), 1000u);
  // A gap of more than two seconds starts the meter over.
  node.addBytes(700, t + 10);
  EXPECT_EQ(node.bytesPerSecond(t + 10), 700u);
  // A second with nothing counted leaves one bucket empty.
  EXPECT_EQ(node.bytesPerSecond(t + 11), 700u);
}

TEST(NodeInfo, MeterFallsToZeroOnceTrafficStops) {
  CNodeInfo node;
  const uint32_t t = 1'700'000'000;
  for (uint32_t s = 0; s < 5; ++s) node.addBytes(8827, t + s);  // "8.62 K/s" while busy
  EXPECT_EQ(node.rateText(), "0 B/s");                          // today's clock: long idle
  EXPECT_EQ(node.bytesPerSecond(t + 4), 8827u);
  EXPECT_EQ(sizeText(node.bytesPerSecond(t + 4)), "8.62 K");
  // The last busy second still counts while it is the previous one.
  EXPECT_EQ(node.bytesPerSecond(t + 5), 8827u);
  EXPECT_EQ(node.bytesPerSecond(t + 6), 0u);
  EXPECT_EQ(node.bytesPerSecond(t + 60), 0u);
  // A reader alone never revives old seconds; new bytes start a new rate.
  node.addBytes(100, t + 61);
  EXPECT_EQ(node.bytesPerSecond(t + 61), 100u);
  // One busy second after an idle one: the idle second does not halve it,
  // the stale bucket from before the gap is not counted either.
  node.addBytes(300, t + 63);
  EXPECT_EQ(node.bytesPerSecond(t + 63), 300u);
  node.addBytes(5000, t + 64);
  EXPECT_EQ(node.bytesPerSecond(t + 65), 5000u);
  EXPECT_EQ(node.bytesPerSecond(t + 66), 0u);
}

TEST(NodeInfo, TrafficCountersIgnoreZeroAndReset) {
  CNodeInfo node;
  node.addUploaded(0);
  node.addUploaded(10);
  node.addDownloaded(4000000000u);
  node.addDownloaded(4000000000u);
  EXPECT_EQ(node.Upload_traffic.load(), 10.0);
  EXPECT_EQ(node.Download_traffic.load(), 8e9);  // beyond 32 bits
  node.ConnectedTimes = 3;
  node.resetStatistics();
  EXPECT_EQ(node.Download_traffic.load(), 0.0);
  EXPECT_EQ(node.ConnectedTimes.load(), 0);
}

TEST(NodeInfo, ConnectAddressAndServerChange) {
  NodeParams p;
  p.server = "  proxy.example  ";
  p.server_port = 1080;
  CNodeInfo node(7, p);
  EXPECT_EQ(node.server, "proxy.example");
  EXPECT_EQ(node.connectAddress(), "proxy.example");
  node.resolvedIp = "10.0.0.1";
  node.iplocation = "somewhere";
  EXPECT_EQ(node.connectAddress(), "10.0.0.1");

  p.server = "PROXY.example";  // same server in other case: what we learned stays
  node.update(p);
  EXPECT_EQ(node.connectAddress(), "10.0.0.1");
  EXPECT_EQ(node.iplocation, "somewhere");

  p.server = "";  // empty keeps the old server
  node.update(p);
  EXPECT_EQ(node.server, "PROXY.example");

  p.server = "other.example";
  node.Latency = 12;
  node.update(p);
  EXPECT_EQ(node.connectAddress(), "other.example");
  EXPECT_TRUE(node.iplocation.empty());
  EXPECT_EQ(node.Latency.load(), 0);
}

TEST(NodeInfo, DisplayTexts) {
  NodeParams p;
  p.server = "1.2.3.4";
  p.server_port = 1080;
  CNodeInfo node(1, p);
  EXPECT_EQ(node.displayText(), "[S5] 1.2.3.4:1080");
  EXPECT_EQ(node.groupedDisplayText(), "[S5] Default Group -> 1.2.3.4:1080");
  node.remarks = "home";
  node.group = "lab";
  EXPECT_EQ(node.displayText(), "[S5] home");
  EXPECT_EQ(node.groupedDisplayText(), "[S5] lab -> home");
  EXPECT_EQ(node.params().server, "1.2.3.4");
}

}  // namespace
}  // namespace vantor
