// The Internet checksum (RFC 1071) as IPv4, TCP and UDP use it.
#pragma once

#include <cstdint>

namespace vantor::tunnel {

// Adds `len` bytes to a running sum of big-endian 16-bit words. Every piece
// but the last must have an even length (an odd last byte counts as the high
// byte of a word padded with zero). The result stays far from overflowing
// for any number of pieces that fit one packet.
uint32_t InetChecksum_Add(uint32_t sum, const uint8_t* data, int len);
// Folds a running sum to 16 bits (not complemented).
uint16_t InetChecksum_Fold(uint32_t sum);
// The checksum to store: the complement of the folded sum.
inline uint16_t InetChecksum_Finish(uint32_t sum) { return static_cast<uint16_t>(~InetChecksum_Fold(sum)); }

// The sum of the IPv4 pseudo-header of a transport segment (addresses in
// network byte order).
uint32_t InetChecksum_PseudoIPv4(uint32_t src, uint32_t dst, uint8_t protocol, int length);

inline uint16_t load_be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline void store_be16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v & 0xFF);
}
inline uint32_t load_be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}
inline void store_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

}  // namespace vantor::tunnel
