#include <gtest/gtest.h>
#include <sodium.h>

#include <atomic>
#include <thread>

#include "crypto/aead_cryptor.h"
#include "crypto/stream_cryptors.h"
#include "cryptor_test_util.h"

namespace vantor::test {
namespace {

// EVP_BytesToKey(MD5) of "barfoo!", checked against `openssl enc -md md5 -nosalt -P`.
const Bytes kBarfooKey = {
    0xb3, 0xad, 0xc4, 0x78, 0x39, 0xe0, 0x47, 0xeb, 0x22, 0x88, 0x70, 0x52, 0x6d, 0xc8, 0xfc, 0x30,
    0xb3, 0x47, 0x28, 0x7f, 0xfc, 0xa3, 0x04, 0x5d, 0xce, 0xa0, 0x6b, 0x3f, 0xdf, 0x09, 0x0a, 0xcb,
};
const Bytes kAKey = {
    0x0c, 0xc1, 0x75, 0xb9, 0xc0, 0xf1, 0xb6, 0xa8, 0x31, 0xc3, 0x99, 0xe2, 0x69, 0x77, 0x26, 0x61,
    0xce, 0xc5, 0x20, 0xea, 0x51, 0xea, 0x0a, 0x47, 0xe8, 0x72, 0x95, 0xfa, 0x32, 0x45, 0xa6, 0x05,
};

const char* kFox = "The quick brown fox jumps over the lazy dog";
// RC4 keyed with the first 16 bytes of kBarfooKey (checked with `openssl enc -rc4`).
const Bytes kFoxRc4 = {
    0xee, 0x6e, 0x36, 0x75, 0x2f, 0x04, 0x45, 0x1e, 0xc4, 0xd6, 0x75, 0x90, 0x62, 0x6d, 0x18,
    0x1c, 0x23, 0x6f, 0x3c, 0x9d, 0xa6, 0xd6, 0x1a, 0x27, 0x43, 0x11, 0xe0, 0x5a, 0x44, 0xe0,
    0x31, 0x32, 0x70, 0x18, 0xe7, 0x78, 0xc6, 0xf9, 0x6c, 0x7c, 0xee, 0x38, 0x57,
};
// RC4 keyed with MD5(key16 || 01 02 03 04 05 06).
const Bytes kIv6 = {1, 2, 3, 4, 5, 6};
const Bytes kFoxRc4Md5_6 = {
    0xe7, 0x86, 0xda, 0xfa, 0xa8, 0x12, 0xfe, 0x75, 0x5d, 0x8d, 0x66, 0xec, 0xca, 0x14, 0x49,
    0x44, 0x25, 0x18, 0xef, 0x28, 0x51, 0xef, 0xf7, 0xa2, 0x72, 0x05, 0x2d, 0x4d, 0x9f, 0xe2,
    0xc8, 0xe1, 0x18, 0xf9, 0xfe, 0x94, 0xe1, 0x3c, 0x5d, 0x4d, 0xba, 0xe8, 0xdb,
};

Bytes Concat(const Bytes& a, const Bytes& b) {
  Bytes r = a;
  r.insert(r.end(), b.begin(), b.end());
  return r;
}

std::vector<std::string> AllMethods() {
  std::vector<std::string> names;
  GetMethodNames(names);
  return names;
}

// ---- names and factory ----

TEST(MethodNamesTest, FactoryMatchesWholeNameIgnoringCase) {
  for (const char* name : {"aes-256-cfb", "AES-256-CFB", "Aes-256-Cfb"}) {
    auto c = Make(name, "pw");
    ASSERT_NE(c, nullptr) << name;
    EXPECT_NE(dynamic_cast<CAESCfbCryptor*>(c.get()), nullptr) << name;
    EXPECT_EQ(c->GetKeyLength(), 32);
    EXPECT_EQ(c->GetIVLength(), 16);
  }
  for (const char* name :
       {"aes-256-cfb ", " aes-256-cfb", "aes-256", "", "foo", "aes-256-cfb\n", "chacha20-poly1305", "rc4-md5-7"}) {
    EXPECT_EQ(Make(name, "pw"), nullptr) << '"' << name << '"';
  }
}

TEST(MethodNamesTest, ListIndexesAndEveryEntryIsCreatable) {
  auto names = AllMethods();
  ASSERT_EQ(names.size(), 21u);
  EXPECT_EQ(MethodIndex("aes-128-cfb"), 0);
  EXPECT_EQ(MethodIndex("none"), 20);
  EXPECT_EQ(MethodIndex("NONE"), 20);
  EXPECT_EQ(MethodIndex("rc4-md5-6"), 17);
  EXPECT_EQ(MethodIndex("rc4 "), -1);
  EXPECT_TRUE(IsValidMethod("RC4"));
  EXPECT_TRUE(IsValidMethod("XChaCha20-IETF-Poly1305"));
  EXPECT_FALSE(IsValidMethod(""));
  EXPECT_FALSE(IsValidMethod("bf-cfb"));

  // Every name offered to the user must be one the factory can build.
  for (const auto& name : names) EXPECT_NE(Make(name, "pw"), nullptr) << name;
}

// ---- key derivation ----

TEST(KeyDerivationTest, KnownAnswersAndSharedPrefix) {
  Bytes key(32);
  DeriveKeyFromPassword("barfoo!", key.data(), key.size());
  EXPECT_EQ(key, kBarfooKey);
  DeriveKeyFromPassword("a", key.data(), key.size());
  EXPECT_EQ(key, kAKey);

  auto c256 = Make("aes-256-cfb", "barfoo!");
  auto c128 = Make("aes-128-cfb", "barfoo!");
  EXPECT_EQ(Bytes(c256->GetKey(), c256->GetKey() + 32), kBarfooKey);
  EXPECT_EQ(Bytes(c128->GetKey(), c128->GetKey() + 16), Bytes(kBarfooKey.begin(), kBarfooKey.begin() + 16));

  uint8_t digest[16];
  c128->PasswordDigest(digest);  // D1 of the chain is MD5(password)
  EXPECT_EQ(Bytes(digest, digest + 16), Bytes(kBarfooKey.begin(), kBarfooKey.begin() + 16));
}

TEST(KeyDerivationTest, CacheGivesCorrectKeysUnderConcurrentUse) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &wrong] {
      for (int i = 0; i < 200; ++i) {
        std::string pw = "pw-" + std::to_string((i * 7 + t) % 23);
        Bytes expected(32);
        DeriveKeyFromPassword(pw, expected.data(), expected.size());
        auto c = Make(i % 2 ? "aes-256-ctr" : "chacha20-ietf-poly1305", pw);
        if (!c || Bytes(c->GetKey(), c->GetKey() + 32) != expected) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

// ---- wire bytes of the methods no test peer speaks ----

TEST(WireFormatTest, Rc4HasNoIvAndMatchesKnownKeystream) {
  auto c = Make("rc4", "barfoo!");
  Bytes wire = Enc(*c, Text(kFox));
  EXPECT_EQ(wire, kFoxRc4);
  auto d = Make("rc4", "barfoo!");
  DecResult r = Dec(*d, kFoxRc4);
  ASSERT_TRUE(r.ok);
  EXPECT_FALSE(r.needMore);
  EXPECT_EQ(r.out, Text(kFox));
}

TEST(WireFormatTest, Rc4Md5MixesIvIntoKey) {
  FixedIv<CRC4Cryptor> six("rc4-md5-6", "barfoo!", 6);
  six.SetSendIv(kIv6);
  EXPECT_EQ(Enc(six, Text(kFox)), Concat(kIv6, kFoxRc4Md5_6));

  // Receiving keys from the peer's IV, not from our own send IV.
  auto d = Make("rc4-md5-6", "barfoo!");
  DecResult r = Dec(*d, Concat(kIv6, kFoxRc4Md5_6));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.out, Text(kFox));
  // The derived key the plugins see is untouched by the mixing.
  EXPECT_EQ(Bytes(d->GetKey(), d->GetKey() + 16), Bytes(kBarfooKey.begin(), kBarfooKey.begin() + 16));
}

TEST(WireFormatTest, NoneCopiesBytesBothWays) {
  auto c = Make("none", "x");
  Bytes data = RandomPlaintext(1000, 1);
  EXPECT_EQ(Enc(*c, data), data);
  EXPECT_EQ(Enc(*c, data, true), data);
  DecResult r = Dec(*c, data);
  ASSERT_TRUE(r.ok);
  EXPECT_FALSE(r.needMore);
  EXPECT_EQ(r.out, data);
}

// ---- stream behaviour ----

TEST(StreamCryptorTest, IvPrefixesOnlyTheFirstOutputAndResetRenewsIt) {
  auto c = Make("aes-256-cfb", "pw");
  Bytes ten(10, 0x41);
  Bytes iv1(c->GetIV(), c->GetIV() + 16);
  Bytes first = Enc(*c, ten);
  ASSERT_EQ(first.size(), 26u);
  EXPECT_EQ(Bytes(first.begin(), first.begin() + 16), iv1);
  EXPECT_EQ(Enc(*c, ten).size(), 10u);

  c->Reset();
  Bytes iv2(c->GetIV(), c->GetIV() + 16);
  EXPECT_NE(iv1, iv2);
  Bytes again = Enc(*c, ten);
  ASSERT_EQ(again.size(), 26u);
  EXPECT_EQ(Bytes(again.begin(), again.begin() + 16), iv2);
}

TEST(StreamCryptorTest, ShortFirstReadKeepsPartialIv) {
  auto enc = Make("aes-128-ctr", "pw");
  Bytes plain = RandomPlaintext(50, 2);
  Bytes wire = Enc(*enc, plain);
  ASSERT_EQ(wire.size(), 66u);

  auto dec = Make("aes-128-ctr", "pw");
  DecResult r = Dec(*dec, wire.data(), 5);
  ASSERT_TRUE(r.ok);
  EXPECT_TRUE(r.needMore);
  EXPECT_TRUE(r.out.empty());
  EXPECT_FALSE(dec->IVReceived());
  // The rest of the stream, without repeating the five bytes.
  r = Dec(*dec, wire.data() + 5, 11 + 20);
  ASSERT_TRUE(r.ok);
  EXPECT_FALSE(r.needMore);
  EXPECT_EQ(r.out, Bytes(plain.begin(), plain.begin() + 20));
  EXPECT_EQ(Bytes(dec->GetRecvIV(), dec->GetRecvIV() + 16), Bytes(wire.begin(), wire.begin() + 16));
  r = Dec(*dec, wire.data() + 36, 30);
  EXPECT_EQ(r.out, Bytes(plain.begin() + 20, plain.end()));
}

// The byte counters must not wrap at 4 GiB: past that point the keystream
// has to continue at block 2^26, not restart at block 0.
TEST(StreamCryptorTest, ChaCha20KeystreamPositionSurvivesFourGiB) {
  struct Probe : FixedIv<CChaCha20Cryptor> {
    using FixedIv::FixedIv;
    void SetSendCount(uint64_t n) { m_sendCount = n; }
  };
  Probe c("chacha20", "pw");
  Bytes iv = {1, 2, 3, 4, 5, 6, 7, 8};
  c.SetSendIv(iv);
  Enc(c, Bytes(1, 0));  // sends the IV and keys the direction
  const uint64_t start = (uint64_t{1} << 32) + 5;
  c.SetSendCount(start);
  Bytes zeros(100, 0);
  Bytes got = Enc(c, zeros);

  Bytes blocks(64 * 3, 0);
  ASSERT_EQ(
      crypto_stream_chacha20_xor_ic(blocks.data(), blocks.data(), blocks.size(), iv.data(), start / 64, c.GetKey()), 0);
  EXPECT_EQ(got, Bytes(blocks.begin() + 5, blocks.begin() + 105));
  EXPECT_EQ(c.BytesEncrypted(), start + 100);
}

TEST(StreamCryptorTest, BadArgumentsFailWithoutOutput) {
  for (const char* m : {"aes-128-cfb", "aes-128-gcm", "none"}) {
    auto c = Make(m, "pw");
    uint8_t* out = reinterpret_cast<uint8_t*>(1);
    int outLen = 7;
    bool needMore = true;
    EXPECT_FALSE(c->Encrypt(nullptr, 5, out, outLen)) << m;
    EXPECT_EQ(out, nullptr);
    uint8_t b = 0;
    EXPECT_FALSE(c->Decrypt(&b, -1, out, outLen, needMore)) << m;
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(outLen, 0);
  }
}

// ---- round trips of every method ----

class RoundTripTest : public ::testing::TestWithParam<std::string> {};

// Each direction of one object works independently of the other; the
// receiver is fed every split of the stream.
TEST_P(RoundTripTest, EverySplitPointDecryptsTheSame) {
  const std::string method = GetParam();
  auto a = Make(method, "correct horse");
  ASSERT_NE(a, nullptr);
  Bytes plain = RandomPlaintext(150, 4);
  Bytes wire = Enc(*a, plain.data(), 70);
  Bytes more = Enc(*a, plain.data() + 70, 80);
  wire.insert(wire.end(), more.begin(), more.end());

  for (std::size_t k = 0; k <= wire.size(); ++k) {
    auto b = Make(method, "correct horse");
    DecResult r1 = Dec(*b, wire.data(), k);
    DecResult r2 = Dec(*b, wire.data() + k, wire.size() - k);
    ASSERT_TRUE(r1.ok && r2.ok) << method << " split at " << k;
    EXPECT_FALSE(r2.needMore) << method << " split at " << k;
    Bytes got = Concat(r1.out, r2.out);
    ASSERT_EQ(got, plain) << method << " split at " << k;
  }
}

TEST_P(RoundTripTest, ByteAtATimeAndRandomSplitsBothDirections) {
  const std::string method = GetParam();
  auto a = Make(method, "pw1");
  auto b = Make(method, "pw1");
  std::mt19937 gen(5);
  Bytes plain = RandomPlaintext(40000, 6);

  // a -> b: writer splits randomly (with empty writes), reader takes single bytes.
  Bytes wire;
  for (std::size_t off = 0; off < plain.size();) {
    std::size_t n = std::min<std::size_t>(gen() % 5000, plain.size() - off);
    Bytes part = Enc(*a, plain.data() + off, n);
    wire.insert(wire.end(), part.begin(), part.end());
    off += n;
  }
  Bytes got;
  for (uint8_t byte : wire) {
    DecResult r = Dec(*b, &byte, 1);
    ASSERT_TRUE(r.ok) << method;
    got.insert(got.end(), r.out.begin(), r.out.end());
  }
  EXPECT_EQ(got, plain) << method;

  // b -> a: one large write, reader splits randomly.
  Bytes back = Enc(*b, plain);
  got.clear();
  for (std::size_t off = 0; off < back.size();) {
    std::size_t n = std::min<std::size_t>(1 + gen() % 20000, back.size() - off);
    DecResult r = Dec(*a, back.data() + off, n);
    ASSERT_TRUE(r.ok) << method;
    got.insert(got.end(), r.out.begin(), r.out.end());
    off += n;
  }
  EXPECT_EQ(got, plain) << method;
}

TEST_P(RoundTripTest, DatagramsCarryTheirOwnIv) {
  const std::string method = GetParam();
  auto a = Make(method, "pw");
  auto b = Make(method, "pw");
  const int ivLen =
      dynamic_cast<AEADCryptor*>(a.get()) ? dynamic_cast<AEADCryptor*>(a.get())->GetSaltLength() : a->GetIVLength();
  Bytes p1 = RandomPlaintext(300, 7), p2 = RandomPlaintext(20, 8), p3 = RandomPlaintext(5, 9);

  a->Reset();
  Bytes d1 = Enc(*a, p1, true);
  Bytes d2 = Enc(*a, p2, true);  // no Reset: must still not reuse the IV
  a->Reset();
  Bytes d3 = Enc(*a, p3, true);
  if (ivLen > 0) {
    Bytes iv1(d1.begin(), d1.begin() + ivLen), iv2(d2.begin(), d2.begin() + ivLen), iv3(d3.begin(), d3.begin() + ivLen);
    EXPECT_NE(iv1, iv2) << method;
    EXPECT_NE(iv2, iv3) << method;
  }
  // Received in another order, with and without Reset in between.
  for (const auto& [d, p] : {std::pair{&d3, &p3}, std::pair{&d1, &p1}, std::pair{&d2, &p2}}) {
    DecResult r = Dec(*b, *d, true);
    ASSERT_TRUE(r.ok) << method;
    EXPECT_FALSE(r.needMore);
    EXPECT_EQ(r.out, *p) << method;
  }
  b->Reset();
  DecResult r = Dec(*b, d1, true);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.out, p1);

  if (ivLen > 0) {
    // A datagram too short to hold the IV is dropped, and leaves nothing behind.
    DecResult shortOne = Dec(*b, d1.data(), ivLen - 1, true);
    EXPECT_FALSE(shortOne.ok) << method;
    r = Dec(*b, d2, true);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.out, p2);
  }
}

std::string ParamName(const ::testing::TestParamInfo<std::string>& info) {
  std::string s = info.param;
  for (char& ch : s) {
    if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return s;
}

INSTANTIATE_TEST_SUITE_P(AllMethods, RoundTripTest, ::testing::ValuesIn(AllMethods()), ParamName);

}  // namespace
}  // namespace vantor::test
