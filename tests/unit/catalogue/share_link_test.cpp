#include "catalogue/share_link.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

namespace vantor {
namespace {

using Pieces = std::vector<std::string>;

TEST(LinkCodec, Base64AndPercentDecoding) {
  EXPECT_EQ(decodeBase64("Zm9vYg=="), "foob");
  EXPECT_EQ(decodeBase64("Zm9vYmE"), "fooba");  // no padding needed
  EXPECT_EQ(decodeBase64("Zm9vY"), "foo");      // a lone last character carries no whole byte
  EXPECT_EQ(decodeBase64("Zm9v=YmFy"), "foo");
  EXPECT_EQ(decodeBase64("Zm9v#YmFy"), "foo");
  EXPECT_EQ(decodeBase64("_-8"), "");
  EXPECT_EQ(decodeBase64Url("_-8"), "\xff\xef");
  EXPECT_EQ(decodeBase64Url("/+8"), "\xff\xef");

  EXPECT_EQ(decodeUrl("My%20Node+1%2b%2F"), "My Node 1+/");
  EXPECT_EQ(decodeUrl("%%41%zz%4g"), "%A%zz%4g");
  EXPECT_EQ(decodeUrl("50%4"), "50%4");
  // The end of the view is the end: hex digits past it are not read.
  EXPECT_EQ(decodeUrl(std::string_view("50%4A", 4)), "50%4");

  EXPECT_EQ(splitText("a::b:", ":", true), (Pieces{"a", "", "b", ""}));
  EXPECT_EQ(splitText("a::b:", ":", false), (Pieces{"a", "b"}));
  EXPECT_EQ(splitText("ss:///x", "//", true), (Pieces{"ss:", "/x"}));
}

TEST(ShadowsocksLink, EncodedBodyWithAndWithoutPaddingAndTag) {
  for (const char* link : {"ss://YWVzLTI1Ni1jZmI6c2VjcmV0QDEuMi4zLjQ6ODM4OA==#My%20Node+%C3%A9",
                           "ss://YWVzLTI1Ni1jZmI6c2VjcmV0QDEuMi4zLjQ6ODM4OA#My%20Node+%C3%A9",
                           "SS://YWVzLTI1Ni1jZmI6c2VjcmV0@1.2.3.4:8388/?outline=1#My%20Node%20%C3%A9"}) {
    auto p = parseLink(link);
    ASSERT_TRUE(p) << link;
    EXPECT_EQ(p->type, kNodeShadowsocks);
    EXPECT_EQ(p->selectionIndex, 1);
    EXPECT_EQ(p->nCountryIndex, -1);
    EXPECT_TRUE(p->enable);
    EXPECT_EQ(p->method, "aes-256-cfb");
    EXPECT_EQ(p->password, "secret");
    EXPECT_EQ(p->server, "1.2.3.4");
    EXPECT_EQ(p->server_port, 8388);
    EXPECT_EQ(p->remarks, "My Node \xC3\xA9");
    EXPECT_EQ(p->protocol, "origin");
    EXPECT_EQ(p->obfs, "plain");
  }
  // A tag such as me@provider must not stop the body from being decoded.
  auto tagged = parseLink("ss://YWVzLTI1Ni1jZmI6c2VjcmV0MUAxLjIuMy40OjgzODg=#me@provider");
  ASSERT_TRUE(tagged);
  EXPECT_EQ(tagged->password, "secret1");
  EXPECT_EQ(tagged->remarks, "me@provider");

  // A node that needs a plugin keeps it (and is refused where traffic would
  // go to the server without it); an empty plugin is none.
  std::string reason;
  auto plugged =
      parseLink("ss://YWVzLTI1Ni1jZmI6c2VjcmV0@1.2.3.4:8388/?a=1&Plugin=v2ray-plugin%3Bpath%3D%2F#x", reason);
  ASSERT_TRUE(plugged) << reason;
  EXPECT_EQ(plugged->plugin, "v2ray-plugin");
  EXPECT_EQ(plugged->plugin_opts, "path=/");
  EXPECT_EQ(plugged->server_port, 8388);
  auto none = parseLink("ss://YWVzLTI1Ni1jZmI6c2VjcmV0@1.2.3.4:8388?plugin=#x", reason);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->plugin.empty());
  EXPECT_TRUE(pluginRefusal(*none).empty());
}

TEST(ShadowsocksLink, PluginProgramsAreLookedUpOnPath) {
  char dirTemplate[] = "/tmp/vantor-plugin-path-XXXXXX";
  ASSERT_TRUE(::mkdtemp(dirTemplate));
  const std::string dir = dirTemplate;
#ifdef _WIN32
  const std::string program = dir + "/ss-v2ray-plugin.exe";  // found by its name without ".exe"
#else
  const std::string program = dir + "/ss-v2ray-plugin";
#endif
  { std::ofstream(program) << "#!/bin/sh\n"; }
  ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
  const char* oldPath = std::getenv("PATH");
  const std::string saved = oldPath ? oldPath : "";
  ::setenv("PATH", dir.c_str(), 1);

  NodeParams node;
  node.type = kNodeShadowsocks;
  node.plugin = "v2ray-plugin";
  // Debian's name for the program is found under the common one.
#ifdef _WIN32
  // The search answers with the full Windows form of the same file.
  EXPECT_TRUE(std::filesystem::equivalent(pluginProgramPath("v2ray-plugin"), program))
      << pluginProgramPath("v2ray-plugin");
#else
  EXPECT_EQ(pluginProgramPath("v2ray-plugin"), program);
#endif
  EXPECT_TRUE(pluginRefusal(node).empty());
  node.plugin = "obfs-local";
  EXPECT_EQ(pluginProgramPath("obfs-local"), "");
  EXPECT_EQ(pluginRefusal(node),
            "The Shadowsocks plugin obfs-local was not found (install it or remove it from the node)");
  // A path is never run, even when it names an executable.
  EXPECT_EQ(pluginProgramPath(program), "");

  ::setenv("PATH", saved.c_str(), 1);
  std::remove(program.c_str());
  ::rmdir(dir.c_str());
}

TEST(ShadowsocksLink, UserPartForms) {
  // URL-safe and standard alphabet, padded or not: the whole password.
  for (const char* link : {"ss://Y2hhY2hhMjAtaWV0ZjpwPj9+fg==@h:1", "ss://Y2hhY2hhMjAtaWV0ZjpwPj9-fg@h:1"}) {
    auto p = parseLink(link);
    ASSERT_TRUE(p) << link;
    EXPECT_EQ(p->method, "chacha20-ietf");
    EXPECT_EQ(p->password, "p>?~~");
  }
  auto four = parseLink("ss://http_simple:auth_sha1_v4:aes-256-cfb:pw@h:443");
  ASSERT_TRUE(four);
  EXPECT_EQ(four->obfs, "http_simple");
  EXPECT_EQ(four->protocol, "auth_sha1_v4");
  EXPECT_EQ(four->method, "aes-256-cfb");
  EXPECT_EQ(four->password, "pw");

  // A password with ":" and "@" in it stays whole; the last "@" starts the host.
  auto colon = parseLink("ss://aes-128-gcm:pa:ss@w@h.example:443");
  ASSERT_TRUE(colon);
  EXPECT_EQ(colon->method, "aes-128-gcm");
  EXPECT_EQ(colon->password, "pa:ss@w");
  EXPECT_EQ(colon->obfs, "plain");
  EXPECT_EQ(colon->server, "h.example");
}

TEST(ShadowsocksLink, HostAndPort) {
  auto blanks = parseLink("ss://m:p@ h.example :0080xyz");
  ASSERT_TRUE(blanks);
  EXPECT_EQ(blanks->server, "h.example");
  EXPECT_EQ(blanks->server_port, 80);

  for (const char* bad : {"ss://m:p@::1:8388", "ss://m:p@[::1]8388", "ss://m:p@[::1]:", "ss://m:p@[]:8388",
                          "ss://m:p@[::1]:1:2", "ss://m:p@h", "ss://m:p@h:", "ss://m:p@h:abc", "ss://m:p@h:0",
                          "ss://m:p@h:73924",  // past 16 bits, must not wrap to 8388
                          "ss://m:p@h:99999999999999999999", "ss://m:p@  :8388",
                          "ss://bm9jb2xvbg@h:1",  // user part decodes without ":"
                          "ss://bm9jb2xvbg", "ss://", "ss://#tag", "ss://@h:1"}) {
    EXPECT_FALSE(parseLink(bad)) << bad;
  }
}

// An IPv6 server is written in brackets; the node holds the address alone,
// and its exported link brackets it again.
TEST(ShadowsocksLink, Ipv6ServersInBrackets) {
  for (const char* link : {"ss://aes-256-gcm:pw@[fd00::1]:8388", "ss://YWVzLTI1Ni1nY206cHc@[fd00::1]:8388/#n",
                           "ss://YWVzLTI1Ni1nY206cHc@[fd00::1]:8388/?plugin=obfs-local%3Bobfs%3Dhttp"}) {
    auto p = parseLink(link);
    ASSERT_TRUE(p) << link;
    EXPECT_EQ(p->server, "fd00::1") << link;
    EXPECT_EQ(p->server_port, 8388) << link;
    EXPECT_EQ(p->method, "aes-256-gcm") << link;
    auto back = parseLink(shareLink(*p));
    ASSERT_TRUE(back) << shareLink(*p);
    EXPECT_EQ(back->server, "fd00::1");
    EXPECT_EQ(back->server_port, 8388);
  }
  auto ssr = parseLink("ssr://[2001:db8::5]:8443:auth_aes128_md5:aes-256-cfb:http_simple:cHc/?remarks=");
  ASSERT_TRUE(ssr);
  EXPECT_EQ(ssr->server, "2001:db8::5");
  EXPECT_EQ(ssr->server_port, 8443);
  EXPECT_EQ(ssr->obfs, "http_simple");
  EXPECT_EQ(ssr->password, "pw");
  std::string exported = shareLink(*ssr);
  auto again = parseLink(exported);
  ASSERT_TRUE(again) << exported;
  EXPECT_EQ(again->server, "2001:db8::5");
  EXPECT_EQ(again->protocol, "auth_aes128_md5");
  EXPECT_FALSE(parseLink("ssr://[2001:db8::5:8443:origin:aes-256-cfb:plain:cHc"));
}

TEST(ShadowsocksRLink, EncodedAndWrittenOutGiveTheSameNode) {
  const char* plain =
      "ssr://example.com:8388:auth_aes128_md5:aes-256-cfb:tls1.2_ticket_auth:cHc/"
      "?obfsparam=dGxzLmV4YW1wbGU&protoparam=cHJvdG8&remarks=TXkgTm9kZSDDqQ&group=R3JvdXAgMQ&udpport=53&uot=1";
  const char* encoded =
      "ssr://ZXhhbXBsZS5jb206ODM4ODphdXRoX2FlczEyOF9tZDU6YWVzLTI1Ni1jZmI6dGxzMS4yX3RpY2tldF9hdXRoOmNIYy8_"
      "b2Jmc3BhcmFtPWRHeHpMbVY0WVcxd2JHVSZwcm90b3BhcmFtPWNISnZkRzgmcmVtYXJrcz1UWGtnVG05a1pTRERxUSZncm91cD1SM0p2ZFhB"
      "Z01RJnVkcHBvcnQ9NTMmdW90PTE";
  for (const char* link : {plain, encoded}) {
    auto p = parseLink(link);
    ASSERT_TRUE(p) << link;
    EXPECT_EQ(p->type, kNodeShadowsocks);
    EXPECT_EQ(p->server, "example.com");
    EXPECT_EQ(p->server_port, 8388);
    EXPECT_EQ(p->protocol, "auth_aes128_md5");
    EXPECT_EQ(p->method, "aes-256-cfb");
    EXPECT_EQ(p->obfs, "tls1.2_ticket_auth");
    EXPECT_EQ(p->password, "pw");
    EXPECT_EQ(p->obfsparam, "tls.example");
    EXPECT_EQ(p->protocolparam, "proto");
    EXPECT_EQ(p->remarks, "My Node \xC3\xA9");
    EXPECT_EQ(p->group, "Group 1");
    EXPECT_EQ(p->server_udp_port, 53);
    EXPECT_TRUE(p->udp_over_tcp);
  }
}

TEST(ShadowsocksRLink, QueryAndPluginNames) {
  // Keys match ignoring case; the first non-empty text value wins; pieces
  // without "=" are ignored; for numbers the first pair counts, even a 0.
  auto p = parseLink(
      "ssr://h:1:auth_sha1_v4_compatible:rc4-md5:http_simple_compatible:cHc/"
      "?remarks=&REMARKS=QUJD&remarks=WFla&junk&uot=0&uot=1&udpport=70000");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->remarks, "ABC");
  EXPECT_FALSE(p->udp_over_tcp);
  EXPECT_EQ(p->server_udp_port, 0);
  EXPECT_EQ(p->protocol, "auth_sha1_v4");
  EXPECT_EQ(p->obfs, "http_simple");

