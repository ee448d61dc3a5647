#include "tunnel/base/inet_checksum.h"

#include <bit>
#include <cstring>

namespace vantor::tunnel {

// The one's complement sum does not depend on the byte order of the words
// it adds except for a final swap (RFC 1071, 2.(B)), so the bytes are added
// as native 32-bit words into a 64-bit accumulator and swapped once.
uint32_t InetChecksum_Add(uint32_t sum, const uint8_t* data, int len) {
  uint64_t acc = 0;
  while (len >= 16) {
    uint32_t w[4];
    std::memcpy(w, data, 16);
    acc += static_cast<uint64_t>(w[0]) + w[1] + w[2] + w[3];
    data += 16;
    len -= 16;
  }
  while (len >= 4) {
    uint32_t w;
    std::memcpy(&w, data, 4);
    acc += w;
    data += 4;
    len -= 4;
  }
  if (len >= 2) {
    uint16_t w;
    std::memcpy(&w, data, 2);
    acc += w;
    data += 2;
    len -= 2;
  }
  if (len == 1) {
    // The high byte of a big-endian word: where a native word keeps its first byte.
    uint8_t pad[2] = {data[0], 0};
    uint16_t w;
    std::memcpy(&w, pad, 2);
    acc += w;
  }
  while (acc >> 16) acc = (acc & 0xFFFF) + (acc >> 16);
  uint16_t folded = static_cast<uint16_t>(acc);
  if constexpr (std::endian::native == std::endian::little)
    folded = static_cast<uint16_t>((folded >> 8) | (folded << 8));
  return sum + folded;
}

uint16_t InetChecksum_Fold(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(sum);
}

uint32_t InetChecksum_PseudoIPv4(uint32_t src, uint32_t dst, uint8_t protocol, int length) {
  uint8_t pseudo[12];
  std::memcpy(pseudo, &src, 4);
  std::memcpy(pseudo + 4, &dst, 4);
  pseudo[8] = 0;
  pseudo[9] = protocol;
  store_be16(pseudo + 10, static_cast<uint16_t>(length));
  return InetChecksum_Add(0, pseudo, sizeof pseudo);
}

}  // namespace vantor::tunnel
