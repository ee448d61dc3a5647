// Random helpers shared by the ciphers (IVs, salts) and the ShadowsocksR plugins.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantor {

// Fills the buffer with random bytes from the operating system's source.
void RandomBytes(void* buffer, std::size_t length);
// A uniformly distributed integer in 0 .. n-1 (0 when n is 0).
uint32_t RandomInt(uint32_t n);

}  // namespace vantor
