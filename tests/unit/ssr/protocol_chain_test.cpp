#include <gtest/gtest.h>
#include <cryptopp/aes.h>

#include <algorithm>
#include <memory>

#include "crypto/ssr/plugins.h"
#include "crypto/ssr/protocol_auth_chain.h"
#include "plugin_test_util.h"

namespace vantor {
namespace {

using namespace test;

uint64_t le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

// The server's side of auth_chain, written from the packet layouts: it reads
// what the client sends and frames what the server sends.
struct ChainPeer {
  std::string name;
  bool b = false;
  Bytes ivKey, nodeKey, userKey;
  uint16_t overhead = 0;
  uint8_t clientHash[16] = {}, serverHash[16] = {};
  uint32_t recvNumber = 1, sendNumber = 1;
  ssr::Rc4 fromClient, toClient;
  std::vector<uint64_t> t1, t2;

  ChainPeer(const std::string& tableName, const Node& node, Bytes user) : name(tableName), userKey(std::move(user)) {
    b = name == "auth_chain_b";
    ivKey = node.ivKey();
    nodeKey.assign(node.key, node.key + 32);
    XorShift128Plus g;
    g.state0 = le64(node.key);
    g.state1 = le64(node.key + 8);
    for (auto* t : {&t1, &t2}) {
      t->resize((g.Next() & (t == &t1 ? 7 : 15)) + (t == &t1 ? 4 : 8));
      for (auto& v : *t) v = g.Next() % 2340 % 2040 % 1440;
      std::sort(t->begin(), t->end());
    }
  }

  static XorShift128Plus seeded(const uint8_t* hash, std::size_t length) {
    uint8_t v[16];
    std::memcpy(v, hash, 16);
    v[0] = static_cast<uint8_t>(length);
    v[1] = static_cast<uint8_t>(length >> 8);
    XorShift128Plus g;
    g.state0 = le64(v);
    g.state1 = le64(v + 8);
    for (int i = 0; i < 4; ++i) g.Next();
    return g;
  }

  static uint64_t byLength(std::size_t l, uint64_t r) {
    return r % (l > 1300 ? 31 : l > 900 ? 127 : l > 400 ? 521 : 1021);
  }

  std::size_t padding(std::size_t l, const uint8_t* hash, XorShift128Plus& g) const {
    if (!b) {
      if (l > 1440) return 0;
      g = seeded(hash, l);
      return byLength(l, g.Next());
    }
    if (l >= 1440) return 0;
    g = seeded(hash, l);
    const uint64_t need = l + overhead;
    std::size_t p = std::lower_bound(t1.begin(), t1.end(), need) - t1.begin();
    std::size_t q = p + g.Next() % t1.size();
    if (q < t1.size()) return t1[q] - need;
    p = std::lower_bound(t2.begin(), t2.end(), need) - t2.begin();
    q = p + g.Next() % t2.size();
    if (q < t2.size()) return t2[q] - need;
    if (q < p + t2.size() - 1) return 0;
    return byLength(l, g.Next());
  }

  Bytes numbered(uint32_t n) const {
    Bytes k = userKey;
    k.insert(k.end(), {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)});
    return k;
  }

  void rc4(ssr::Rc4& r, const uint8_t* hash) const {
    const std::string text = Base64Encode(userKey.data(), userKey.size()) + Base64Encode(hash, 16);
    uint8_t k[16];
    Md5(text.data(), text.size(), k);
    r.setKey(k, 16);
  }

  // Checks the 36-byte header; returns the user id it carried.
  uint32_t readHeader(const Bytes& w) {
    HmacMd5(w.data(), 4, ivKey.data(), ivKey.size(), clientHash);
    EXPECT_EQ(Bytes(w.begin() + 4, w.begin() + 12), Bytes(clientHash, clientHash + 8));
    uint8_t uid[4];
    for (int i = 0; i < 4; ++i) uid[i] = w[12 + i] ^ clientHash[8 + i];
    HmacMd5(w.data() + 12, 20, userKey.data(), userKey.size(), serverHash);
    EXPECT_EQ(Bytes(w.begin() + 32, w.begin() + 36), Bytes(serverHash, serverHash + 4));
    const std::string aesText = Base64Encode(userKey.data(), userKey.size()) + name;
    uint8_t aesKey[16], identity[16];
    Md5(aesText.data(), aesText.size(), aesKey);
    CryptoPP::AES::Decryption(aesKey, 16).ProcessBlock(w.data() + 16, identity);
    overhead = static_cast<uint16_t>(platform::readLe16(identity + 12));
    EXPECT_EQ(platform::readLe32(identity + 4), GetProcessAuthData()->clientId.load());
    EXPECT_EQ(platform::readLe16(identity + 14), 0u);
    rc4(fromClient, clientHash);
    rc4(toClient, clientHash);
    return platform::readLe32(uid);
  }

