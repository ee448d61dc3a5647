#include "platform/routes.h"

// glibc's net/if.h must come before the kernel headers that use linux/if.h.
#include <net/if.h>
// clang-format off
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_link.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
// clang-format on

#include <cerrno>
#include <cstring>

#include "platform/linux/netlink_linux.h"
#include "platform/net.h"
#include "platform/process.h"

namespace vantor::platform {
namespace {

using linux_nl::Message;

// RFC 2863 operational states as IFLA_OPERSTATE reports them (linux/if.h,
// which cannot be included beside net/if.h).
enum : uint8_t {
  kOperUnknown = 0,
  kOperNotPresent = 1,
  kOperDown = 2,
  kOperLowerLayerDown = 3,
  kOperTesting = 4,
  kOperDormant = 5,
  kOperUp = 6,
};

rtmsg routeHeader(int family, int prefixLength, uint8_t protocol, unsigned char scope, unsigned char type) {
  rtmsg rt{};
  rt.rtm_family = static_cast<unsigned char>(family);
  rt.rtm_dst_len = static_cast<unsigned char>(prefixLength);
  rt.rtm_table = RT_TABLE_MAIN;
  rt.rtm_protocol = protocol;
  rt.rtm_scope = scope;
  rt.rtm_type = type;
  return rt;
}

Message routeMessage(const RouteRow& row, bool add) {
  int prefix = maskPrefixLength(row.mask);
  unsigned char scope = add ? (row.direct ? RT_SCOPE_LINK : RT_SCOPE_UNIVERSE) : RT_SCOPE_NOWHERE;
  rtmsg rt = routeHeader(AF_INET, prefix, row.protocol, scope, RTN_UNICAST);
  Message m(add ? RTM_NEWROUTE : RTM_DELROUTE, add ? (NLM_F_CREATE | NLM_F_EXCL) : 0, &rt, sizeof rt);
  // Host bits beyond the prefix are left for the kernel to refuse, never
  // silently cleared (a malformed rule line must not become a wide route).
  if (prefix > 0 || row.destination != 0) m.attribute(RTA_DST, &row.destination, 4);
  if (!row.direct && row.nextHop != 0) m.attribute(RTA_GATEWAY, &row.nextHop, 4);
  if (row.ifIndex > 0) m.attributeU32(RTA_OIF, static_cast<uint32_t>(row.ifIndex));
  if (add) m.attributeU32(RTA_PRIORITY, row.metric);
  return m;
}

int changeRoutes(std::span<const RouteRow> rows, bool add, std::vector<int>* errors) {
  std::vector<Message> messages;
  std::vector<int> results(rows.size(), 0);
  std::vector<std::size_t> sentIndex;
  messages.reserve(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (maskPrefixLength(rows[i].mask) < 0) {
      results[i] = EINVAL;
      continue;
    }
    messages.push_back(routeMessage(rows[i], add));
    sentIndex.push_back(i);
  }
  int failed = 0;
  if (!messages.empty()) {
    linux_nl::Socket socket;
    std::vector<int> sentErrors;
    if (!socket.transact(messages, sentErrors)) {
      if (errors) errors->assign(rows.size(), EIO);
      return -1;
    }
    for (std::size_t k = 0; k < sentIndex.size(); ++k) results[sentIndex[k]] = sentErrors[k];
  }
  for (int e : results) failed += e != 0;
  if (errors) *errors = std::move(results);
  return failed;
}

struct DumpedRoute {
  rtmsg header{};
  RouteRow row;
  bool hasGateway = false;
  unsigned char destination6[16] = {};
  unsigned char gateway6[16] = {};
  uint32_t table = 0;
};

DumpedRoute parseRoute(const nlmsghdr* h) {
  DumpedRoute d;
  d.header = *static_cast<const rtmsg*>(NLMSG_DATA(h));
  d.table = d.header.rtm_table;
  d.row.protocol = d.header.rtm_protocol;
  d.row.mask = d.header.rtm_family == AF_INET ? prefixMask(d.header.rtm_dst_len) : 0;
  linux_nl::forEachAttribute(h, sizeof(rtmsg), [&](const rtattr* a) {
    std::size_t length = RTA_PAYLOAD(a);
    switch (a->rta_type) {
      case RTA_DST:
        if (length == 4) std::memcpy(&d.row.destination, RTA_DATA(a), 4);
        if (length == 16) std::memcpy(d.destination6, RTA_DATA(a), 16);
        break;
      case RTA_GATEWAY:
        if (length == 4) std::memcpy(&d.row.nextHop, RTA_DATA(a), 4);
        if (length == 16) std::memcpy(d.gateway6, RTA_DATA(a), 16);
        d.hasGateway = true;
        break;
      case RTA_OIF:
        if (length == 4) d.row.ifIndex = static_cast<int>(*static_cast<const uint32_t*>(RTA_DATA(a)));
        break;
      case RTA_PRIORITY:
        if (length == 4) d.row.metric = *static_cast<const uint32_t*>(RTA_DATA(a));
        break;
      case RTA_TABLE:
        if (length == 4) d.table = *static_cast<const uint32_t*>(RTA_DATA(a));
        break;
      default:
        break;
    }
  });
  d.row.direct = !d.hasGateway;
  return d;
}

bool dumpRoutes(int family, const std::function<void(const nlmsghdr*, const DumpedRoute&)>& each) {
  linux_nl::Socket socket;
  rtmsg rt{};
  rt.rtm_family = static_cast<unsigned char>(family);
  Message request(RTM_GETROUTE, NLM_F_DUMP, &rt, sizeof rt);
  return socket.dump(request, [&](const nlmsghdr* h) {
    if (h->nlmsg_type != RTM_NEWROUTE) return;
    DumpedRoute d = parseRoute(h);
    if (d.table != RT_TABLE_MAIN) return;
    each(h, d);
  });
}

bool parseIpv6Prefix(const std::string& text, unsigned char address[16], int& prefixLength) {
  auto slash = text.find('/');
  if (slash == std::string::npos) return false;
  std::string host = text.substr(0, slash);
  char* end = nullptr;
  long prefix = std::strtol(text.c_str() + slash + 1, &end, 10);
  if (*end != '\0' || prefix < 0 || prefix > 128) return false;
  if (::inet_pton(AF_INET6, host.c_str(), address) != 1) return false;
  prefixLength = static_cast<int>(prefix);
  return true;
}

bool changeIpv6Unreachable(const std::string& prefix, bool add, std::string& error) {
  unsigned char address[16];
  int prefixLength = 0;
  if (!parseIpv6Prefix(prefix, address, prefixLength)) {
    error = "invalid IPv6 prefix " + prefix;
    return false;
  }
  rtmsg rt = routeHeader(AF_INET6, prefixLength, kVantorRouteProtocol, add ? RT_SCOPE_UNIVERSE : RT_SCOPE_NOWHERE,
                         RTN_UNREACHABLE);
  std::vector<Message> messages;
  messages.emplace_back(add ? RTM_NEWROUTE : RTM_DELROUTE, add ? (NLM_F_CREATE | NLM_F_EXCL) : 0, &rt, sizeof rt);
  messages.back().attribute(RTA_DST, address, 16);
  linux_nl::Socket socket;
  std::vector<int> errors;
  if (!socket.transact(messages, errors)) {
    error = "netlink: " + std::string(std::strerror(errno));
    return false;
  }
  if (errors[0] != 0) {
    error = std::string(add ? "add " : "delete ") + "unreachable " + prefix + ": " + std::strerror(errors[0]);
    return false;
  }
  return true;
}

int changeIpv6Routes(std::span<const Ipv6RouteRow> rows, bool add, std::vector<int>* errors) {
  std::vector<Message> messages;
  std::vector<int> results(rows.size(), 0);
  std::vector<std::size_t> sentIndex;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Ipv6RouteRow& row = rows[i];
    if (row.prefixLength < 0 || row.prefixLength > 128) {
      results[i] = EINVAL;
      continue;
    }
    // The kernel keeps every IPv6 route at universe scope.
    unsigned char scope = add ? RT_SCOPE_UNIVERSE : RT_SCOPE_NOWHERE;
    rtmsg rt = routeHeader(AF_INET6, row.prefixLength, row.protocol, scope, RTN_UNICAST);
    Message m(add ? RTM_NEWROUTE : RTM_DELROUTE, add ? (NLM_F_CREATE | NLM_F_EXCL) : 0, &rt, sizeof rt);
    if (row.prefixLength > 0) m.attribute(RTA_DST, row.destination, 16);
    if (row.hasGateway) m.attribute(RTA_GATEWAY, row.gateway, 16);
    if (row.ifIndex > 0) m.attributeU32(RTA_OIF, static_cast<uint32_t>(row.ifIndex));
    if (add || row.metric != 0) m.attributeU32(RTA_PRIORITY, row.metric);
    messages.push_back(std::move(m));
    sentIndex.push_back(i);
  }
  if (!messages.empty()) {
    linux_nl::Socket socket;
    std::vector<int> sentErrors;
    if (!socket.transact(messages, sentErrors)) {
      if (errors) errors->assign(rows.size(), EIO);
      return -1;
    }
    for (std::size_t k = 0; k < sentIndex.size(); ++k) results[sentIndex[k]] = sentErrors[k];
  }
  int failed = 0;
  for (int e : results) failed += e != 0;
  if (errors) *errors = std::move(results);
  return failed;
}

}  // namespace

