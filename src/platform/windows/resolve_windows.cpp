#include "platform/resolve.h"

#include <ws2tcpip.h>

#include <cstring>

#include "platform/windows/win_support.h"

namespace vantor::platform {

bool resolveAddress(const std::string& host, AddressFamily family, uint8_t out[16]) {
  win::ensureWinsock();
  addrinfo hints{};
  hints.ai_family = family == AddressFamily::Ipv4 ? AF_INET : AF_INET6;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) return false;
  bool ok = false;
  for (addrinfo* a = result; a && !ok; a = a->ai_next) {
    if (a->ai_family == AF_INET && family == AddressFamily::Ipv4) {
      std::memcpy(out, &reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr, 4);
      ok = true;
    } else if (a->ai_family == AF_INET6 && family == AddressFamily::Ipv6) {
      std::memcpy(out, &reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr, 16);
      ok = true;
    }
  }
  ::freeaddrinfo(result);
  return ok;
}

}  // namespace vantor::platform
