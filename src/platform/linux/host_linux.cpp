#include "platform/host.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

namespace vantor::platform {

std::string hostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

// The interfaces rather than a resolution of the host name: on Debian the
// name resolves to 127.0.1.1 through /etc/hosts, which says nothing about
// the networks the host is on.
std::vector<std::string> hostIpv4Addresses() {
  std::vector<std::string> out;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  for (ifaddrs* it = list; it; it = it->ifa_next) {
    if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET || (it->ifa_flags & IFF_LOOPBACK)) continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* sin = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
    if (!::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text)) continue;
    if (std::find(out.begin(), out.end(), text) == out.end()) out.emplace_back(text);
  }
  ::freeifaddrs(list);
  return out;
}

}  // namespace vantor::platform
