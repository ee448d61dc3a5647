#include "crypto/ssr/ssr_helpers.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/aes.h>
#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/hmac.h>
#include <cryptopp/md5.h>
#include <cryptopp/sha.h>

#include <cstring>
#include <mutex>

namespace vantor {
namespace {

// The generator's two words change together, so one lock guards both; a
// thread never sees one word of a step without the other.
std::mutex g_randomLock;
XorShift128Plus g_random;

std::once_flag g_crcOnce;
uint32_t g_crcTable[256];

void buildCrcTable() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    g_crcTable[i] = c;
  }
}

// Crypto++ takes byte pointers; an empty input may arrive as null, which we
// never hand on (memcpy of null is undefined even for zero bytes).
const CryptoPP::byte* bytes(const void* p) {
  static const CryptoPP::byte empty = 0;
  return p ? static_cast<const CryptoPP::byte*>(p) : &empty;
}

}  // namespace

uint64_t NextRandom64() {
  std::lock_guard<std::mutex> lock(g_randomLock);
  return g_random.Next();
}

void Crc32InitTable() { std::call_once(g_crcOnce, buildCrcTable); }

uint32_t Crc32(const void* data, std::size_t length) {
  Crc32InitTable();
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < length; ++i) crc = g_crcTable[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

void Crc32Bytes(const void* data, std::size_t length, uint8_t* out) {
  const uint32_t crc = Crc32(data, length);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(crc >> (8 * i));
}

void Md5(const void* data, std::size_t length, uint8_t* out) {
  CryptoPP::Weak::MD5().CalculateDigest(out, bytes(data), length);
}

void Sha1(const void* data, std::size_t length, uint8_t* out) {
  CryptoPP::SHA1().CalculateDigest(out, bytes(data), length);
}

void HmacMd5(const void* message, std::size_t messageLength, const void* key, std::size_t keyLength, uint8_t* out) {
  CryptoPP::HMAC<CryptoPP::Weak::MD5>(bytes(key), keyLength).CalculateDigest(out, bytes(message), messageLength);
}

void HmacSha1(const void* message, std::size_t messageLength, const void* key, std::size_t keyLength, uint8_t* out) {
  CryptoPP::HMAC<CryptoPP::SHA1>(bytes(key), keyLength).CalculateDigest(out, bytes(message), messageLength);
}

void HmacSha1(const void* message, std::size_t messageLength, const void* key1, std::size_t key1Length,
              const void* key2, std::size_t key2Length, uint8_t* out) {
  CryptoPP::SecByteBlock key(key1Length + key2Length);
  if (key1Length) std::memcpy(key.data(), key1, key1Length);
  if (key2Length) std::memcpy(key.data() + key1Length, key2, key2Length);
  HmacSha1(message, messageLength, key.data(), key.size(), out);
}

void Aes128EcbBlock(const uint8_t* key16, const uint8_t* in16, uint8_t* out16) {
  CryptoPP::AES::Encryption aes(key16, 16);
  aes.ProcessBlock(in16, out16);
}

std::string Base64Encode(const void* data, std::size_t length) {
  std::string out;
  CryptoPP::StringSource(bytes(data), length, true,
                         new CryptoPP::Base64Encoder(new CryptoPP::StringSink(out), /*insertLineBreaks=*/false));
  return out;
}

int HeadLength(const uint8_t* data, int length) {
  if (!data || length < 2) return 30;
  switch (data[0] & 0x07) {
    case 1:
      return 7;
    case 4:
      return 19;
    case 2:
    case 3:
      return 4 + data[1];
    default:
      return 30;
  }
}

}  // namespace vantor