int maskPrefixLength(uint32_t mask) {
  uint32_t host = ntohl(mask);
  int prefix = 0;
  while (prefix < 32 && (host & (0x80000000u >> prefix))) ++prefix;
  return prefixMask(prefix) == mask ? prefix : -1;
}

uint32_t prefixMask(int prefixLength) {
  if (prefixLength <= 0) return 0;
  if (prefixLength >= 32) return 0xffffffffu;
  return htonl(~0u << (32 - prefixLength));
}

int addRoutes(std::span<const RouteRow> rows, std::vector<int>* errors) { return changeRoutes(rows, true, errors); }
int deleteRoutes(std::span<const RouteRow> rows, std::vector<int>* errors) { return changeRoutes(rows, false, errors); }

bool listRoutes(std::vector<RouteRow>& rows) {
  rows.clear();
  return dumpRoutes(AF_INET, [&](const nlmsghdr*, const DumpedRoute& d) {
    if (d.header.rtm_type == RTN_UNICAST) rows.push_back(d.row);
  });
}

int deleteRoutesOfProtocol(uint8_t protocol, std::vector<std::string>* removed) {
  std::vector<Message> messages;
  std::vector<std::string> descriptions;
  for (int family : {AF_INET, AF_INET6}) {
    bool ok = dumpRoutes(family, [&](const nlmsghdr* h, const DumpedRoute& d) {
      if (d.header.rtm_protocol != protocol) return;
      Message m = Message::copyOf(h);
      m.header()->nlmsg_type = RTM_DELROUTE;
      m.header()->nlmsg_flags = NLM_F_REQUEST;
      messages.push_back(std::move(m));
      if (family == AF_INET) {
        descriptions.push_back(describeRoute(d.row));
      } else {
        char text[INET6_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET6, d.destination6, text, sizeof text);
        descriptions.push_back(std::string(d.header.rtm_type == RTN_UNREACHABLE ? "unreachable " : "") + text + "/" +
                               std::to_string(d.header.rtm_dst_len));
      }
    });
    if (!ok) return -1;
  }
  if (messages.empty()) return 0;
  linux_nl::Socket socket;
  std::vector<int> errors;
  if (!socket.transact(messages, errors)) return -1;
  int count = 0;
  for (std::size_t i = 0; i < errors.size(); ++i) {
    // ESRCH: already gone with its interface.
    if (errors[i] != 0 && errors[i] != ESRCH) continue;
    ++count;
    if (removed && errors[i] == 0) removed->push_back(descriptions[i]);
  }
  return count;
}

