#include "platform/host_info.h"

#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace vantor::platform {

std::string hostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::vector<uint32_t> ownIpv4Addresses() {
  std::vector<uint32_t> out;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    uint32_t address = reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr;
    if (std::find(out.begin(), out.end(), address) == out.end()) out.push_back(address);
  }
  ::freeifaddrs(list);
  return out;
}

}  // namespace vantor::platform
