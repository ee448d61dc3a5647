#include "service/service_log.h"

#include <cstdarg>
#include <cstdio>

namespace vantor {

void serviceLog(const char* format, ...) {
  // Composed first and written with one call, so lines of several threads
  // never interleave.
  char line[512];
  int n = std::snprintf(line, sizeof line, "vantor: ");
  va_list args;
  va_start(args, format);
  std::vsnprintf(line + n, sizeof line - static_cast<std::size_t>(n) - 1, format, args);
  va_end(args);
  std::fprintf(stderr, "%s\n", line);
}

}  // namespace vantor
