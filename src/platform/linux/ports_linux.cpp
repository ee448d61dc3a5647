#include "platform/ports.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace vantor::platform {
namespace {

// Rows of /proc/net/tcp{,6}: "sl local_address rem_address st ...", where
// local_address is ADDR:PORT in hex. Returns false when the file is missing.
bool readTable(const char* path, std::vector<uint16_t>& ports) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream row(line);
    std::string slot, local;
    if (!(row >> slot >> local)) continue;
    auto colon = local.rfind(':');
    if (colon == std::string::npos) continue;
    try {
      unsigned long port = std::stoul(local.substr(colon + 1), nullptr, 16);
      if (port <= 0xffff) ports.push_back(static_cast<uint16_t>(port));
    } catch (...) {
    }
  }
  return true;
}

}  // namespace

std::optional<std::vector<uint16_t>> tcpPortsInUse() {
  std::vector<uint16_t> ports;
  bool v4 = readTable("/proc/net/tcp", ports);
  bool v6 = readTable("/proc/net/tcp6", ports);
  if (!v4 && !v6) return std::nullopt;
  std::sort(ports.begin(), ports.end());
  return ports;
}

}  // namespace vantor::platform