bool addIpv6Unreachable(const std::string& prefix, std::string& error) {
  return changeIpv6Unreachable(prefix, true, error);
}

bool deleteIpv6Unreachable(const std::string& prefix, std::string& error) {
  return changeIpv6Unreachable(prefix, false, error);
}

bool hasIpv6Unreachable(const std::string& prefix) {
  unsigned char address[16];
  int prefixLength = 0;
  if (!parseIpv6Prefix(prefix, address, prefixLength)) return false;
  bool found = false;
  dumpRoutes(AF_INET6, [&](const nlmsghdr*, const DumpedRoute& d) {
    if (d.header.rtm_type == RTN_UNREACHABLE && d.header.rtm_dst_len == prefixLength &&
        std::memcmp(d.destination6, address, 16) == 0 && d.header.rtm_protocol == kVantorRouteProtocol)
      found = true;
  });
  return found;
}

int interfaceIndex(const std::string& name) { return static_cast<int>(::if_nametoindex(name.c_str())); }

std::string interfaceName(int index) {
  char name[IF_NAMESIZE] = {};
  if (index <= 0 || ::if_indextoname(static_cast<unsigned>(index), name) == nullptr) return {};
  return name;
}

std::vector<std::pair<int, std::string>> listInterfaces() {
  std::vector<std::pair<int, std::string>> out;
  struct if_nameindex* list = ::if_nameindex();
  if (!list) return out;
  for (struct if_nameindex* i = list; i->if_index != 0; ++i)
    out.emplace_back(static_cast<int>(i->if_index), i->if_name);
  ::if_freenameindex(list);
  return out;
}

