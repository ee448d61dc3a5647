#pragma once

#include <cstddef>

namespace vantor::platform {

// Fills `buffer` from the operating system's random source (never fails silently:
// it blocks until the source is ready).
void osRandom(void* buffer, std::size_t length);

}  // namespace vantor::platform
