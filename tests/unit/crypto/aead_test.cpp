#include <gtest/gtest.h>

#include "crypto/aead_cryptor.h"
#include "cryptor_test_util.h"

namespace vantor::test {
namespace {

AEADCryptor& Aead(const std::unique_ptr<CCryptor>& c) { return dynamic_cast<AEADCryptor&>(*c); }

// aes-256-gcm stream for password "barfoo!" with salt 00 01 .. 1f and the
// payloads "hello, world" and 20 x 'x', built with Python's `cryptography`
// (HKDF-SHA1 subkey, AESGCM, little-endian nonces 0..3).
const Bytes kGcmWire = {
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10, 0x11, 0x12,
    0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x1b, 0x1c, 0x1d, 0x1e, 0x1f, 0xfe, 0x3b, 0x61, 0x1b, 0x1b, 0xb2,
    0xf5, 0x8f, 0xa3, 0x2a, 0x20, 0x05, 0x69, 0x24, 0xfc, 0x17, 0xdb, 0xb5, 0xb6, 0xf5, 0xcc, 0x0f, 0x03, 0xcb, 0xd3,
    0xa9, 0x3b, 0x3d, 0x32, 0x72, 0xf0, 0x72, 0x18, 0x46, 0x89, 0x99, 0xfa, 0x19, 0x51, 0xb6, 0xce, 0xfd, 0xd6, 0xbe,
    0xc9, 0xe0, 0xe4, 0xda, 0x72, 0x57, 0xf1, 0xf9, 0x80, 0x28, 0x3e, 0x0b, 0x23, 0x61, 0x65, 0x66, 0x87, 0x49, 0x85,
    0x3a, 0xec, 0xd3, 0x40, 0x32, 0xea, 0x4f, 0x78, 0x73, 0x04, 0x0e, 0x2b, 0x73, 0x4e, 0x28, 0x03, 0x40, 0x29, 0x0a,
    0xf7, 0x47, 0x87, 0xf4, 0x25, 0x00, 0xa8, 0x9b, 0xba, 0xf5, 0x5e, 0x0a, 0x45, 0xd7, 0x3b, 0x0d, 0x5f, 0x1c,
};

TEST(AeadTest, DecryptsIndependentlyBuiltStream) {
  auto c = Make("aes-256-gcm", "barfoo!");
  DecResult r = Dec(*c, kGcmWire);
  ASSERT_TRUE(r.ok);
  EXPECT_FALSE(r.needMore);  // salt and both chunks consumed by one call
  Bytes expected = Text("hello, world");
  expected.insert(expected.end(), 20, 'x');
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(Bytes(Aead(c).GetRecvSalt(), Aead(c).GetRecvSalt() + 32), Bytes(kGcmWire.begin(), kGcmWire.begin() + 32));
}

// The salt a reset leaves for later is the one the wire IV shows and the next
// output carries, datagram or stream, and a datagram received in between
// changes nothing of it; every reset still leads to a fresh salt.
TEST(AeadTest, SaltAfterResetIsTheOneSentNext) {
  for (const char* method : {"aes-256-gcm", "chacha20-ietf-poly1305"}) {
    auto tx = Make(method, "pw");
    auto peer = Make(method, "pw");
    const int saltLength = Aead(tx).GetSaltLength();
    std::vector<Bytes> salts;
    for (bool packet : {true, false, true}) {
      tx->Reset();
      Bytes shown(tx->GetWireIV(), tx->GetWireIV() + tx->GetWireIVLength());
      ASSERT_EQ(static_cast<int>(shown.size()), saltLength);
      // A datagram from the peer, opened between the reset and the send.
      Bytes incoming = Enc(*peer, Text("answer"), true);
      peer->Reset();
      DecResult in = Dec(*tx, incoming, true);
      ASSERT_TRUE(in.ok) << method;
      EXPECT_EQ(in.out, Text("answer"));
      Bytes out = Enc(*tx, Text("query"), packet);
      EXPECT_EQ(Bytes(out.begin(), out.begin() + saltLength), shown) << method << (packet ? " datagram" : " stream");
      DecResult back = Dec(*peer, out, packet);
      ASSERT_TRUE(back.ok) << method;
      EXPECT_EQ(back.out, Text("query"));
      peer->Reset();
      for (const Bytes& earlier : salts) EXPECT_NE(earlier, shown) << method;
      salts.push_back(shown);
    }
  }
}

TEST(AeadTest, ChunkSizesAndFraming) {
  auto c = Make("aes-128-gcm", "pw");
  Bytes ten(10, 1);
  Bytes first = Enc(*c, ten);
  EXPECT_EQ(first.size(), 16u + (2 + 16) + (10 + 16));
  EXPECT_EQ(Bytes(first.begin(), first.begin() + 16), Bytes(Aead(c).GetSendSalt(), Aead(c).GetSendSalt() + 16));
  EXPECT_EQ(Enc(*c, ten).size(), 44u);
  EXPECT_TRUE(Enc(*c, Bytes{}).empty());  // no empty chunk on the wire

  // 16384 bytes: chunks of 16383 and 1; 3 * 16383 + 2: four chunks.
  auto big = Make("chacha20-ietf-poly1305", "pw");
  Bytes plain = RandomPlaintext(16384, 10);
  Bytes wire = Enc(*big, plain);
  ASSERT_EQ(wire.size(), 32u + 2 * (2 + 16 + 16) + 16384u);
  auto rx = Make("chacha20-ietf-poly1305", "pw");
  const std::size_t firstChunkEnd = 32 + 2 + 16 + 16383 + 16;
  DecResult r = Dec(*rx, wire.data(), firstChunkEnd);
  ASSERT_TRUE(r.ok);
  EXPECT_FALSE(r.needMore);
  EXPECT_EQ(r.out, Bytes(plain.begin(), plain.begin() + 16383));
  r = Dec(*rx, wire.data() + firstChunkEnd, wire.size() - firstChunkEnd);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.out, Bytes(1, plain.back()));