std::string networkNamespaceKey() {
  struct stat st {};
  if (::stat("/proc/self/ns/net", &st) != 0) return "net";
  return "net" + std::to_string(static_cast<unsigned long long>(st.st_ino));
}

bool hostAddresses(std::vector<HostAddress>& out) {
  out.clear();
  linux_nl::Socket socket;
  ifaddrmsg ifa{};
  ifa.ifa_family = AF_INET;
  Message request(RTM_GETADDR, NLM_F_DUMP, &ifa, sizeof ifa);
  return socket.dump(request, [&](const nlmsghdr* h) {
    if (h->nlmsg_type != RTM_NEWADDR) return;
    const auto* m = static_cast<const ifaddrmsg*>(NLMSG_DATA(h));
    HostAddress entry;
    entry.ifIndex = static_cast<int>(m->ifa_index);
    entry.prefixLength = m->ifa_prefixlen;
    bool haveLocal = false;
    linux_nl::forEachAttribute(h, sizeof(ifaddrmsg), [&](const rtattr* a) {
      if (RTA_PAYLOAD(a) != 4) return;
      if (a->rta_type == IFA_LOCAL) {
        std::memcpy(&entry.address, RTA_DATA(a), 4);
        haveLocal = true;
      } else if (a->rta_type == IFA_ADDRESS && !haveLocal) {
        std::memcpy(&entry.address, RTA_DATA(a), 4);
      }
    });
    out.push_back(entry);
  });
}

bool interfaceAddresses(int index, std::vector<InterfaceAddress>& out) {
  out.clear();
  std::vector<HostAddress> all;
  if (!hostAddresses(all)) return false;
  for (const auto& a : all)
    if (a.ifIndex == index) out.push_back({a.address, a.prefixLength});
  return true;
}

bool interfaceOperState(int index, OperState& state) {
  if (index <= 0) return false;
  linux_nl::Socket socket;
  ifinfomsg ifi{};
  ifi.ifi_family = AF_UNSPEC;
  ifi.ifi_index = index;
  Message request(RTM_GETLINK, 0, &ifi, sizeof ifi);
  int error = 0;
  bool found = false;
  uint8_t oper = kOperUnknown;
  bool ok = socket.query(
      request,
      [&](const nlmsghdr* h) {
        if (h->nlmsg_type != RTM_NEWLINK) return;
        found = true;
        linux_nl::forEachAttribute(h, sizeof(ifinfomsg), [&](const rtattr* a) {
          if (a->rta_type == IFLA_OPERSTATE && RTA_PAYLOAD(a) >= 1) oper = *static_cast<const uint8_t*>(RTA_DATA(a));
        });
      },
      error);
  if (!ok || !found) return false;
  switch (oper) {
    case kOperNotPresent:
      state = OperState::NotPresent;
      break;
    case kOperDown:
      state = OperState::Down;
      break;
    case kOperLowerLayerDown:
      state = OperState::LowerLayerDown;
      break;
    case kOperTesting:
      state = OperState::Testing;
      break;
    case kOperDormant:
      state = OperState::Dormant;
      break;
    case kOperUp:
      state = OperState::Up;
      break;
    default:
      state = OperState::Unknown;
      break;
  }
  return true;
}

