#include "platform/random.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdio>
#include <cstdlib>

namespace vantor::platform {

void osRandom(void* buffer, std::size_t length) {
  auto* out = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    ULONG chunk = length > 0x10000000 ? 0x10000000 : static_cast<ULONG>(length);
    NTSTATUS status = BCryptGenRandom(nullptr, out, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status < 0) {
      // Keys and nonces must never come from anything weaker: stop here.
      std::fprintf(stderr, "BCryptGenRandom failed (0x%08lx)\n", static_cast<unsigned long>(status));
      std::abort();
    }
    out += chunk;
    length -= chunk;
  }
}

}  // namespace vantor::platform