  Bytes four = RandomPlaintext(3 * 16383 + 2, 11);
  EXPECT_EQ(Enc(*big, four).size(), 4 * (2 + 16 + 16) + four.size());
}

TEST(AeadTest, ByteAtATimeReleasesWholeChunksOnly) {
  auto tx = Make("xchacha20-ietf-poly1305", "pw");
  Bytes p1 = RandomPlaintext(100, 12), p2 = RandomPlaintext(7, 13);
  Bytes wire = Enc(*tx, p1);
  const std::size_t chunk1End = wire.size();
  Bytes more = Enc(*tx, p2);
  wire.insert(wire.end(), more.begin(), more.end());

  auto rx = Make("xchacha20-ietf-poly1305", "pw");
  for (std::size_t i = 0; i < wire.size(); ++i) {
    DecResult r = Dec(*rx, &wire[i], 1);
    ASSERT_TRUE(r.ok) << i;
    if (i + 1 == chunk1End) {
      EXPECT_EQ(r.out, p1);
      EXPECT_FALSE(r.needMore);
    } else if (i + 1 == wire.size()) {
      EXPECT_EQ(r.out, p2);
      EXPECT_FALSE(r.needMore);
    } else {
      EXPECT_TRUE(r.out.empty()) << i;
      EXPECT_TRUE(r.needMore) << i;
    }
  }
}

class AeadTamperTest : public ::testing::TestWithParam<std::string> {};

// Any change to the authenticated stream is a failure, and a failed stream
// stays failed: nothing after a bad chunk can be trusted or even framed.
TEST_P(AeadTamperTest, TamperingIsReportedAsFailure) {
  const std::string method = GetParam();
  auto tx = Make(method, "pw");
  const int salt = Aead(tx).GetSaltLength();
  Bytes good = Enc(*tx, RandomPlaintext(500, 14));
  Bytes next = Enc(*tx, RandomPlaintext(50, 15));

  struct Case {
    const char* what;
    std::size_t offset;
  };
  const Case cases[] = {
      {"salt", 3},
      {"sealed length", static_cast<std::size_t>(salt)},
      {"length tag", static_cast<std::size_t>(salt) + 17},
      {"payload", static_cast<std::size_t>(salt) + 18 + 100},
      {"payload tag", good.size() - 1},
  };
  for (const Case& cs : cases) {
    Bytes bad = good;
    bad[cs.offset] ^= 0x01;
    auto rx = Make(method, "pw");
    DecResult r = Dec(*rx, bad);
    EXPECT_FALSE(r.ok) << method << ": " << cs.what;
    EXPECT_TRUE(r.out.empty()) << method << ": " << cs.what;
    EXPECT_FALSE(Dec(*rx, next).ok) << method << ": stays failed after " << cs.what;
  }

  // Split reads: the failure shows on the read that completes the bad chunk.
  Bytes bad = good;
  bad.back() ^= 0x80;
  auto rx = Make(method, "pw");
  DecResult r = Dec(*rx, bad.data(), bad.size() - 1);
  EXPECT_TRUE(r.ok && r.needMore);
  EXPECT_FALSE(Dec(*rx, &bad.back(), 1).ok);

  // A wrong password fails on the first chunk instead of yielding garbage.
  auto wrong = Make(method, "pW");
  EXPECT_FALSE(Dec(*wrong, good).ok) << method;

  // Reset starts a fresh stream that decodes again.
  rx->Reset();
  auto tx2 = Make(method, "pw");
  Bytes fresh = Enc(*tx2, Text("again"));
  r = Dec(*rx, fresh);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.out, Text("again"));
}

