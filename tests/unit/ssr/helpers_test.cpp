#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "crypto/ssr/ssr_helpers.h"

namespace vantor {
namespace {

std::string hex(const uint8_t* p, std::size_t n) {
  std::string s;
  char b[3];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", p[i]);
    s += b;
  }
  return s;
}

// The shared generator's sequence matters across the whole program (peers
// see its values in padding lengths), so it is checked in a freshly started
// copy of this test binary: the "threadsafe" death-test style re-executes it,
// and nothing there has drawn from the generator yet.
class SharedGeneratorTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Exit status 0 when the first three draws of this process are the expected ones.
[[noreturn]] void checkFirstDraws() {
  const bool ok = NextRandom64() == 0x00080005EFFFF7BFULL && NextRandom64() == 0x007FFFC9027F80FBULL &&
                  NextRandom64() == 0x028000C911FF913BULL;
  std::exit(ok ? 0 : 1);
}

// Many threads drawing at once must together receive exactly the values of the
// single-threaded sequence: a torn update would repeat, skip or invent values.
[[noreturn]] void checkConcurrentDraws() {
  constexpr int kThreads = 8, kDraws = 100000;
  std::vector<std::vector<uint64_t>> got(kThreads);
  std::vector<std::thread> threads;
  std::atomic<int> ready{0};
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&got, &ready, t] {
      got[t].reserve(kDraws);
      ready.fetch_add(1);
      while (ready.load() < kThreads) {
      }  // start together so the draws overlap
      for (int i = 0; i < kDraws; ++i) got[t].push_back(NextRandom64());
    });
  for (auto& th : threads) th.join();
  std::vector<uint64_t> all, expected;
  for (auto& v : got) all.insert(all.end(), v.begin(), v.end());
  XorShift128Plus reference;
  for (int i = 0; i < kThreads * kDraws; ++i) expected.push_back(reference.Next());
  std::sort(all.begin(), all.end());
  std::sort(expected.begin(), expected.end());
  std::exit(all == expected ? 0 : 1);
}

TEST_F(SharedGeneratorTest, FirstOutputsAfterProgramStart) {
  XorShift128Plus fresh;
  EXPECT_EQ(fresh.Next(), 0x00080005EFFFF7BFULL);
  EXPECT_EQ(fresh.Next(), 0x007FFFC9027F80FBULL);
  EXPECT_EQ(fresh.Next(), 0x028000C911FF913BULL);
  EXPECT_EXIT(checkFirstDraws(), ::testing::ExitedWithCode(0), "");
}

TEST_F(SharedGeneratorTest, ConcurrentDrawsShareOneSequence) {
  EXPECT_EXIT(checkConcurrentDraws(), ::testing::ExitedWithCode(0), "");
}

TEST(HeadLength, ByAddressType) {
  const uint8_t ipv4[] = {0x01, 127}, ipv6[] = {0x04, 0}, longName[] = {0x03, 200}, name2[] = {0x02, 10};
  const uint8_t flagged[] = {0x13, 10}, unknown[] = {0x05, 10};
  EXPECT_EQ(HeadLength(ipv4, 2), 7);
  EXPECT_EQ(HeadLength(ipv6, 2), 19);
  EXPECT_EQ(HeadLength(longName, 2), 204);  // the length byte is unsigned
  EXPECT_EQ(HeadLength(name2, 2), 14);
  EXPECT_EQ(HeadLength(flagged, 2), 14);  // only the low three bits are the type
  EXPECT_EQ(HeadLength(unknown, 2), 30);
  EXPECT_EQ(HeadLength(ipv4, 1), 30);
}

TEST(Crc32, KnownValues) {
  EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(Crc32("The quick brown fox jumps over the lazy dog", 43), 0x414FA339u);
  uint8_t out[4];
  Crc32Bytes("123456789", 9, out);
  EXPECT_EQ(hex(out, 4), "2639f4cb");
}

// Digests, FIPS-197 C.1 for the AES block, RFC 2202 cases 2 and 6 (6: a key
// longer than the hash block).
TEST(Digests, KnownAnswers) {
  uint8_t d[kSha1Size], aesKey[16], aesIn[16];
  Md5("abc", 3, d);
  EXPECT_EQ(hex(d, kMd5Size), "900150983cd24fb0d6963f7d28e17f72");
  Sha1("abc", 3, d);
  EXPECT_EQ(hex(d, kSha1Size), "a9993e364706816aba3e25717850c26c9cd0d89d");
  for (int i = 0; i < 16; ++i) aesKey[i] = uint8_t(i), aesIn[i] = uint8_t(i * 0x11);
  Aes128EcbBlock(aesKey, aesIn, d);
  EXPECT_EQ(hex(d, 16), "69c4e0d86a7b0430d8cdb78070b4c55a");

  const std::string jefe = "Jefe", jefeMsg = "what do ya want for nothing?";
  const std::string bigKeyMsg = "Test Using Larger Than Block-Size Key - Hash Key First";
  const std::vector<uint8_t> kaa80(80, 0xaa);
  HmacMd5(jefeMsg.data(), jefeMsg.size(), jefe.data(), jefe.size(), d);
  EXPECT_EQ(hex(d, kMd5Size), "750c783e6ab0b503eaa86e310a5db738");
  HmacMd5(bigKeyMsg.data(), bigKeyMsg.size(), kaa80.data(), kaa80.size(), d);
  EXPECT_EQ(hex(d, kMd5Size), "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
  HmacSha1(jefeMsg.data(), jefeMsg.size(), jefe.data(), jefe.size(), d);
  EXPECT_EQ(hex(d, kSha1Size), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
  // The two-piece key is the pieces joined, wherever the cut falls.
  for (std::size_t cut : {0, 30, 80}) {
    HmacSha1(bigKeyMsg.data(), bigKeyMsg.size(), kaa80.data(), cut, kaa80.data() + cut, 80 - cut, d);
    EXPECT_EQ(hex(d, kSha1Size), "aa4ae5e15272d00e95705637ce8a3b55ed402112") << "cut " << cut;
  }
}

TEST(Base64, PaddedOnOneLine) {
  EXPECT_EQ(Base64Encode("f", 1), "Zg==");
  EXPECT_EQ(Base64Encode("fo", 2), "Zm8=");
  EXPECT_EQ(Base64Encode("foobar", 6), "Zm9vYmFy");
  // A line break in a long user key would change the AES key derived from it.
  const std::string longInput(100, '\xfb');
  const std::string enc = Base64Encode(longInput.data(), longInput.size());
  EXPECT_EQ(enc.size(), 136u);
  EXPECT_EQ(enc.find('\n'), std::string::npos);
  EXPECT_EQ(enc.substr(0, 4), "+/v7");
}

}  // namespace
}  // namespace vantor
