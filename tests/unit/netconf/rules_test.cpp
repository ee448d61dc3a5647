// Rule files, proxy modes and additional routes: the readers of files a user
// (or anyone who hands them a file) controls.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "catalogue/file_builder.h"
#include "catalogue/share_link.h"
#include "catalogue/text_encoding.h"
#include "netconf/host_setup.h"
#include "platform/dns_config.h"
#include "platform/files.h"
#include "platform/net.h"
#include "netconf/additional_routes.h"
#include "netconf/proxy_modes.h"
#include "netconf/route_plan.h"

namespace vantor {
namespace {

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/vantor-rules-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string write(const std::string& name, const std::string& bytes) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    return path;
  }
  std::string writeEncoded(const std::string& name, const std::string& text) {
    std::string path = dir_ + "/" + name;
    CFileBuilderCompressBase64 b(path);
    EXPECT_TRUE(b.open(false));
    EXPECT_EQ(b.write(text.data(), text.size()), 0);
    return path;
  }
  std::string dir_;
};

TEST(RuleHeader, FieldsKindsAndRefusals) {
  auto a = parseRuleHeader("#Name,Name,1,0,2,x");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->kind, kModeRuleFile2);
  EXPECT_TRUE(a->routeAll);
  EXPECT_FALSE(a->listedDirect);
  auto b = parseRuleHeader("#A,B,0,1,7,\r");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->kind, kModeRuleFile);
  EXPECT_FALSE(b->routeAll);
  EXPECT_TRUE(b->listedDirect);
  EXPECT_EQ(b->name, "A");
  EXPECT_EQ(b->localName, "B");
  auto utf8 = parseRuleHeader("#Skip China,绕过中国,1,1,1,x");
  ASSERT_TRUE(utf8);
  EXPECT_EQ(utf8->localName, "绕过中国");
  // " 1" is not "1": only the exact text sets a flag.
  EXPECT_FALSE(parseRuleHeader("#A,B, 1,1,1,x")->routeAll);
  for (const char* bad : {"#A,B,1,0,2", "#A,B,1,0,2,x,y", "#,B,1,0,2,x", "#A,,1,0,2,x", "A,B,1,0,2,x", "#", ""})
    EXPECT_FALSE(parseRuleHeader(bad)) << bad;
}

TEST(NetworkLine, PrefixesMasksAndMalformedText) {
  NetworkEntry a = parseNetworkLine("10.0.0.0/8");
  EXPECT_EQ(a.maskText, "255.0.0.0");
  EXPECT_EQ(a.prefix, 8);
  EXPECT_EQ(a.address, 0x0a000000u);
  EXPECT_EQ(a.text, "10.0.0.0");
  NetworkEntry host = parseNetworkLine("1.2.3.4");
  EXPECT_EQ(host.prefix, 32);
  EXPECT_EQ(host.maskText, "255.255.255.255");
  EXPECT_EQ(parseNetworkLine("0.0.0.0/0").maskText, "0.0.0.0");
  // Not an address: the all-ones network, never an address of our choosing.
  EXPECT_EQ(parseNetworkLine("example.com/16").address, 0xffffffffu);
  // A prefix beyond 32 (or a huge one) is a host route, not a shift past the word.
  EXPECT_EQ(parseNetworkLine("1.2.3.4/33").maskText, "255.255.255.255");
  EXPECT_EQ(parseNetworkLine("1.2.3.4/99999999999999999999").prefix, 32);
  // Only the first 99 characters count: the prefix after them is lost.
  std::string longLine = "1.2.3.4" + std::string(92, ' ') + "/8";
  EXPECT_EQ(parseNetworkLine(longLine).prefix, 32);
}