  // Reads client data packets from `at`; their data lengths, data appended.
  std::vector<int> readPackets(const Bytes& w, std::size_t at, Bytes& data) {
    std::vector<int> lengths;
    while (at < w.size()) {
      const std::size_t l = platform::readLe16(w.data() + at) ^ (clientHash[14] | clientHash[15] << 8);
      XorShift128Plus g;
      const std::size_t r = padding(l, clientHash, g);
      uint8_t mac[16];
      const Bytes k = numbered(recvNumber++);
      HmacMd5(w.data() + at, l + r + 2, k.data(), k.size(), mac);
      EXPECT_EQ(Bytes(w.begin() + at + l + r + 2, w.begin() + at + l + r + 4), Bytes(mac, mac + 2));
      const std::size_t s = l == 0 || r == 0 ? 0 : g.Next() % 0x200000011ULL % r;
      Bytes d(w.begin() + at + 2 + s, w.begin() + at + 2 + s + l);
      fromClient.process(d.data(), d.size());
      data = cat(data, d);
      std::memcpy(clientHash, mac, 16);
      lengths.push_back(static_cast<int>(l));
      at += l + r + 4;
    }
    return lengths;
  }

  Bytes packet(const Bytes& d) {
    XorShift128Plus g;
    const std::size_t r = padding(d.size(), serverHash, g);
    const std::size_t s = d.empty() || r == 0 ? 0 : g.Next() % 0x200000011ULL % r;
    Bytes out(d.size() + r + 2, 0x5C);
    platform::writeLe16(out.data(), static_cast<uint32_t>(d.size() ^ (serverHash[14] | serverHash[15] << 8)));
    std::copy(d.begin(), d.end(), out.begin() + 2 + static_cast<std::ptrdiff_t>(s));
    toClient.process(out.data() + 2 + s, d.size());
    const Bytes k = numbered(sendNumber++);
    HmacMd5(out.data(), out.size(), k.data(), k.size(), serverHash);
    out.insert(out.end(), serverHash, serverHash + 2);
    return out;
  }

  // The server's first packet opens with its MSS.
  Bytes firstPacket(uint16_t mss, const Bytes& d) { return packet(cat({uint8_t(mss), uint8_t(mss >> 8)}, d)); }
};

struct Connected {
  std::unique_ptr<CObfs> client;
  std::unique_ptr<ChainPeer> server;
  Bytes firstData;
};

// A client that has sent its first buffer, and the server that read it.
Connected connect(const std::string& name, const Node& node, const Bytes& first, const std::string& param = "") {
  Connected c;
  c.client = CreatePlugin(name, param);
  node.describe(*c.client, 4);
  const Bytes wire = run(*c.client, Op::PreEncrypt, first).out;
  auto* chain = static_cast<CProtocolAuthChainA*>(c.client.get());
  const std::string& key = chain->userKey();
  c.server = std::make_unique<ChainPeer>(name, node, Bytes(key.begin(), key.end()));
  uint32_t uid = c.server->readHeader(wire);
  EXPECT_EQ(uid, platform::readLe32(chain->userId()));
  c.server->readPackets(wire, 36, c.firstData);
  return c;
}

TEST(AuthChain, FirstBufferAndUnitsOfTheMssLessOverhead) {
  Node node;
  for (const char* name : {"auth_chain_a", "auth_chain_b"}) {
    SCOPED_TRACE(name);
    auto p = CreatePlugin(name, "77:text after the colon is the key");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->GetOverhead(), 4);
    node.describe(*p, 4);
    const Bytes body = pattern(5000);
    const Bytes wire = run(*p, Op::PreEncrypt, body).out;
    ChainPeer server(name, node, Bytes{'t', 'e', 'x', 't', ' ', 'a', 'f', 't', 'e', 'r', ' ', 't', 'h', 'e', ' ', 'c',
                                       'o', 'l', 'o', 'n', ' ', 'i', 's', ' ', 't', 'h', 'e', ' ', 'k', 'e', 'y'});
    EXPECT_EQ(server.readHeader(wire), 77u);
    EXPECT_EQ(server.overhead, 4);
    Bytes data;
    EXPECT_EQ(server.readPackets(wire, 36, data), (std::vector<int>{1200, 1448, 1448, 904}));
    EXPECT_EQ(data, body);
  }
}

