#include <gtest/gtest.h>
#include <cryptopp/aes.h>

#include <ctime>
#include <memory>

#include "crypto/ssr/plugins.h"
#include "crypto/ssr/protocol_auth.h"
#include "plugin_test_util.h"

namespace vantor {
namespace {

using namespace test;

const Bytes kIpv4Header = {0x01, 0x7F, 0x00, 0x00, 0x01, 0x00, 0x50};

bool clockIsNow(uint32_t t) {
  const auto now = static_cast<uint32_t>(std::time(nullptr));
  return t <= now && now - t < 5;
}

// Data length of each auth_sha1_v4 data packet in `wire` from `at` on, with
// every checksum verified; the data itself is appended to `data`.
std::vector<int> sha1DataPackets(const Bytes& wire, std::size_t at, Bytes& data) {
  std::vector<int> lengths;
  while (at < wire.size()) {
    const uint8_t* p = wire.data() + at;
    const int total = static_cast<int>(platform::readBe16(p));
    EXPECT_EQ(platform::readLe16(p + 2), Crc32(p, 2) & 0xFFFF);
    EXPECT_EQ(platform::readLe32(p + total - 4), ssr::Adler32(p, static_cast<std::size_t>(total - 4)));
    const int pad = p[4] == 0xFF ? static_cast<int>(platform::readBe16(p + 5)) : p[4];
    for (int i = p[4] == 0xFF ? 3 : 1; i < pad; ++i) EXPECT_EQ(p[4 + i], 0) << "padding is zero-filled";
    lengths.push_back(total - 8 - pad);
    data.insert(data.end(), p + 4 + pad, p + total - 4);
    at += static_cast<std::size_t>(total);
  }
  return lengths;
}

TEST(AuthSha1V4, FirstPacketCarriesTheAddressThenChunksOf2000) {
  Node node;
  auto p = CreatePlugin("auth_sha1_v4", "");
  ASSERT_TRUE(p);
  node.describe(*p, 9);
  CAuthData* auth = p->GetServerInfo().authData;
  const Bytes body = pattern(4500);
  const Bytes wire = run(*p, Op::PreEncrypt, cat(kIpv4Header, body)).out;

  const int total = static_cast<int>(platform::readBe16(wire.data()));
  Bytes crcInput(wire.begin(), wire.begin() + 2);
  for (char c : std::string("auth_sha1_v4")) crcInput.push_back(static_cast<uint8_t>(c));
  crcInput.insert(crcInput.end(), node.key, node.key + 32);
  EXPECT_EQ(platform::readLe32(wire.data() + 2), Crc32(crcInput.data(), crcInput.size()));
  const int pad = wire[6] == 0xFF ? static_cast<int>(platform::readBe16(wire.data() + 7)) : wire[6];
  EXPECT_EQ(total, pad - 1 + 7 + 29) << "T = R + L + 29 with the 7 address bytes as data";
  const uint8_t* id = wire.data() + 6 + pad;
  EXPECT_TRUE(clockIsNow(platform::readLe32(id)));
  EXPECT_EQ(platform::readLe32(id + 4), auth->clientId.load());
  EXPECT_EQ(Bytes(id + 12, id + 19), kIpv4Header);
  uint8_t mac[20];
  const Bytes k = node.ivKey();
  HmacSha1(wire.data(), static_cast<std::size_t>(total - 10), k.data(), k.size(), mac);
  EXPECT_EQ(Bytes(mac, mac + 10), Bytes(wire.begin() + total - 10, wire.begin() + total));

  Bytes data;
  EXPECT_EQ(sha1DataPackets(wire, static_cast<std::size_t>(total), data), (std::vector<int>{2000, 2000, 500}));
  EXPECT_EQ(data, body);

  // A later call has no authentication packet; a first call of only the
  // address header has nothing but one.
  EXPECT_EQ(sha1DataPackets(run(*p, Op::PreEncrypt, pattern(10)).out, 0, data), std::vector<int>{10});
  auto q = CreatePlugin("auth_sha1_v4", "");
  node.describe(*q, 9);
  const Bytes only = run(*q, Op::PreEncrypt, kIpv4Header).out;
  EXPECT_EQ(only.size(), platform::readBe16(only.data()));
  EXPECT_EQ(platform::readLe32(only.data() + 6 + (only[6] == 0xFF ? platform::readBe16(only.data() + 7) : only[6]) + 8),
            auth->connectionId.load())
      << "the connection number just taken";
}

TEST(AuthSha1V4, DataPacketPaddingHead) {
  Bytes out;
  CProtocol_auth_sha1_v4::appendDataPacket(out, pattern(1301).data(), 1301, CProtocol_auth_sha1_v4::dataPadding(1301));
  EXPECT_EQ(platform::readBe16(out.data()), 1310u);
  EXPECT_EQ(out[4], 1);
  out.clear();
  CProtocol_auth_sha1_v4::appendDataPacket(out, pattern(5).data(), 5, 200);  // R + 1 = 201: long form
  EXPECT_EQ(out[4], 0xFF);
  EXPECT_EQ(platform::readBe16(out.data() + 5), 201u);
  Bytes data;
  EXPECT_EQ(sha1DataPackets(out, 0, data), std::vector<int>{5});
}

TEST(AuthSha1V4, DecodingIsSplitProofAndRejectsEveryFlippedByte) {
  Bytes stream, expected;
  const int sizes[] = {1, 300, 2000, 1301, 0, 77};
  const int pads[] = {0, 200, 5, 0, 3, 126};
  for (int i = 0; i < 6; ++i) {
    const Bytes d = pattern(static_cast<std::size_t>(sizes[i]), static_cast<uint8_t>(i));
    CProtocol_auth_sha1_v4::appendDataPacket(stream, d.data(), sizes[i], pads[i]);
    expected = cat(expected, d);
  }
  CProtocol_auth_sha1_v4 whole(""), bytewise("");
  EXPECT_EQ(run(whole, Op::PostDecrypt, stream).out, expected);
  EXPECT_EQ(runBytewise(bytewise, Op::PostDecrypt, stream), expected);

  for (std::size_t i = 0; i < stream.size(); ++i) {
    Bytes bad = stream;
    bad[i] ^= 0x20;
    CProtocol_auth_sha1_v4 p("");
    EXPECT_FALSE(run(p, Op::PostDecrypt, bad).ok) << "flipped byte " << i;
  }

  // Checksums right, lengths wrong: below the minimum, and a padding head
  // that points past the data.
  auto sealed = [](Bytes packet) {
    platform::writeLe16(packet.data() + 2, Crc32(packet.data(), 2) & 0xFFFF);
    platform::writeLe32(packet.data() + packet.size() - 4, ssr::Adler32(packet.data(), packet.size() - 4));
    return packet;
  };
  Bytes tiny = {0x00, 0x06, 0, 0, 1, 0};
  platform::writeLe16(tiny.data() + 2, Crc32(tiny.data(), 2) & 0xFFFF);
  CProtocol_auth_sha1_v4 a(""), b("");
  EXPECT_FALSE(run(a, Op::PostDecrypt, tiny).ok);
  EXPECT_FALSE(run(b, Op::PostDecrypt, sealed({0x00, 0x0C, 0, 0, 0x09, 1, 2, 3, 0, 0, 0, 0})).ok);
}

// ------------------------------------------------------------------ auth_aes128

Bytes hmac(bool sha1, const Bytes& data, const Bytes& key, std::size_t n) {
  uint8_t d[20];
  if (sha1)
    HmacSha1(data.data(), data.size(), key.data(), key.size(), d);
  else
    HmacMd5(data.data(), data.size(), key.data(), key.size(), d);
  return Bytes(d, d + n);
}

Bytes sub(const Bytes& b, std::size_t from, std::size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

TEST(AuthAes128, UserFromParameterOrNodeKey) {
  Node node;
  for (const char* name : {"auth_aes128_md5", "auth_aes128_sha1"}) {
    SCOPED_TRACE(name);
    CProtocol_auth_aes128_md5 p("1234:secret", name);
    node.describe(p, 9);
    p.prepareUser();
    EXPECT_EQ(Bytes(p.userId(), p.userId() + 4), (Bytes{0xD2, 0x04, 0x00, 0x00}));
    uint8_t digest[20];
    if (p.isSha1())
      Sha1("secret", 6, digest);
    else
      Md5("secret", 6, digest);
    const int n = p.isSha1() ? 20 : 16;
    EXPECT_EQ(Bytes(p.userKey(), p.userKey() + p.userKeyLength()), Bytes(digest, digest + n));

    CProtocol_auth_aes128_md5 q("no colon", name);
    node.describe(q, 9);
    q.prepareUser();
    EXPECT_EQ(Bytes(q.userKey(), q.userKey() + q.userKeyLength()), Bytes(node.key, node.key + 32));
    // A new connection derives afresh: a new random id, counters from 1.
    q.UpdateIvKey(nullptr, 0, nullptr, 0);
    EXPECT_EQ(q.userKeyLength(), 0);
    EXPECT_EQ(q.sendPacketNumber(), 1u);
  }
}

TEST(AuthAes128, FirstBufferOf1500IsAnAuthPacketOf1200AndADataPacketOf300) {
  Node node;
  for (const char* name : {"auth_aes128_md5", "auth_aes128_sha1"}) {
    SCOPED_TRACE(name);
    CProtocol_auth_aes128_md5 p("1234:secret", name);
    node.describe(p, 9);
    const bool sha1 = p.isSha1();
    const Bytes body = pattern(1500);
    const Bytes wire = run(p, Op::PreEncrypt, body).out;
    const Bytes ivKey = node.ivKey();
    const Bytes userKey(p.userKey(), p.userKey() + p.userKeyLength());

    EXPECT_EQ(sub(wire, 1, 7), hmac(sha1, sub(wire, 0, 1), ivKey, 6));
    EXPECT_EQ(sub(wire, 7, 11), (Bytes{0xD2, 0x04, 0x00, 0x00}));
    EXPECT_EQ(sub(wire, 27, 31), hmac(sha1, sub(wire, 7, 27), ivKey, 4));
    const std::string aesText = Base64Encode(userKey.data(), userKey.size()) + name;
    uint8_t aesKey[16], identity[16];
    Md5(aesText.data(), aesText.size(), aesKey);
    CryptoPP::AES::Decryption(aesKey, 16).ProcessBlock(wire.data() + 11, identity);
    EXPECT_TRUE(clockIsNow(platform::readLe32(identity)));
    EXPECT_EQ(platform::readLe32(identity + 4), p.GetServerInfo().authData->clientId.load());
    const std::size_t total = platform::readLe16(identity + 12), pad = platform::readLe16(identity + 14);
    EXPECT_EQ(total, pad + 1200 + 35);
    EXPECT_LE(pad, 0x1FFu) << "more than 400 data bytes: padding below 512";
    EXPECT_EQ(sub(wire, 31 + pad, total - 4), sub(body, 0, 1200));
    EXPECT_EQ(sub(wire, total - 4, total), hmac(sha1, sub(wire, 0, total - 4), userKey, 4));

    const Bytes packet = sub(wire, total, wire.size());
    Bytes key = userKey;
    key.insert(key.end(), {1, 0, 0, 0});
    ASSERT_EQ(platform::readLe16(packet.data()), packet.size());
    EXPECT_EQ(sub(packet, 2, 4), hmac(sha1, sub(packet, 0, 2), key, 2));
    EXPECT_EQ(sub(packet, packet.size() - 4, packet.size()), hmac(sha1, sub(packet, 0, packet.size() - 4), key, 4));
    const std::size_t head = packet[4] == 0xFF ? platform::readLe16(packet.data() + 5) : packet[4];
    EXPECT_EQ(sub(packet, 4 + head, packet.size() - 4), sub(body, 1200, 1500));
    EXPECT_EQ(p.sendPacketNumber(), 2u);
  }
}

TEST(AuthAes128, DecodingIsSplitProofAndChecksEveryMac) {
  Node node;
  for (const char* name : {"auth_aes128_md5", "auth_aes128_sha1"}) {
    SCOPED_TRACE(name);
    // The server frames its data as the client frames data packets, with the
    // same user key and its own count from 1.
    CProtocol_auth_aes128_md5 server("1234:secret", name);
    node.describe(server, 9);
    Bytes stream, expected;
    const int sizes[] = {1, 2000, 700, 0, 130};
    const int pads[] = {0, 0, 300, 4, 126};
    for (int i = 0; i < 5; ++i) {
      const Bytes d = pattern(static_cast<std::size_t>(sizes[i]), static_cast<uint8_t>(i + 9));
      server.appendDataPacket(stream, d.data(), sizes[i], pads[i]);
      expected = cat(expected, d);
    }
    auto client = [&] {
      auto c = std::make_unique<CProtocol_auth_aes128_md5>("1234:secret", name);
      node.describe(*c, 9);
      return c;
    };
    auto whole = client(), bytewise = client();
    EXPECT_EQ(run(*whole, Op::PostDecrypt, stream).out, expected);
    EXPECT_EQ(whole->recvPacketNumber(), 6u);
    EXPECT_EQ(runBytewise(*bytewise, Op::PostDecrypt, stream), expected);

    for (std::size_t i = 0; i < stream.size(); ++i) {
      Bytes bad = stream;
      bad[i] ^= 0x01;
      EXPECT_FALSE(run(*client(), Op::PostDecrypt, bad).ok) << "flipped byte " << i;
    }
    // A wrong length MAC is caught with the fifth byte, long before the rest.
    Bytes head = sub(stream, 0, 5);
    head[3] ^= 0x80;
    auto early = client();
    EXPECT_TRUE(run(*early, Op::PostDecrypt, sub(head, 0, 4)).ok);
    EXPECT_FALSE(run(*early, Op::PostDecrypt, sub(head, 4, 5)).ok);
  }
}

TEST(AuthAes128, Datagrams) {
  Node node;
  CProtocol_auth_aes128_md5 p("7:pw", "auth_aes128_md5");
  node.describe(p, 9);
  const Bytes data = pattern(40);
  const Bytes out = run(p, Op::UdpPre, data).out;
  const Bytes userKey(p.userKey(), p.userKey() + p.userKeyLength());
  ASSERT_EQ(out.size(), data.size() + 8);
  EXPECT_EQ(sub(out, 0, 40), data);
  EXPECT_EQ(sub(out, 40, 44), (Bytes{7, 0, 0, 0}));
  EXPECT_EQ(sub(out, 44, 48), hmac(false, sub(out, 0, 44), userKey, 4));

  // Answers are keyed with the node key.
  const Bytes nodeKey(node.key, node.key + 32);
  const Bytes answer = cat(data, hmac(false, data, nodeKey, 4));
  Result r = run(p, Op::UdpPost, answer);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.out, data);
  EXPECT_FALSE(run(p, Op::UdpPost, cat(data, hmac(false, data, userKey, 4))).ok);
  EXPECT_FALSE(run(p, Op::UdpPost, sub(answer, 36, 44)).ok) << "a MAC of other bytes";
  EXPECT_FALSE(run(p, Op::UdpPost, sub(answer, 0, 4)).ok) << "4 bytes or fewer";
}

}  // namespace
}  // namespace vantor
