// Helpers shared by the ShadowsocksR protocol and obfs plugins: the shared
// xorshift128+ generator, CRC-32, digests and HMACs, one AES block, Base64 and
// the SOCKS address head length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "crypto/random.h"  // RandomBytes, RandomInt: the plugins' random sources

namespace vantor {

// xorshift128+ with shifts 23, 17, 26. The process-wide generator behind
// NextRandom64 starts from the default state below; the chain protocols keep
// their own per-connection instances and seed them themselves.
struct XorShift128Plus {
  static constexpr uint64_t kInitialState0 = 0x0000000010000000ULL;
  static constexpr uint64_t kInitialState1 = 0x00000000FFFFFFFFULL;

  uint64_t state0 = kInitialState0;
  uint64_t state1 = kInitialState1;

  uint64_t Next() {
    uint64_t s1 = state0;
    const uint64_t s0 = state1;
    state0 = s0;
    s1 ^= s1 << 23;
    state1 = s1 ^ s0 ^ (s1 >> 17) ^ (s0 >> 26);
    return state1 + s0;
  }
};

// One step of the process-wide generator. Its state starts fixed at every
// program start and is never reseeded; safe to call from any thread.
uint64_t NextRandom64();

// CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320, initial value
// 0xFFFFFFFF, final complement). The table is built once on first use.
void Crc32InitTable();
uint32_t Crc32(const void* data, std::size_t length);
// Writes Crc32(data) into out[0..3], least significant byte first.
void Crc32Bytes(const void* data, std::size_t length, uint8_t* out);

constexpr std::size_t kMd5Size = 16;
constexpr std::size_t kSha1Size = 20;

void Md5(const void* data, std::size_t length, uint8_t* out);   // 16 bytes
void Sha1(const void* data, std::size_t length, uint8_t* out);  // 20 bytes
void HmacMd5(const void* message, std::size_t messageLength, const void* key, std::size_t keyLength,
             uint8_t* out);  // 16 bytes
void HmacSha1(const void* message, std::size_t messageLength, const void* key, std::size_t keyLength,
              uint8_t* out);  // 20 bytes
// HMAC-SHA1 keyed with key1 followed by key2, without building the joined key.
void HmacSha1(const void* message, std::size_t messageLength, const void* key1, std::size_t key1Length,
              const void* key2, std::size_t key2Length, uint8_t* out);  // 20 bytes

// Encrypts one 16-byte block with AES-128 (the same result as CBC with an
// all-zero IV over that single block).
void Aes128EcbBlock(const uint8_t* key16, const uint8_t* in16, uint8_t* out16);

// Standard alphabet, "=" padding, no line breaks.
std::string Base64Encode(const void* data, std::size_t length);

// Length of the SOCKS address header (type, address, port) at the start of
// `data`, judged from the low three bits of the address type: 1 -> 7, 4 -> 19,
// 3 or 2 -> 4 + the length byte; anything else, or fewer than 2 bytes, -> 30.
int HeadLength(const uint8_t* data, int length);

}  // namespace vantor
