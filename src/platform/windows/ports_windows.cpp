#include "platform/ports.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <algorithm>

namespace vantor::platform {
namespace {

// Appends the local ports of one address family's TCP table (every state;
// the owner-process form is the one both families support).
bool readTable(ULONG family, std::vector<uint16_t>& ports) {
  std::vector<unsigned char> buffer(16384);
  DWORD size = static_cast<DWORD>(buffer.size());
  DWORD rc;
  for (int attempt = 0; attempt < 4; ++attempt) {
    rc = GetExtendedTcpTable(buffer.data(), &size, FALSE, family, TCP_TABLE_OWNER_PID_ALL, 0);
    if (rc != ERROR_INSUFFICIENT_BUFFER) break;
    buffer.resize(size + 4096);
    size = static_cast<DWORD>(buffer.size());
  }
  if (rc != NO_ERROR) return false;
  if (family == AF_INET) {
    auto* table = reinterpret_cast<MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i)
      ports.push_back(ntohs(static_cast<u_short>(table->table[i].dwLocalPort)));
  } else {
    auto* table = reinterpret_cast<MIB_TCP6TABLE_OWNER_PID*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i)
      ports.push_back(ntohs(static_cast<u_short>(table->table[i].dwLocalPort)));
  }
  return true;
}

}  // namespace

std::optional<std::vector<uint16_t>> tcpPortsInUse() {
  std::vector<uint16_t> ports;
  bool v4 = readTable(AF_INET, ports);
  bool v6 = readTable(AF_INET6, ports);
  if (!v4 && !v6) return std::nullopt;
  std::sort(ports.begin(), ports.end());
  return ports;
}

}  // namespace vantor::platform