TEST(AuthChain, AnnouncedMssSetsTheUnitUnlessItLeavesNoRoom) {
  Node node;
  for (const char* name : {"auth_chain_a", "auth_chain_b"}) {
    SCOPED_TRACE(name);
    Connected c = connect(name, node, pattern(10));
    Result r = run(*c.client, Op::PostDecrypt, c.server->firstPacket(1000, {'h', 'i'}));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, (Bytes{'h', 'i'})) << "the MSS is not data";
    EXPECT_EQ(c.client->GetServerInfo().tcpMss, 1000);
    Bytes data;
    EXPECT_EQ(c.server->readPackets(run(*c.client, Op::PreEncrypt, pattern(5000)).out, 0, data),
              (std::vector<int>{996, 996, 996, 996, 996, 20}));

    // An MSS not above the overhead would leave no data per packet.
    Connected d = connect(name, node, pattern(10));
    EXPECT_TRUE(run(*d.client, Op::PostDecrypt, d.server->firstPacket(4, {})).ok);
    EXPECT_EQ(d.client->GetServerInfo().tcpMss, 1452);
    EXPECT_EQ(d.server->readPackets(run(*d.client, Op::PreEncrypt, pattern(3000)).out, 0, data),
              (std::vector<int>{1448, 1448, 104}));
  }
}

TEST(AuthChain, DecodingIsSplitProofAndRejectsEveryFlippedByte) {
  Node node;
  for (const char* name : {"auth_chain_a", "auth_chain_b"}) {
    SCOPED_TRACE(name);
    Connected whole = connect(name, node, pattern(20));
    Connected bytewise = connect(name, node, pattern(20));
    // Both servers frame the same data; the padding differs, the data not.
    Bytes expected, stream1, stream2;
    const std::size_t sizes[] = {0, 1500, 1441, 1440, 300, 1};
    stream1 = whole.server->firstPacket(1452, pattern(5));
    stream2 = bytewise.server->firstPacket(1452, pattern(5));
    expected = pattern(5);
    for (std::size_t n : sizes) {
      stream1 = cat(stream1, whole.server->packet(pattern(n, uint8_t(n))));
      stream2 = cat(stream2, bytewise.server->packet(pattern(n, uint8_t(n))));
      expected = cat(expected, pattern(n, uint8_t(n)));
    }
    EXPECT_EQ(run(*whole.client, Op::PostDecrypt, stream1).out, expected);
    EXPECT_EQ(runBytewise(*bytewise.client, Op::PostDecrypt, stream2), expected);

    // Any flipped byte fails: data, padding and MAC are under the MAC. A
    // changed length may first make the packet look longer than what has
    // arrived; it fails once that much more has come. Nothing corrupt is
    // ever handed on.
    for (std::size_t i = 0; i < stream1.size(); i += 3) {
      Connected fresh = connect(name, node, pattern(20));
      Bytes s = fresh.server->firstPacket(1452, pattern(5));
      for (std::size_t n : sizes) s = cat(s, fresh.server->packet(pattern(n, uint8_t(n))));
      const std::size_t at = std::min(i, s.size() - 1);
      s[at] ^= 0x10;
      Result r = run(*fresh.client, Op::PostDecrypt, s);
      Bytes delivered = r.out;
      if (r.ok) {
        r = run(*fresh.client, Op::PostDecrypt, Bytes(CProtocolAuthChainA::kMaxFrame + 4, 0));
        delivered = cat(delivered, r.out);
      }
      EXPECT_FALSE(r.ok) << "flipped byte " << at;
      EXPECT_LE(delivered.size(), expected.size());
      EXPECT_TRUE(std::equal(delivered.begin(), delivered.end(), expected.begin())) << "flipped byte " << at;
    }
  }
}

