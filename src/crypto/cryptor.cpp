#include "crypto/cryptor.h"

#include <sodium.h>

#ifndef CRYPTOPP_ENABLE_NAMESPACE_WEAK
#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#endif
#include <cryptopp/md5.h>

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "crypto/aead_cryptor.h"
#include "crypto/random.h"
#include "crypto/stream_cryptors.h"

namespace vantor {
namespace {

std::atomic<uint32_t> g_instanceCounter{0};

void Md5(const uint8_t* data, std::size_t length, uint8_t digest[16]) {
  CryptoPP::Weak1::MD5 md5;
  md5.CalculateDigest(digest, data, length);
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

enum class Kind {
  None,
  AesCfb,
  AesCtr,
  CamelliaCfb,
  Rc4,
  Salsa20,
  ChaCha20,
  ChaCha20Ietf,
  AesGcm,
  ChaCha20Poly1305,
  XChaCha20Poly1305,
};

struct MethodRow {
  const char* name;
  Kind kind;
  int keyLength;
  int ivLength;  // for AEAD rows: the salt length
  int nonceLength;
  int tagLength;
};

// The factory's search order; the first row whose name matches wins.
constexpr MethodRow kMethods[] = {
    {"none", Kind::None, 16, 0, 0, 0},
    {"aes-256-cfb", Kind::AesCfb, 32, 16, 0, 0},
    {"aes-192-cfb", Kind::AesCfb, 24, 16, 0, 0},
    {"aes-128-cfb", Kind::AesCfb, 16, 16, 0, 0},
    {"aes-128-ctr", Kind::AesCtr, 16, 16, 0, 0},
    {"aes-192-ctr", Kind::AesCtr, 24, 16, 0, 0},
    {"aes-256-ctr", Kind::AesCtr, 32, 16, 0, 0},
    {"camellia-128-cfb", Kind::CamelliaCfb, 16, 16, 0, 0},
    {"camellia-192-cfb", Kind::CamelliaCfb, 24, 16, 0, 0},
    {"camellia-256-cfb", Kind::CamelliaCfb, 32, 16, 0, 0},
    {"rc4-md5", Kind::Rc4, 16, 16, 0, 0},
    {"rc4-md5-6", Kind::Rc4, 16, 6, 0, 0},
    {"rc4", Kind::Rc4, 16, 0, 0, 0},
    {"salsa20", Kind::Salsa20, 32, 8, 0, 0},
    {"chacha20", Kind::ChaCha20, 32, 8, 0, 0},
    {"chacha20-ietf", Kind::ChaCha20Ietf, 32, 12, 0, 0},
    {"aes-128-gcm", Kind::AesGcm, 16, 16, 12, 16},
    {"aes-192-gcm", Kind::AesGcm, 24, 24, 12, 16},
    {"aes-256-gcm", Kind::AesGcm, 32, 32, 12, 16},
    {"chacha20-ietf-poly1305", Kind::ChaCha20Poly1305, 32, 32, 12, 16},
    {"xchacha20-ietf-poly1305", Kind::XChaCha20Poly1305, 32, 32, 24, 16},
};

struct KeyCache {
  std::mutex lock;
  std::unordered_map<std::string, std::array<uint8_t, 32>> keys;
};

KeyCache& TheKeyCache() {
  static KeyCache* cache = new KeyCache;  // lives until exit, never destroyed under a user
  return *cache;
}

}  // namespace

const char* const MethodNames[] = {
    "aes-128-cfb",
    "aes-192-cfb",
    "aes-256-cfb",
    "aes-128-ctr",
    "aes-192-ctr",
    "aes-256-ctr",
    "salsa20",
    "chacha20",
    "chacha20-ietf",
    "camellia-128-cfb",
    "camellia-192-cfb",
    "camellia-256-cfb",
    "aes-256-gcm",
    "aes-192-gcm",
    "aes-128-gcm",
    "chacha20-ietf-poly1305",
    "xchacha20-ietf-poly1305",
    "rc4-md5-6",
    "rc4-md5",
    "rc4",
    "none",
    "",
};

bool EqualsIgnoreCase(const std::string& a, const char* b) {
  std::size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

bool IsValidMethod(const std::string& name) { return MethodIndex(name) >= 0; }

int MethodIndex(const std::string& name) {
  for (int i = 0; MethodNames[i][0] != '\0'; ++i) {
    if (EqualsIgnoreCase(name, MethodNames[i])) return i;
  }
  return -1;
}

void GetMethodNames(std::vector<std::string>& list) {
  for (int i = 0; MethodNames[i][0] != '\0'; ++i) list.emplace_back(MethodNames[i]);
}

bool InitSodium() {
  static const bool ready = sodium_init() >= 0;  // 1 = already initialised, also fine
  return ready;
}

void DeriveKeyFromPassword(const std::string& password, uint8_t* key, std::size_t keyLength) {
  uint8_t digest[16];
  std::string block;  // D(i-1) || password
  std::size_t done = 0;
  bool first = true;
  while (done < keyLength) {
    if (first) {
      block = password;
      first = false;
    } else {
      block.assign(reinterpret_cast<const char*>(digest), sizeof digest);
      block += password;
    }
    Md5(reinterpret_cast<const uint8_t*>(block.data()), block.size(), digest);
    std::size_t take = std::min(sizeof digest, keyLength - done);
    std::memcpy(key + done, digest, take);
    done += take;
  }
  sodium_memzero(digest, sizeof digest);
  sodium_memzero(block.data(), block.size());
}

void CachedDerivedKey(const std::string& method, const std::string& password, uint8_t key[32]) {
  KeyCache& cache = TheKeyCache();
  std::string id = method + ":" + password;
  {
    std::lock_guard<std::mutex> guard(cache.lock);
    auto it = cache.keys.find(id);
    if (it != cache.keys.end()) {
      std::memcpy(key, it->second.data(), 32);
      return;
    }
  }
  // Derive outside the lock; a concurrent miss for the same id computes the
  // same bytes, so whichever insert wins is correct.
  std::array<uint8_t, 32> derived;
  DeriveKeyFromPassword(password, derived.data(), derived.size());
  std::memcpy(key, derived.data(), 32);
  std::lock_guard<std::mutex> guard(cache.lock);
  cache.keys.emplace(std::move(id), derived);
}

CCryptor::CCryptor(const std::string& method, const std::string& password, int keyLength, int ivLength)
    : m_method(method), m_password(password), m_keyLength(keyLength), m_ivLength(ivLength) {
  m_instance = g_instanceCounter.fetch_add(1, std::memory_order_relaxed) + 1;
  ::vantor::RandomBytes(m_iv, static_cast<std::size_t>(m_ivLength));
  CachedDerivedKey(m_method, m_password, m_key);
}

CCryptor::~CCryptor() {
  sodium_memzero(m_key, sizeof m_key);
  if (!m_password.empty()) sodium_memzero(m_password.data(), m_password.size());
}

void CCryptor::Reset() {
  m_ivSent = false;
  m_ivReceived = false;
  m_recvIvFill = 0;
  ::vantor::RandomBytes(m_iv, static_cast<std::size_t>(m_ivLength));
}

void CCryptor::RandomBytes(void* buffer, std::size_t length) { ::vantor::RandomBytes(buffer, length); }

void CCryptor::PasswordDigest(uint8_t output[16]) {
  Md5(reinterpret_cast<const uint8_t*>(m_password.data()), m_password.size(), output);
}

CCryptor* CreateCryptor(const std::string& method, const std::string& password) {
  for (const MethodRow& row : kMethods) {
    if (!EqualsIgnoreCase(method, row.name)) continue;
    switch (row.kind) {
      case Kind::None:
        return new CNoneCryptor(method, password);
      case Kind::AesCfb:
        return new CAESCfbCryptor(method, password, row.keyLength);
      case Kind::AesCtr:
        return new CAESCtrCryptor(method, password, row.keyLength);
      case Kind::CamelliaCfb:
        return new CCamelliaCfbCryptor(method, password, row.keyLength);
      case Kind::Rc4:
        return new CRC4Cryptor(method, password, row.ivLength);
      case Kind::Salsa20:
        return new CSalsa20Criptor(method, password);
      case Kind::ChaCha20:
        if (!InitSodium()) return nullptr;
        return new CChaCha20Cryptor(method, password);
      case Kind::ChaCha20Ietf:
        if (!InitSodium()) return nullptr;
        return new CChaCha20IetfCryptor(method, password);
      case Kind::AesGcm:
        return new CAEADAesGcmCryptor(method, password, row.keyLength, row.ivLength, row.nonceLength, row.tagLength);
      case Kind::ChaCha20Poly1305:
        InitSodium();  // the AEAD calls work with the portable code even if this fails
        return new CAEADChaCha20IetfPoly1305(method, password, row.keyLength, row.ivLength, row.nonceLength,
                                             row.tagLength);
      case Kind::XChaCha20Poly1305:
        InitSodium();
        return new CAEADXChaCha20IetfPoly1305(method, password, row.keyLength, row.ivLength, row.nonceLength,
                                              row.tagLength);
    }
  }
  return nullptr;
}

}  // namespace vantor