bool ensureTunDevice(std::string& error) {
  auto canOpen = [] {
    int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
  };
  if (canOpen()) return true;
  // The module may be missing: ask modprobe, then make the node if the
  // module is there but the node is not (minimal containers).
  int status = 0;
  runProcess({"modprobe", "tun"}, nullptr, status);
  if (canOpen()) return true;
  ::mkdir("/dev/net", 0755);
  if (::mknod("/dev/net/tun", S_IFCHR | 0666, makedev(10, 200)) != 0 && errno != EEXIST) {
    error = std::string("cannot create /dev/net/tun: ") + std::strerror(errno);
    return false;
  }
  if (canOpen()) return true;
  error = std::string("cannot open /dev/net/tun: ") + std::strerror(errno);
  return false;
}

int addIpv6Routes(std::span<const Ipv6RouteRow> rows, std::vector<int>* errors) {
  return changeIpv6Routes(rows, true, errors);
}

int deleteIpv6Routes(std::span<const Ipv6RouteRow> rows, std::vector<int>* errors) {
  return changeIpv6Routes(rows, false, errors);
}

bool ipv6DefaultRoute(Ipv6RouteRow& out) {
  bool found = false;
  dumpRoutes(AF_INET6, [&](const nlmsghdr*, const DumpedRoute& d) {
    if (d.header.rtm_type != RTN_UNICAST || d.header.rtm_dst_len != 0 || d.row.ifIndex <= 0) return;
    if (found && d.row.metric >= out.metric) return;
    out = Ipv6RouteRow{};
    out.hasGateway = d.hasGateway;
    if (d.hasGateway) std::memcpy(out.gateway, d.gateway6, 16);
    out.ifIndex = d.row.ifIndex;
    out.metric = d.row.metric;
    out.protocol = d.row.protocol;
    found = true;
  });
  return found;
}

bool hasGlobalIpv6Address(int exceptIfIndex) {
  linux_nl::Socket socket;
  ifaddrmsg ifa{};
  ifa.ifa_family = AF_INET6;
  Message request(RTM_GETADDR, NLM_F_DUMP, &ifa, sizeof ifa);
  bool found = false;
  socket.dump(request, [&](const nlmsghdr* h) {
    if (h->nlmsg_type != RTM_NEWADDR) return;
    const auto* m = static_cast<const ifaddrmsg*>(NLMSG_DATA(h));
    if (m->ifa_family != AF_INET6 || m->ifa_scope != RT_SCOPE_UNIVERSE) return;
    if (exceptIfIndex > 0 && static_cast<int>(m->ifa_index) == exceptIfIndex) return;
    uint32_t flags = m->ifa_flags;
    linux_nl::forEachAttribute(h, sizeof(ifaddrmsg), [&](const rtattr* a) {
      if (a->rta_type == IFA_FLAGS && RTA_PAYLOAD(a) == 4) flags = *static_cast<const uint32_t*>(RTA_DATA(a));
    });
    if (flags & (IFA_F_TENTATIVE | IFA_F_DADFAILED)) return;
    found = true;
  });
  return found;
}

bool hasIpv6Connectivity(int exceptIfIndex) {
  Ipv6RouteRow route;
  return hasGlobalIpv6Address(exceptIfIndex) && ipv6DefaultRoute(route) && route.ifIndex != exceptIfIndex;
}

}  // namespace vantor::platform