  for (const char* bad :
       {"ssr://h:1:origin:rc4-md5:cHc", "ssr://h:1:origin:rc4-md5:plain:cHc:extra",
        "ssr://::1:1:origin:rc4-md5:plain:cHc", "ssr://h:0:origin:rc4-md5:plain:cHc",
        "ssr://h:73924:origin:rc4-md5:plain:cHc", "ssr://:1:origin:rc4-md5:plain:cHc", "ssr://", "ssr://AAAA"}) {
    EXPECT_FALSE(parseLink(bad)) << bad;
  }
}

TEST(LinkScheme, OnlyTwoPiecesAndKnownSchemes) {
  EXPECT_FALSE(parseLink(""));
  EXPECT_FALSE(parseLink("ss://m:p@h:1#a//b"));  // "//" in the payload
  EXPECT_FALSE(parseLink("ss:m:p@h:1"));
  EXPECT_FALSE(parseLink("sss://m:p@h:1"));
  EXPECT_TRUE(parseLink("sSr://h:1:origin:rc4-md5:plain:cHc"));
}

TEST(BatchSplit, SeparatorsAndEveryPieceParses) {
  const std::string a = "ss://YWVzLTI1Ni1jZmI6c2VjcmV0QDEuMi4zLjQ6ODM4OA==#one";
  const std::string b = "ssr://h:1:origin:rc4-md5:plain:cHc";
  const std::string c = "ss://aes-128-gcm:pw@h.example:443";
  auto pieces = splitBatch(a + ", " + b + "\n" + c);
  ASSERT_EQ(pieces, (Pieces{a, b, c}));
  for (const auto& piece : pieces) EXPECT_TRUE(parseLink(piece)) << piece;
  EXPECT_EQ(splitBatch("\r\n, " + a + "\r\n\r\n" + b + "\r" + c + " ,\n"), (Pieces{a, b, c}));
  EXPECT_TRUE(splitBatch(" ,\r\n\n").empty());
}