TEST(NetworkLines, Ipv6LinesGoToTheirOwnListNeverToAnIpv4Route) {
  const std::string text =
      "#Six,Six,0,0,1,x\r\n10.0.0.0/8\r\n2001:db8:1::/48\r\n2001:DB8:2::5/32\n2001:db8::9\nfe80::zz/10\n";
  std::vector<NetworkEntry> v4 = parseNetworks(text);
  ASSERT_EQ(v4.size(), 1u);
  EXPECT_EQ(v4[0].text, "10.0.0.0");
  // Canonical text, host bits cleared, a bare address a /128; text that is
  // no IPv6 address is left out.
  EXPECT_EQ(parseNetworks6(text), (std::vector<std::string>{"2001:db8:1::/48", "2001:db8::/32", "2001:db8::9/128"}));

  ProxyMode rule = *parseRuleHeader("#Six,Six,0,0,1,x");
  rule.networks6 = parseNetworks6(text);
  Ipv6RoutePlan plan = ipv6RoutePlan(rule);
  EXPECT_EQ(plan.tunnel, rule.networks6);
  EXPECT_TRUE(plan.direct.empty());
  ProxyMode direct = *parseRuleHeader("#Cn,Cn,1,1,2,x");
  direct.networks6 = {"2001:db8:1::/48"};
  plan = ipv6RoutePlan(direct);
  EXPECT_EQ(plan.tunnel, (std::vector<std::string>{"::/1", "8000::/1"}));
  EXPECT_EQ(plan.direct, direct.networks6);
  ProxyMode global;
  global.routeAll = true;
  global.networks6 = {"2001:db8:1::/48"};  // a global mode has no networks of its own
  plan = ipv6RoutePlan(global);
  EXPECT_EQ(plan.tunnel, (std::vector<std::string>{"::/1", "8000::/1"}));
  EXPECT_TRUE(plan.direct.empty());
}

TEST_F(TempDir, EncodedAndPlainFilesGiveTheSameModeAndNetworks) {
  const std::string text = "#Mixed,Mixed,1,1,2,x\r\n10.0.0.0/8\r\n\r\n192.168.1.1\n172.16.0.0/12";
  std::string plainPath = write("plain.rules", text);
  std::string encodedPath = writeEncoded("encoded.rules", text);
  auto plain = readRuleHeader(plainPath);
  auto encoded = readRuleHeader(encodedPath);
  ASSERT_TRUE(plain && encoded);
  EXPECT_TRUE(plain->plainText);
  EXPECT_FALSE(encoded->plainText);
  EXPECT_EQ(plain->name, encoded->name);
  EXPECT_EQ(plain->kind, encoded->kind);
  CProxyModeMgr mgr;
  EXPECT_EQ(mgr.loadNetworks(*plain), 3u);
  EXPECT_EQ(mgr.loadNetworks(*encoded), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(plain->networks[i].address, encoded->networks[i].address);
    EXPECT_EQ(plain->networks[i].mask, encoded->networks[i].mask);
  }
  EXPECT_EQ(plain->networks[1].prefix, 32);
  EXPECT_EQ(plain->networks[2].maskText, "255.240.0.0");
  // The same file saved by a Windows editor as UTF-16 with a byte order mark.
  std::string utf16Path = write("utf16.rules", encodeTextFile("#Mixed,Gemischt ä,1,1,2,x\n10.0.0.0/8\n\n192.168.1.1\n"
                                                              "172.16.0.0/12",
                                                              {TextCharset::Utf16Le, true, true}));
  auto utf16 = readRuleHeader(utf16Path);
  ASSERT_TRUE(utf16);
  EXPECT_EQ(utf16->name, "Mixed");
  EXPECT_EQ(utf16->localName, "Gemischt ä");
  ASSERT_EQ(mgr.loadNetworks(*utf16), 3u);
  EXPECT_EQ(utf16->networks[2].maskText, "255.240.0.0");
}

TEST_F(TempDir, ScanSkipsBadFilesAndDuplicatesAndSurvivesHugeInput) {
  write("a.rules", "#Mode A,Modus A,1,1,1,x\n10.0.0.0/8\n");
  write("b.rules", "#mode a,MODUS A,0,0,1,x\n1.0.0.0/8\n");  // same names ignoring case
  write("c.txt", "#Other,Other,1,1,1,x\n");                  // not a rule file
  write("d.rules", "#Five,Fields,1,1,1\n");
  write("e.rules", "no header line\n1.2.3.4\n");
  write("f.rules", "#No line break,at all,1,1,1,x");
  std::string garbage;
  for (int i = 0; i < 100000; ++i) garbage.push_back(static_cast<char>((i * 131) % 256));
  write("g.rules", garbage);
  // 10,000-character lines and a 100 MB file: no crash, each line one entry.
  std::string longLines = "#Long,Long,0,0,1,x\n";
  for (int i = 0; i < 3; ++i) longLines += "10.1.2.3/24" + std::string(10000, 'x') + "\n";
  write("h.rules", longLines);
  std::string huge = "#Huge,Huge,0,0,1,x\n";
  const std::string line = "9.9.9.0/24" + std::string(9990, '#') + "\n";
  while (huge.size() < (100u << 20)) huge += line;
  write("i.rules", huge);
  std::filesystem::create_directory(dir_ + "/folder.rules");

  CProxyModeMgr mgr;
  EXPECT_EQ(mgr.scanRules({dir_, dir_ + "/missing"}, false), 3);
  ASSERT_EQ(mgr.modes().size(), 6u);
  EXPECT_EQ(mgr.modes()[3].name, "Mode A");
  EXPECT_EQ(mgr.modes()[4].name, "Long");
  EXPECT_EQ(mgr.modes()[5].name, "Huge");
  ASSERT_EQ(mgr.loadNetworks(mgr.modes()[4]), 3u);
  EXPECT_EQ(mgr.modes()[4].networks[0].maskText, "255.255.255.0");
  EXPECT_EQ(mgr.loadNetworks(mgr.modes()[5]), huge.size() / line.size());
  // A second scan does nothing once rule files were found.
  EXPECT_EQ(mgr.scanRules({dir_}, true), 0);
}

