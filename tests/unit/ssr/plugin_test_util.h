// Helpers for driving plugins with byte vectors: each call copies the input
// into a service-heap block the way the session does and copies the result
// back out.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/ssr/obfs.h"
#include "crypto/ssr/plugin_bytes.h"
#include "platform/heap.h"

namespace vantor::test {

using Bytes = std::vector<uint8_t>;

inline uint8_t* heapCopy(const Bytes& in) {
  auto* p = static_cast<uint8_t*>(platform::heapAlloc(in.empty() ? 1 : in.size()));
  if (!in.empty()) std::memcpy(p, in.data(), in.size());
  return p;
}

struct Result {
  bool ok = false;
  Bytes out;
  bool sendBack = false;
};

enum class Op { PreEncrypt, PostDecrypt, UdpPre, UdpPost, Encode, Decode };

inline Result run(CObfs& plugin, Op op, const Bytes& in) {
  uint8_t* buf = heapCopy(in);
  int length = static_cast<int>(in.size()), out = -1;
  Result r;
  switch (op) {
    case Op::PreEncrypt:
      r.ok = plugin.ClientPreEncrypt(buf, length, out);
      break;
    case Op::PostDecrypt:
      r.ok = plugin.ClientPostDecrypt(buf, length, out);
      break;
    case Op::UdpPre:
      r.ok = plugin.ClientUdpPreEncrypt(buf, length, out);
      break;
    case Op::UdpPost:
      r.ok = plugin.ClientUdpPostDecrypt(buf, length, out);
      break;
    case Op::Encode:
      r.ok = plugin.ClientEncode(buf, length, length, out);
      break;
    case Op::Decode:
      r.ok = plugin.ClientDecode(buf, length, 65536, out, r.sendBack);
      break;
  }
  if (out > 0) r.out.assign(buf, buf + out);
  platform::heapFree(buf);
  return r;
}

// The same stream handed over one byte per call; the outputs joined. Fails
// the test when a call fails.
inline Bytes runBytewise(CObfs& plugin, Op op, const Bytes& in) {
  Bytes all;
  for (uint8_t b : in) {
    Result r = run(plugin, op, Bytes{b});
    EXPECT_TRUE(r.ok);
    if (!r.ok) break;
    all.insert(all.end(), r.out.begin(), r.out.end());
  }
  return all;
}

// A node as the session describes it: 16-byte IV, 32-byte key.
struct Node {
  uint8_t iv[16];
  uint8_t key[32];
  Node() {
    for (int i = 0; i < 16; ++i) iv[i] = static_cast<uint8_t>(0xA0 + i);
    for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(0x10 + 3 * i);
  }
  void describe(CObfs& p, uint16_t overhead, const std::string& host = "node.example", uint16_t port = 8388,
                const std::string& obfsParam = "", int headLen = 30) const {
    p.SetServerInfo(host, port, obfsParam, InitAuthData(), iv, 16, key, 32, nullptr, 0, 1452, headLen, overhead, 65507);
  }
  Bytes ivKey() const {
    Bytes b(iv, iv + 16);
    b.insert(b.end(), key, key + 32);
    return b;
  }
};

inline Bytes pattern(std::size_t n, uint8_t seed = 1) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return b;
}

inline Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace vantor::test