// Bytes from outside must never crash or read out of bounds (run under
// ASan/UBSan), and whatever parses must be a usable node.
TEST(LinkRobustness, TruncatedMutatedAndRandomInput) {
  const std::vector<std::string> seeds = {
      "ss://YWVzLTI1Ni1jZmI6c2VjcmV0QDEuMi4zLjQ6ODM4OA==#My%20Node+%C3%A9",
      "ss://YWVzLTI1Ni1jZmI6c2VjcmV0@1.2.3.4:8388/?outline=1#t%4",
      "ss://http_simple:auth_sha1_v4:aes-256-cfb:pw@h.example:443#%",
      "ssr://h:1:auth_sha1_v4_compatible:aes-128-ctr:http_simple:cHc/?remarks=&remarks=QUJD&uot=1&udpport=9",
  };
  auto check = [](const std::string& input) {
    if (auto p = parseLink(input)) {
      EXPECT_FALSE(p->server.empty()) << input;
      EXPECT_NE(p->server_port, 0) << input;
    }
    splitBatch(input);
  };
  for (const auto& seed : seeds) {
    ASSERT_TRUE(parseLink(seed)) << seed;
    for (size_t n = 0; n <= seed.size(); ++n) check(seed.substr(0, n));
  }
  std::mt19937 rng(20240611);
  const std::string alphabet = "s:r/?#@%=&+-_0123456789abcdefABCDEF \r\n,\x80\xff";
  for (int round = 0; round < 20000; ++round) {
    std::string input = seeds[rng() % seeds.size()];
    for (int e = 1 + static_cast<int>(rng() % 4); e > 0 && !input.empty(); --e) {
      size_t at = rng() % input.size();
      switch (rng() % 3) {
        case 0:
          input[at] = alphabet[rng() % alphabet.size()];
          break;
        case 1:
          input.erase(at, 1 + rng() % 3);
          break;
        default:
          input.insert(at, 1, static_cast<char>(rng() & 0xFF));
          break;
      }
    }
    check(input);
  }
}

}  // namespace
}  // namespace vantor