TEST_P(AeadTamperTest, OversizedLengthIsRejected) {
  const std::string method = GetParam();
  for (int length : {0x4000, 0xFFFF}) {
    auto tx = Make(method, "pw");
    AEADCryptor& a = Aead(tx);
    // A well-sealed length chunk announcing more than 0x3FFF bytes.
    Bytes salt = Enc(*tx, Bytes{});
    ASSERT_EQ(salt.size(), static_cast<std::size_t>(a.GetSaltLength()));
    const uint8_t lengthBytes[2] = {static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
    Bytes sealed(2 + a.GetTagLength());
    int sealedLen = 0;
    ASSERT_TRUE(a.Seal(lengthBytes, 2, sealed.data(), sealedLen));
    ASSERT_EQ(sealedLen, 2 + a.GetTagLength());
    salt.insert(salt.end(), sealed.begin(), sealed.end());
    salt.insert(salt.end(), 100, 0);

    auto rx = Make(method, "pw");
    EXPECT_FALSE(Dec(*rx, salt).ok) << method << " length " << length;
  }
}

TEST_P(AeadTamperTest, DatagramBoundsAndTampering) {
  const std::string method = GetParam();
  auto tx = Make(method, "pw");
  AEADCryptor& a = Aead(tx);
  const std::size_t overhead = static_cast<std::size_t>(a.GetSaltLength() + a.GetTagLength());

  Bytes one = Enc(*tx, Bytes{0x5A}, true);
  ASSERT_EQ(one.size(), overhead + 1);
  auto rx = Make(method, "pw");
  DecResult r = Dec(*rx, one, true);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.out, Bytes{0x5A});

  // Not longer than salt + tag: rejected, however it was made.
  EXPECT_FALSE(Dec(*rx, one.data(), overhead, true).ok);
  EXPECT_FALSE(Dec(*rx, one.data(), a.GetSaltLength(), true).ok);
  Bytes empty = Enc(*tx, Bytes{}, true);
  EXPECT_FALSE(Dec(*rx, empty, true).ok);

  for (std::size_t i : {std::size_t{0}, overhead - 1, overhead}) {
    Bytes bad = one;
    bad[i] ^= 0x10;
    EXPECT_FALSE(Dec(*rx, bad, true).ok) << method << " byte " << i;
  }
  // A bad datagram does not spoil the next one.
  tx->Reset();
  Bytes two = Enc(*tx, Text("next"), true);
  r = Dec(*rx, two, true);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.out, Text("next"));
}

INSTANTIATE_TEST_SUITE_P(Aead, AeadTamperTest,
                         ::testing::Values("aes-128-gcm", "aes-192-gcm", "aes-256-gcm", "chacha20-ietf-poly1305",
                                           "xchacha20-ietf-poly1305"),
                         [](const ::testing::TestParamInfo<std::string>& param) {
                           std::string s = param.param;
                           for (char& ch : s) {
                             if (ch == '-') ch = '_';
                           }
                           return s;
                         });

}  // namespace
}  // namespace vantor::test
