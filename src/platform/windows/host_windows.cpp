// This machine's name and IPv4 addresses through GetAdaptersAddresses.
#include "platform/windows/host_text.h"
// clang-format off
#include <iphlpapi.h>
// clang-format on

#include <algorithm>

#include "platform/host.h"

namespace vantor::platform {

std::string hostName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 64] = {};
  DWORD size = sizeof name / sizeof name[0];
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return {};
  return windows::narrow(std::wstring_view(name, size));
}

// The addresses of the adapters that are up, loopback left out.
std::vector<std::string> hostIpv4Addresses() {
  std::vector<std::string> out;
  ULONG size = 16 * 1024;
  std::string buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.assign(size, '\0');
    result = GetAdaptersAddresses(
        AF_INET,
        GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER | GAA_FLAG_SKIP_FRIENDLY_NAME,
        nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (result != NO_ERROR) return out;
  for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); a; a = a->Next) {
    if (a->IfType == IF_TYPE_SOFTWARE_LOOPBACK || a->OperStatus != IfOperStatusUp) continue;
    for (auto* u = a->FirstUnicastAddress; u; u = u->Next) {
      const sockaddr* sa = u->Address.lpSockaddr;
      if (!sa || sa->sa_family != AF_INET) continue;
      char text[INET_ADDRSTRLEN] = {};
      in_addr address = reinterpret_cast<const sockaddr_in*>(sa)->sin_addr;
      if ((ntohl(address.s_addr) >> 24) == 127) continue;
      if (!InetNtopA(AF_INET, &address, text, sizeof text)) continue;
      if (std::find(out.begin(), out.end(), text) == out.end()) out.emplace_back(text);
    }
  }
  return out;
}

}  // namespace vantor::platform
