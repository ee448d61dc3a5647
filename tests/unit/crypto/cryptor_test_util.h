// Helpers shared by the cipher tests: vector-based wrappers around the
// heap-buffer interface, and a way to pin a cryptor's send IV.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "crypto/cryptor.h"
#include "platform/heap.h"

namespace vantor::test {

using Bytes = std::vector<uint8_t>;

inline std::unique_ptr<CCryptor> Make(const std::string& method, const std::string& password) {
  return std::unique_ptr<CCryptor>(CreateCryptor(method, password));
}

inline Bytes RandomPlaintext(std::size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(gen());
  return b;
}

inline Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

// Encrypts and returns the output; `ok` false on failure.
inline Bytes Enc(CCryptor& c, const uint8_t* data, std::size_t n, bool packet = false, bool* ok = nullptr) {
  uint8_t* out = reinterpret_cast<uint8_t*>(1);  // must be overwritten by the call
  int outLen = -1;
  bool r = c.Encrypt(data, static_cast<int>(n), out, outLen, packet);
  if (ok) *ok = r;
  Bytes result;
  if (r && outLen > 0) result.assign(out, out + outLen);
  if (r) platform::heapFree(out);
  return result;
}
inline Bytes Enc(CCryptor& c, const Bytes& data, bool packet = false, bool* ok = nullptr) {
  return Enc(c, data.data(), data.size(), packet, ok);
}

struct DecResult {
  bool ok = false;
  bool needMore = false;
  Bytes out;
};

inline DecResult Dec(CCryptor& c, const uint8_t* data, std::size_t n, bool packet = false) {
  DecResult r;
  uint8_t* out = reinterpret_cast<uint8_t*>(1);
  int outLen = -1;
  r.needMore = true;
  r.ok = c.Decrypt(data, static_cast<int>(n), out, outLen, r.needMore, packet);
  if (r.ok) {
    if (outLen > 0) r.out.assign(out, out + outLen);
    platform::heapFree(out);
  } else {
    // A failed call must not hand out a buffer.
    if (out != nullptr || outLen != 0) r.out.assign(1, 0xEE);
  }
  return r;
}
inline DecResult Dec(CCryptor& c, const Bytes& data, bool packet = false) {
  return Dec(c, data.data(), data.size(), packet);
}

// Exposes the protected send IV of any cryptor class so tests can fix it.
template <class Base>
class FixedIv : public Base {
 public:
  using Base::Base;
  void SetSendIv(const Bytes& iv) { std::memcpy(this->m_iv, iv.data(), iv.size()); }
};

}  // namespace vantor::test