TEST(ProxyModeMgr, BuiltInModesAndCurrentModeBounds) {
  CProxyModeMgr mgr;
  ASSERT_EQ(mgr.modes().size(), 3u);
  EXPECT_EQ(mgr.modes()[0].name, "Global wide");
  EXPECT_TRUE(mgr.modes()[0].routeAll);
  EXPECT_EQ(mgr.modes()[2].kind, kModeBrowserPac);
  EXPECT_EQ(mgr.loadNetworks(mgr.modes()[0]), 0u);
  EXPECT_FALSE(mgr.setCurrentMode(3));
  EXPECT_FALSE(mgr.setCurrentMode(-1));
  EXPECT_TRUE(mgr.setCurrentMode(2));
  EXPECT_EQ(mgr.currentMode().kind, kModeBrowserPac);
  EXPECT_EQ(mgr.find("global WIDE"), 0);
  EXPECT_EQ(mgr.find("1"), 1);
  EXPECT_EQ(mgr.find("7"), -1);
  EXPECT_EQ(mgr.find("nothing"), -1);
}

TEST_F(TempDir, AdditionalRoutesLoadStopsAtTheFirstGapAndDropsBadEntries) {
  std::string path = write("additionalroute.ini",
                           "[basic]\nip1=8.8.8.8\naction1=1\nip2=8.8.8.8\naction2=0\nip3=127.0.0.1\naction3=0\n"
                           "ip4=1.2.3\naction4=1\nip5=9.9.9.9\naction5=\nip6=4.4.4.4\nip8=5.5.5.5\naction8=1\n");
  CAdditionalRouteMgr mgr(path);
  ASSERT_TRUE(mgr.load());
  // 2 is a duplicate, 3 loopback, 4 malformed, 5 has the default action,
  // 6 lacks its action: reading stops there, so 8 is never seen.
  ASSERT_EQ(mgr.routes().size(), 2u);
  EXPECT_EQ(mgr.routes().at("8.8.8.8"), 1);
  EXPECT_EQ(mgr.routes().at("9.9.9.9"), 0);
  ASSERT_TRUE(mgr.remove("9.9.9.9"));
  ASSERT_TRUE(mgr.add("1.1.1.1", 0));
  ASSERT_TRUE(mgr.save());
  CAdditionalRouteMgr again(path);
  ASSERT_TRUE(again.load());
  EXPECT_EQ(again.routes(), mgr.routes());
}

TEST(AdditionalRoutes, EditorChecksInOrder) {
  CAdditionalRouteMgr mgr("/nonexistent/additionalroute.ini");
  ASSERT_TRUE(mgr.add("8.8.8.8", 0));
  std::string address;
  EXPECT_EQ(mgr.check("", 0, address), "IP Address can not be empty");
  EXPECT_EQ(mgr.check("1.2.3.256", -1, address), "Invalid IP address");
  EXPECT_EQ(mgr.check("0.1.2.3", 0, address), "Invalid IP address");
  EXPECT_EQ(mgr.check("1..2.3", 0, address), "Invalid IP address");
  EXPECT_EQ(mgr.check("127.0.0.2", -1, address), "You can not add a loopback IP address.");
  EXPECT_EQ(mgr.check("9.9.9.9", -1, address), "Please select action");
  EXPECT_EQ(mgr.check("8.8.8.8", 1, address), "This route already exists");
  EXPECT_EQ(mgr.check("no-such-host.invalid", 0, address), "Can not resolve your domain name.");
  EXPECT_EQ(mgr.check("9.9.9.9", 1, address), "");
  EXPECT_EQ(address, "9.9.9.9");
  EXPECT_FALSE(mgr.add("1.2.3.4.5", 0));
  EXPECT_FALSE(mgr.add("01.2.3.x", 0));
}

}  // namespace
}  // namespace vantor

