// Bytes from a node's server reach the ciphers before anything is verified:
// whatever arrives, in whatever pieces, decryption must neither crash nor
// report success for data an AEAD tag did not vouch for.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "crypto/cryptor.h"
#include "platform/heap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const char* methods[] = {"aes-256-gcm", "chacha20-ietf-poly1305", "aes-128-cfb", "chacha20-ietf", "rc4-md5"};
  std::unique_ptr<vantor::CCryptor> c(vantor::CreateCryptor(methods[data[0] % 5], "fuzz"));
  std::size_t step = data[1] % 64 + 1;
  bool packet = (data[1] & 0x80) != 0;
  for (std::size_t at = 2; at < size; at += step) {
    std::size_t n = size - at < step ? size - at : step;
    uint8_t* out = nullptr;
    int outLength = 0;
    bool more = false;
    c->Decrypt(data + at, static_cast<int>(n), out, outLength, more, packet);
    vantor::platform::heapFree(out);
  }
  return 0;
}