TEST(AuthChain, PaddingRulesAtTheLengthLimits) {
  Node node;
  CProtocolAuthChainA a("", "auth_chain_a");
  CProtocolAuthChainB b("", "auth_chain_b");
  node.describe(a, 4);
  node.describe(b, 4);
  XorShift128Plus g;
  const uint8_t hash[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  EXPECT_EQ(a.RandomDataLength(1441, g, hash), 0);
  EXPECT_EQ(b.RandomDataLength(1440, g, hash), 0);
  EXPECT_LT(a.RandomDataLength(1440, g, hash), 31);
  // The same length and hash give the same padding (the peer recomputes it).
  for (int l : {0, 1, 400, 401, 901, 1301}) {
    XorShift128Plus g2;
    EXPECT_EQ(a.RandomDataLength(l, g, hash), a.RandomDataLength(l, g2, hash));
    EXPECT_EQ(b.RandomDataLength(l, g, hash), b.RandomDataLength(l, g2, hash));
    EXPECT_LT(b.RandomDataLength(l, g, hash) + l + 4, 1440 + 1021 + 4);
  }
}

TEST(AuthChainB, SizeTablesArePureFunctionsOfTheKey) {
  Node node, other;
  other.key[3] ^= 1;
  CProtocolAuthChainB p("", "auth_chain_b"), q("", "auth_chain_b"), r("", "auth_chain_b");
  node.describe(p, 4);
  node.describe(q, 9);
  node.describe(q, 4);
  other.describe(r, 4);
  EXPECT_EQ(p.sizeTable1(), q.sizeTable1());
  EXPECT_EQ(p.sizeTable2(), q.sizeTable2());
  EXPECT_NE(p.sizeTable1(), r.sizeTable1());
  EXPECT_TRUE(std::is_sorted(p.sizeTable1().begin(), p.sizeTable1().end()));
  EXPECT_TRUE(p.sizeTable1().size() >= 4 && p.sizeTable1().size() <= 11);
  EXPECT_TRUE(p.sizeTable2().size() >= 8 && p.sizeTable2().size() <= 23);
  for (uint32_t v : p.sizeTable2()) EXPECT_LT(v, 1440u);
  ChainPeer oracle("auth_chain_b", node, {});
  EXPECT_EQ(std::vector<uint64_t>(p.sizeTable1().begin(), p.sizeTable1().end()), oracle.t1);
  EXPECT_EQ(std::vector<uint64_t>(p.sizeTable2().begin(), p.sizeTable2().end()), oracle.t2);
}

TEST(AuthChain, Datagrams) {
  Node node;
  for (const char* name : {"auth_chain_a", "auth_chain_b"}) {
    SCOPED_TRACE(name);
    auto p = CreatePlugin(name, "5:pw");
    node.describe(*p, 4);
    const Bytes data = pattern(100);
    const Bytes out = run(*p, Op::UdpPre, data).out;
    const Bytes userKey = {'p', 'w'};
    ChainPeer server(name, node, userKey);
    const std::size_t n = out.size();
    uint8_t h[16], mac[16];
    HmacMd5(out.data() + n - 8, 3, node.key, 32, h);
    EXPECT_EQ(platform::readLe32(out.data() + n - 5) ^ platform::readLe32(h), 5u);
    HmacMd5(out.data(), n - 1, userKey.data(), userKey.size(), mac);
    EXPECT_EQ(out[n - 1], mac[0]);
    XorShift128Plus g;
    g.state0 = le64(h);
    g.state1 = le64(h + 8);
    ASSERT_EQ(n, data.size() + g.Next() % 127 + 8);
    Bytes plain(out.begin(), out.begin() + 100);
    ssr::Rc4 rc4;
    server.rc4(rc4, h);
    rc4.process(plain.data(), plain.size());
    EXPECT_EQ(plain, data);

    // An answer: RC4(data), padding, 7 random bytes, one MAC byte.
    const uint8_t v[7] = {9, 8, 7, 6, 5, 4, 3};
    HmacMd5(v, 7, node.key, 32, h);
    g.state0 = le64(h);
    g.state1 = le64(h + 8);
    Bytes answer = data;
    server.rc4(rc4, h);
    rc4.process(answer.data(), answer.size());
    answer.resize(answer.size() + g.Next() % 127, 0xEE);
    answer.insert(answer.end(), v, v + 7);
    HmacMd5(answer.data(), answer.size(), userKey.data(), userKey.size(), mac);
    answer.push_back(mac[0]);
    Result r = run(*p, Op::UdpPost, answer);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, data);
    answer.back() ^= 1;
    EXPECT_FALSE(run(*p, Op::UdpPost, answer).ok);
    EXPECT_FALSE(run(*p, Op::UdpPost, Bytes(8, 0)).ok);
  }
}

TEST(Rc4, KnownKeystream) {
  ssr::Rc4 rc4;
  rc4.setKey(reinterpret_cast<const uint8_t*>("Key"), 3);
  Bytes text = {'P', 'l', 'a', 'i', 'n', 't', 'e', 'x', 't'};
  rc4.process(text.data(), text.size());
  EXPECT_EQ(text, (Bytes{0xBB, 0xF3, 0x16, 0xE8, 0xD9, 0x40, 0xAF, 0x0A, 0xD3}));
}

}  // namespace
}  // namespace vantor
