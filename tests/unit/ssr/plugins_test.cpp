#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "crypto/ssr/plugins.h"
#include "platform/heap.h"

namespace vantor {
namespace {

using NameList = std::vector<std::pair<std::string, bool>>;

TEST(PluginNames, TablesAndLookups) {
  NameList list = {{"kept", true}};
  GetProtocolNames(list);
  EXPECT_EQ(list, (NameList{{"kept", true},
                            {"origin", false},
                            {"auth_sha1_v4", false},
                            {"auth_aes128_md5", true},
                            {"auth_aes128_sha1", true},
                            {"auth_chain_a", true},
                            {"auth_chain_b", true}}));
  list.clear();
  GetObfsNames(list);
  EXPECT_EQ(list, (NameList{{"plain", false},
                            {"http_simple", true},
                            {"http_post", true},
                            {"random_head", false},
                            {"tls1.2_ticket_auth", true},
                            {"tls1.2_ticket_fastauth", true}}));

  EXPECT_EQ(ProtocolIndex("AUTH_Chain_B"), 5);
  EXPECT_EQ(ObfsIndex("random_head"), 3);
  EXPECT_TRUE(IsValidObfs("TLS1.2_TICKET_AUTH"));
  EXPECT_TRUE(IsValidProtocol("Auth_Aes128_Sha1"));
  // Near misses stay invalid: the terminator, blanks, suffixes, the other table.
  for (const char* bad : {"", "plain ", "auth_aes128_md5_compatible", "tls1.2_ticket", "origin"})
    EXPECT_EQ(ObfsIndex(bad), -1) << '"' << bad << '"';
  for (const char* bad : {"", "origin ", "auth_chain", "plain"}) EXPECT_FALSE(IsValidProtocol(bad)) << bad;
}

TEST(CreatePlugin, NamesAndParameters) {
  auto origin = CreatePlugin("Origin", "ignored");
  auto plain = CreatePlugin("PLAIN", "ignored");
  ASSERT_TRUE(origin && plain);
  EXPECT_EQ(origin->GetName(), "origin");
  EXPECT_EQ(origin->GetParam(), "");
  EXPECT_EQ(plain->GetName(), "plain");
  EXPECT_EQ(plain->GetParam(), "");
  EXPECT_NE(plain->GetInstanceNumber(), origin->GetInstanceNumber());
  for (const char* bad : {"", "auth_aes128_md5_compatible", "origin ", "aes-256-cfb"})
    EXPECT_FALSE(CreatePlugin(bad, "")) << '"' << bad << '"';

  // Whatever this build can create carries its own table name, asked for in
  // any case.
  NameList names;
  GetProtocolNames(names);
  GetObfsNames(names);
  for (const auto& [name, accepts] : names) {
    std::string asked = name;
    for (char& c : asked) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (auto p = CreatePlugin(asked, "x")) {
      EXPECT_EQ(p->GetName(), name);
    }
  }
}

// origin and plain hand every byte on unchanged, in the caller's block.
TEST(PassThrough, OriginAndPlainKeepBytesAndBuffer) {
  for (const char* n : {"origin", "plain"}) {
    SCOPED_TRACE(n);
    auto p = CreatePlugin(n, "");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->GetOverhead(), 0);
    EXPECT_FALSE(p->QueryFlag1() || p->QueryFlag2());
    auto* buf = static_cast<uint8_t*>(platform::heapAlloc(10));
    for (int i = 0; i < 10; ++i) buf[i] = uint8_t(0xA0 + i);
    uint8_t* const original = buf;
    const std::vector<uint8_t> before(buf, buf + 10);
    bool sendBack = true;
    const std::vector<std::function<bool(int&)>> ops = {
        [&](int& o) { return p->ClientPreEncrypt(buf, 10, o); },
        [&](int& o) { return p->ClientEncode(buf, 10, 4096, o); },
        [&](int& o) { return p->ClientDecode(buf, 10, 4096, o, sendBack) && !sendBack; },
        [&](int& o) { return p->ClientPostDecrypt(buf, 10, o); },
        [&](int& o) { return p->ClientUdpPreEncrypt(buf, 10, o); },
        [&](int& o) { return p->ClientUdpPostDecrypt(buf, 10, o); },
    };
    for (std::size_t i = 0; i < ops.size(); ++i) {
      int out = -1;
      EXPECT_TRUE(ops[i](out)) << "op " << i;
      EXPECT_EQ(out, 10) << "op " << i;
      EXPECT_EQ(buf, original) << "op " << i;
      EXPECT_EQ(std::vector<uint8_t>(buf, buf + 10), before) << "op " << i;
    }
    platform::heapFree(buf);
  }
}

TEST(ServerInfo, SetCopyAndUpdate) {
  auto p = CreatePlugin("plain", "");
  const ServerInfo& si = p->GetServerInfo();
  EXPECT_EQ(si.tcpMss, 1452);
  uint8_t iv[16], iv2[16], key[32], recv[8];
  std::memset(iv, 1, 16), std::memset(iv2, 2, 16), std::memset(key, 3, 32), std::memset(recv, 4, 8);
  CAuthData* auth = InitAuthData();
  p->SetServerInfo("example.org", 8388, "obfs.param", auth, iv, 16, key, 32, recv, 8, 1400, 14, 5, 65507);
  EXPECT_EQ(si.host, "example.org");
  EXPECT_EQ(si.param, "obfs.param");
  EXPECT_EQ(si.authData, auth);
  EXPECT_TRUE(si.ivLen == 16 && !std::memcmp(si.iv, iv, 16));
  EXPECT_TRUE(si.keyLen == 32 && !std::memcmp(si.key, key, 32));
  EXPECT_TRUE(si.recvIvLen == 8 && !std::memcmp(si.recvIv, recv, 8));
  EXPECT_TRUE(si.port == 8388 && si.tcpMss == 1400 && si.headLen == 14 && si.overhead == 5 && si.bufferSize == 65507);

  // Without a receive IV the stored one stays; IV and key are always replaced.
  p->SetServerInfo("h", 1, "", auth, nullptr, 0, key, 16, nullptr, 0, 1452, 30, 0, 65507);
  EXPECT_TRUE(si.ivLen == 0 && si.keyLen == 16 && si.recvIvLen == 8);
  // UpdateIvKey takes only what it is given.
  p->UpdateIvKey(iv2, 16, nullptr, 0);
  p->UpdateIvKey(nullptr, 0, nullptr, 0);
  EXPECT_TRUE(si.ivLen == 16 && !std::memcmp(si.iv, iv2, 16) && si.keyLen == 16);

  auto q = CreatePlugin("origin", "");
  q->CopyServerInfo(si);
  q->CopyServerInfo(q->GetServerInfo());  // onto itself
  const ServerInfo& qi = q->GetServerInfo();
  EXPECT_EQ(qi.host, "h");
  EXPECT_TRUE(qi.ivLen == 16 && !std::memcmp(qi.iv, iv2, 16) && qi.keyLen == 16 && qi.recvIvLen == 8);

  // Lengths beyond the fixed 32-byte fields must not write past them.
  std::vector<uint8_t> big(64, 0x5A);
  p->SetServerInfo("h", 1, "", nullptr, big.data(), 64, big.data(), 1000, big.data(), 33, 1452, 30, 0, 0);
  EXPECT_TRUE(si.ivLen == 32 && si.keyLen == 32 && si.recvIvLen == 32);
  p->SetServerInfo("h", 1, "", nullptr, big.data(), -5, big.data(), -1, nullptr, 0, 1452, 30, 0, 0);
  EXPECT_TRUE(si.ivLen == 0 && si.keyLen == 0);
  p->UpdateIvKey(big.data(), 64, big.data(), 64);
  EXPECT_TRUE(si.ivLen == 32 && si.keyLen == 32);
}

// A minimal authenticating protocol, to check the state the base class owns.
class TestAuth : public CProtocolAuth {
 public:
  TestAuth() : CProtocolAuth("auth_test", "p") {}
  int RandomDataLength(int, XorShift128Plus&, const uint8_t*) override { return 0; }
  void dirty() {
    recvBuffer = static_cast<uint8_t*>(platform::heapAlloc(100));
    recvBufferLength = 100;
    headerSent = 1;
    overhead = 77;
  }
  bool clean() const { return !recvBuffer && !recvBufferLength && !headerSent && overhead == kOverhead; }
};

TEST(ProtocolAuth, UpdateIvKeyReturnsToFreshState) {
  TestAuth a;
  EXPECT_TRUE(a.clean());
  EXPECT_TRUE(a.QueryFlag1() && a.QueryFlag2());
  a.dirty();
  uint8_t iv[16] = {9};
  a.UpdateIvKey(iv, 16, nullptr, 0);
  EXPECT_TRUE(a.clean());
  EXPECT_EQ(a.GetServerInfo().iv[0], 9);
  a.dirty();  // the destructor releases it (the address-sanitizer build checks)
}

}  // namespace
}  // namespace vantor
