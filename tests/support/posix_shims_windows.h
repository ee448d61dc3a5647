// Included first into every Windows test program (see tests/CMakeLists.txt):
// the few POSIX calls the unit tests use to set up their scratch folders and
// environment, over the Windows API, so the tests stay one source for both.
#pragma once
#ifdef _WIN32

#include <windows.h>
#include <direct.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

// Replaces the trailing "XXXXXX" of `pattern` and creates that folder.
inline char* mkdtemp(char* pattern) {
  std::size_t n = std::strlen(pattern);
  if (n < 6 || std::strcmp(pattern + n - 6, "XXXXXX") != 0) return nullptr;
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device device;
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (std::size_t i = n - 6; i < n; ++i) pattern[i] = kChars[device() % 36];
    if (CreateDirectoryA(pattern, nullptr)) return pattern;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return nullptr;
  }
  return nullptr;
}

inline int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && std::getenv(name)) return 0;
  return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }

#endif