// The resolv.conf side of DNS (the namespace tests cover a bind-mounted file).
namespace vantor {
namespace {

// The record keeps the resolver file's bytes as hexadecimal text.
std::string hex(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    out += "0123456789abcdef"[c >> 4];
    out += "0123456789abcdef"[c & 15];
  }
  return out;
}

TEST(ResolvConfText, NameserversReplacedInPlaceOtherLinesKept) {
  uint32_t a = 0, b = 0;
  platform::parseIpv4("8.8.8.8", a);
  platform::parseIpv4("8.8.4.4", b);
  const std::string text = "# generated\nsearch lan\nnameserver 192.0.2.1\noptions edns0\nnameserver 192.0.2.2";
  EXPECT_EQ(platform::resolvConfWithNameservers(text, {a, b}),
            "# generated\nsearch lan\nnameserver 8.8.8.8\nnameserver 8.8.4.4\noptions edns0\n");
  EXPECT_EQ(platform::resolvConfWithNameservers("search lan", {a}), "search lan\nnameserver 8.8.8.8\n");
  auto servers = platform::resolvConfNameservers(text + "\nnameserver fe80::1\nnameserver bogus\n");
  ASSERT_EQ(servers.size(), 2u);
  EXPECT_EQ(platform::formatIpv4(servers[1]), "192.0.2.2");
}

#ifndef _WIN32  // resolv.conf and symbolic links: Linux's resolver
TEST_F(TempDir, ResolverFileThroughASymlinkStaysALinkAndIsRestoredByteForByte) {
  const std::string original = std::string("nameserver 192.0.2.1\n# \xff\x01 odd bytes\n");
  std::string target = write("real.conf", original);
  ::chmod(target.c_str(), 0640);
  std::string link = dir_ + "/resolv.conf";
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  std::string error;
  ASSERT_TRUE(platform::writeResolverFile(link, "nameserver 8.8.8.8\n", error)) << error;
  struct stat st {};
  ASSERT_EQ(::lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  std::string now;
  ASSERT_TRUE(platform::readFile(link, now, error));
  EXPECT_EQ(now, "nameserver 8.8.8.8\n");

  // The recorded change puts the original bytes back, through the link.
  registerHostUndos();
  HostChangeRecord record(dir_ + "/record.json");
  Json::Value change;
  change["path"] = link;
  change["original"] = hex(original);
  change["written"] = hex("nameserver 8.8.8.8\n");
  ASSERT_NE(record.note("resolv_conf", change, error), 0) << error;
  // A reader of the record finds the same change (as after a crash).
  HostChangeRecord reloaded(dir_ + "/record.json");
  ASSERT_TRUE(reloaded.load(error)) << error;
  std::vector<std::string> report;
  EXPECT_TRUE(reloaded.undoAll(report));
  ASSERT_TRUE(platform::readFile(link, now, error));
  EXPECT_EQ(now, original);
  ASSERT_EQ(::lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_FALSE(platform::fileExists(dir_ + "/record.json"));
}
#endif

TEST_F(TempDir, RecordKeepsKindsNobodyKnowsAndFilesSomeoneElseChanged) {
  registerHostUndos();
  std::string path = write("resolv.conf", "theirs\n");
  HostChangeRecord record(dir_ + "/record.json");
  std::string error;
  Json::Value change;
  change["path"] = path;
  change["original"] = hex("original\n");
  change["written"] = hex("ours\n");
  ASSERT_NE(record.note("resolv_conf", change, error), 0);
  ASSERT_NE(record.note("desktop_proxy", Json::Value(), error), 0);
  std::vector<std::string> report;
  EXPECT_FALSE(record.undoAll(report));  // the unknown kind stays
  std::string now;
  ASSERT_TRUE(platform::readFile(path, now, error));
  EXPECT_EQ(now, "theirs\n");
  HostChangeRecord reloaded(dir_ + "/record.json");
  ASSERT_TRUE(reloaded.load(error));
  EXPECT_FALSE(reloaded.empty());
  // Once a later version knows the kind, it is undone and the record goes.
  int undone = 0;
  HostChangeRecord::registerUndo("desktop_proxy", [&](const Json::Value&, std::vector<std::string>&) {
    ++undone;
    return true;
  });
  EXPECT_TRUE(reloaded.undoAll(report));
  EXPECT_EQ(undone, 1);
  EXPECT_FALSE(platform::fileExists(dir_ + "/record.json"));
  // A damaged record is an error, not a crash.
  write("record.json", "{not json");
  EXPECT_FALSE(reloaded.load(error));
}

}  // namespace
}  // namespace vantor
