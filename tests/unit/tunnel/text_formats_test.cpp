// The device text, dotted quads, address printing and parsing, and the log's
// level filter and line limit.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tunnel/base/baddr.h"
#include "tunnel/base/blog.h"
#include "tunnel/device/btap.h"

namespace vantor::tunnel {
namespace {

uint32_t quad(int a, int b, int c, int d) {
  uint8_t bytes[4] = {static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<uint8_t>(c),
                      static_cast<uint8_t>(d)};
  uint32_t v;
  std::memcpy(&v, bytes, 4);
  return v;
}

uint16_t net16(uint16_t host) {
  uint8_t b[2] = {static_cast<uint8_t>(host >> 8), static_cast<uint8_t>(host)};
  uint16_t v;
  std::memcpy(&v, b, 2);
  return v;
}

uint16_t host16(uint16_t net) {
  uint8_t b[2];
  std::memcpy(b, &net, 2);
  return static_cast<uint16_t>(b[0] << 8 | b[1]);
}

// Parses with the error stream captured.
bool parse(const char* text, BTapDeviceFields* out, std::string* err) {
  std::FILE* f = std::tmpfile();
  bool ok = BTap_ParseDeviceText(text, out, f);
  std::rewind(f);
  char buf[256] = {};
  std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  *err = std::string(buf, n);
  return ok;
}

TEST(DeviceText, FiveFieldsParse) {
  BTapDeviceFields f;
  std::string err;
  ASSERT_TRUE(parse("tun:vantor0:10.198.75.60:10.198.75.0:255.255.255.0", &f, &err));
  EXPECT_EQ(f.driverId, "tun");
  EXPECT_EQ(f.interfaceName, "vantor0");
  EXPECT_EQ(f.localAddress, quad(10, 198, 75, 60));
  EXPECT_EQ(f.remoteNetwork, quad(10, 198, 75, 0));
  EXPECT_EQ(f.remoteMask, quad(255, 255, 255, 0));
  EXPECT_EQ(err, "");
}

TEST(DeviceText, MissingSeparatorIsReportedByNumber) {
  BTapDeviceFields f;
  std::string err;
  EXPECT_FALSE(parse("tun:vantor0:10.198.75.60:10.198.75.0", &f, &err));
  EXPECT_EQ(err, "split_spec: missing separator number 4\n");
  EXPECT_FALSE(parse("tun", &f, &err));
  EXPECT_EQ(err, "split_spec: missing separator number 1\n");
  EXPECT_FALSE(parse("", &f, &err));
  EXPECT_EQ(err, "split_spec: missing separator number 1\n");
}

TEST(DeviceText, FifthFieldIsTheRestSoANameWithAColonFails) {
  BTapDeviceFields f;
  std::string err;
  // "a:b" as the name shifts every later field by one: the last field then
  // holds "10.198.75.0:255.255.255.0", which is no address.
  EXPECT_FALSE(parse("tun:a:b:10.198.75.60:10.198.75.0:255.255.255.0", &f, &err));
  EXPECT_EQ(err, "");
}

TEST(DeviceText, EmptyNameAndDriverAreStillFields) {
  BTapDeviceFields f;
  std::string err;
  ASSERT_TRUE(parse("::1.2.3.4:5.6.7.8:9.10.11.12", &f, &err));
  EXPECT_EQ(f.driverId, "");
  EXPECT_EQ(f.interfaceName, "");
}

TEST(DottedQuad, StrictComponents) {
  uint32_t v = 0;
  EXPECT_TRUE(BTap_ParseDottedQuad("010.001.000.255", &v));  // leading zeros are fine
  EXPECT_EQ(v, quad(10, 1, 0, 255));
  for (const char* bad : {"256.1.1.1", "1.1.1.1000", "1..1.1", "1.1.1", "1.1.1.1.", "1.1.1.1.1", ".1.1.1", "1.1.1.-1",
                          "1.1.1.a", " 1.1.1.1", "1.1.1.1 ", "", "0x1.1.1.1"}) {
    EXPECT_FALSE(BTap_ParseDottedQuad(bad, &v)) << bad;
  }
}

TEST(Addresses, PrintingFormats) {
  char out[BADDR_MAX_PRINT_LEN];
  BAddr v4 = BAddr_MakeIPv4(quad(10, 220, 0, 1), net16(8080));
  BAddr_Print(&v4, out);
  EXPECT_STREQ(out, "10.220.0.1:8080");
  uint8_t v6bytes[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x01};
  BAddr v6 = BAddr_MakeIPv6(v6bytes, net16(443));
  BAddr_Print(&v6, out);
  EXPECT_STREQ(out, "2001:db8:0:0:0:0:0:1:443");
  BAddr none;
  BAddr_Print(&none, out);
  EXPECT_STREQ(out, "(none)");
}

TEST(Addresses, ParsingBothFormsAndLimits) {
  BAddr a;
  ASSERT_TRUE(BAddr_Parse2(&a, "127.0.0.1:16666"));
  EXPECT_EQ(a.type, BADDR_TYPE_IPV4);
  EXPECT_EQ(a.ipv4, quad(127, 0, 0, 1));
  EXPECT_EQ(host16(a.port), 16666);
  ASSERT_TRUE(BAddr_Parse2(&a, "[::1]:65535"));
  EXPECT_EQ(a.type, BADDR_TYPE_IPV6);
  EXPECT_EQ(a.ipv6[15], 1);
  EXPECT_EQ(host16(a.port), 65535);
  for (const char* bad : {"127.0.0.1", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:123456", "127.0.0.1:8a", "[::1]",
                          "[::1]8080", ":80", "[::1:80"}) {
    EXPECT_FALSE(BAddr_Parse2(&a, bad)) << bad;
  }
  std::string longHost(128, '1');
  EXPECT_FALSE(BAddr_Parse2(&a, (longHost + ":80").c_str()));
  BIPAddr ip;
  ASSERT_TRUE(BIPAddr_Resolve(&ip, "10.198.75.61"));
  EXPECT_EQ(ip.type, BADDR_TYPE_IPV4);
  ASSERT_TRUE(BIPAddr_Resolve(&ip, "[::1]"));
  EXPECT_EQ(ip.type, BADDR_TYPE_IPV6);
  EXPECT_FALSE(BIPAddr_Resolve(&ip, std::string(129, '1').c_str()));
}

struct Captured {
  std::vector<std::string> lines;
  bool released = false;
};

BLogSink captureSink(Captured* c) {
  BLogSink sink;
  sink.user = c;
  sink.output = [](void* user, const char* channel, int level, const char* text) {
    static_cast<Captured*>(user)->lines.push_back(std::string(channel) + "/" + std::to_string(level) + "/" + text);
  };
  sink.release = [](void* user) { static_cast<Captured*>(user)->released = true; };
  return sink;
}

TEST(Log, BuiltInLevelsFilterPerChannel) {
  Captured c;
  BLog_Init(captureSink(&c));
  BLog_Log(BLOG_CHANNEL_BReactor, BLOG_INFO, "dropped: reactor is at notice");
  BLog_Log(BLOG_CHANNEL_BReactor, BLOG_NOTICE, "kept %d", 1);
  BLog_Log(BLOG_CHANNEL_tun2socks, BLOG_INFO, "kept %s", "two");
  BLog_Log(BLOG_CHANNEL_tun2socks, BLOG_DEBUG, "dropped: debug");
  BLog_SetAllLevels(BLOG_ERROR);
  BLog_Log(BLOG_CHANNEL_BTap, BLOG_WARNING, "dropped: warning above error");
  BLog_Log(BLOG_CHANNEL_BTap, BLOG_ERROR, "kept three");
  BLog_Free();
  BLog_Log(BLOG_CHANNEL_BTap, BLOG_ERROR, "dropped: log freed");
  EXPECT_EQ(c.lines, (std::vector<std::string>{"BReactor/3/kept 1", "tun2socks/4/kept two", "BTap/1/kept three"}));
  EXPECT_TRUE(c.released);
}

TEST(Log, NothingIsWorthFormattingForTheDiscardingSink) {
  BLog_Init(BLog_DiscardSink());
  EXPECT_FALSE(BLog_WouldLog(BLOG_CHANNEL_tun2socks, BLOG_ERROR));
  BLog_Free();
  Captured c;
  BLog_Init(captureSink(&c));
  EXPECT_TRUE(BLog_WouldLog(BLOG_CHANNEL_tun2socks, BLOG_INFO));
  EXPECT_FALSE(BLog_WouldLog(BLOG_CHANNEL_tun2socks, BLOG_DEBUG));
  BLog_Free();
  EXPECT_FALSE(BLog_WouldLog(BLOG_CHANNEL_tun2socks, BLOG_ERROR));
}

TEST(Log, LongLinesKeepTheFirst2047Characters) {
  Captured c;
  BLog_Init(captureSink(&c));
  std::string longText(5000, 'x');
  BLog_Log(BLOG_CHANNEL_tun2socks, BLOG_ERROR, "%s", longText.c_str());
  BLog_LogPrefixed(BLOG_CHANNEL_tun2socks, BLOG_ERROR, "prefix: ", "%s", longText.c_str());
  BLog_LogPrefixed(BLOG_CHANNEL_tun2socks, BLOG_ERROR, longText.c_str(), "tail");
  BLog_Free();
  ASSERT_EQ(c.lines.size(), 3u);
  const std::string head = "tun2socks/1/";
  EXPECT_EQ(c.lines[0], head + std::string(2047, 'x'));
  EXPECT_EQ(c.lines[1], head + "prefix: " + std::string(2047 - 8, 'x'));
  EXPECT_EQ(c.lines[2], head + std::string(2047, 'x'));
}

TEST(Log, LevelWordsAndNumbers) {
  EXPECT_EQ(BLog_LevelByName("none"), 0);
  EXPECT_EQ(BLog_LevelByName("debug"), 5);
  EXPECT_EQ(BLog_LevelByName("3"), 3);
  EXPECT_EQ(BLog_LevelByName("6"), -1);
  EXPECT_EQ(BLog_LevelByName("verbose"), -1);
  EXPECT_EQ(BLog_ChannelByName("SocksUdpGwClient"), BLOG_CHANNEL_SocksUdpGwClient);
  EXPECT_EQ(BLog_ChannelByName("nope"), -1);
}

}  // namespace
}  // namespace vantor::tunnel
