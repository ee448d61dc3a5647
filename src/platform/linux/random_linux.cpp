#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>

namespace vantor::platform {

void osRandom(void* buffer, std::size_t length) {
  auto* p = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    ssize_t n = ::getrandom(p, length, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      continue;  // getrandom without flags only fails on EINTR/EFAULT; retry
    }
    p += n;
    length -= static_cast<std::size_t>(n);
  }
}

}  // namespace vantor::platform
