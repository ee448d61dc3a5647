#include "crypto/random.h"

#include "platform/random.h"

namespace vantor {

void RandomBytes(void* buffer, std::size_t length) { platform::osRandom(buffer, length); }

uint32_t RandomInt(uint32_t n) {
  if (n <= 1) return 0;
  // Rejection sampling keeps the result uniform for every n.
  const uint32_t limit = UINT32_MAX - UINT32_MAX % n;
  uint32_t v;
  do {
    platform::osRandom(&v, sizeof v);
  } while (v >= limit);
  return v % n;
}

}  // namespace vantor
