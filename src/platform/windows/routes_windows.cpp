// Routes, interfaces and addresses through IP Helper.
#include "platform/windows/host_text.h"
// clang-format off
#include <iphlpapi.h>
#include <netioapi.h>
// clang-format on

#include <cstring>
#include <mutex>
#include <set>
#include <tuple>

#include "platform/net.h"
#include "platform/routes.h"
#include "platform/windows/route_rows.h"

namespace vantor::platform {
namespace {

using windows::ForwardRowFields;

// IP Helper may refuse our own origin number on a route it creates; such
// rows are added as management routes and remembered here, so this run can
// still find what it added.
struct AddedRoutes {
  std::mutex lock;
  std::set<std::tuple<uint16_t, std::string, uint8_t, uint32_t>> rows;  // family, destination, prefix, interface
};
AddedRoutes& addedRoutes() {
  static AddedRoutes* added = new AddedRoutes();
  return *added;
}
auto addedKey(const ForwardRowFields& f) {
  return std::make_tuple(f.family, std::string(reinterpret_cast<const char*>(f.destination), 16), f.prefixLength,
                         f.ifIndex);
}

void toRow(const ForwardRowFields& f, MIB_IPFORWARD_ROW2& row) {
  InitializeIpForwardEntry(&row);
  row.InterfaceIndex = f.ifIndex;
  row.DestinationPrefix.PrefixLength = f.prefixLength;
  if (f.family == windows::kFamilyIpv4) {
    row.DestinationPrefix.Prefix.Ipv4.sin_family = AF_INET;
    std::memcpy(&row.DestinationPrefix.Prefix.Ipv4.sin_addr, f.destination, 4);
    row.NextHop.Ipv4.sin_family = AF_INET;
    std::memcpy(&row.NextHop.Ipv4.sin_addr, f.nextHop, 4);
  } else {
    row.DestinationPrefix.Prefix.Ipv6.sin6_family = AF_INET6;
    std::memcpy(&row.DestinationPrefix.Prefix.Ipv6.sin6_addr, f.destination, 16);
    row.NextHop.Ipv6.sin6_family = AF_INET6;
    std::memcpy(&row.NextHop.Ipv6.sin6_addr, f.nextHop, 16);
  }
  row.Metric = f.metric;
  row.Protocol = static_cast<NL_ROUTE_PROTOCOL>(f.protocol);
}

ForwardRowFields fromRow(const MIB_IPFORWARD_ROW2& row) {
  ForwardRowFields f;
  f.ifIndex = row.InterfaceIndex;
  f.prefixLength = row.DestinationPrefix.PrefixLength;
  f.metric = row.Metric;
  f.protocol = static_cast<uint32_t>(row.Protocol);
  if (row.DestinationPrefix.Prefix.si_family == AF_INET) {
    f.family = windows::kFamilyIpv4;
    std::memcpy(f.destination, &row.DestinationPrefix.Prefix.Ipv4.sin_addr, 4);
    if (row.NextHop.si_family == AF_INET) std::memcpy(f.nextHop, &row.NextHop.Ipv4.sin_addr, 4);
  } else if (row.DestinationPrefix.Prefix.si_family == AF_INET6) {
    f.family = windows::kFamilyIpv6;
    std::memcpy(f.destination, &row.DestinationPrefix.Prefix.Ipv6.sin6_addr, 16);
    if (row.NextHop.si_family == AF_INET6) std::memcpy(f.nextHop, &row.NextHop.Ipv6.sin6_addr, 16);
  }
  return f;
}

// The interface that reaches `nextHop`, for a row that names only the gateway.
uint32_t interfaceTowards(const ForwardRowFields& f) {
  SOCKADDR_INET destination{};
  if (f.family == windows::kFamilyIpv4) {
    destination.Ipv4.sin_family = AF_INET;
    std::memcpy(&destination.Ipv4.sin_addr, f.nextHop, 4);
  } else {
    destination.Ipv6.sin6_family = AF_INET6;
    std::memcpy(&destination.Ipv6.sin6_addr, f.nextHop, 16);
  }
  MIB_IPFORWARD_ROW2 best{};
  SOCKADDR_INET source{};
  if (GetBestRoute2(nullptr, 0, nullptr, &destination, 0, &best, &source) != NO_ERROR) return 0;
  return best.InterfaceIndex;
}

uint32_t changeOne(ForwardRowFields f, bool add) {
  if (f.ifIndex == 0) {
    f.ifIndex = interfaceTowards(f);
    if (f.ifIndex == 0) return ERROR_NETWORK_UNREACHABLE;
  }
  MIB_IPFORWARD_ROW2 row;
  toRow(f, row);
  if (!add) {
    DWORD result = DeleteIpForwardEntry2(&row);
    std::lock_guard<std::mutex> guard(addedRoutes().lock);
    if (result == NO_ERROR) addedRoutes().rows.erase(addedKey(f));
    return result;
  }
  DWORD result = CreateIpForwardEntry2(&row);
  if (result == ERROR_INVALID_PARAMETER && f.protocol != windows::kProtocolNetMgmt) {
    row.Protocol = static_cast<NL_ROUTE_PROTOCOL>(windows::kProtocolNetMgmt);
    result = CreateIpForwardEntry2(&row);
  }
  if (result == NO_ERROR) {
    std::lock_guard<std::mutex> guard(addedRoutes().lock);
    addedRoutes().rows.insert(addedKey(f));
  }
  return result;
}

// Rows are changed one by one: IP Helper has no batch call. `errors`
// receives Windows error codes (0 for success).
template <typename Row>
int changeRoutes(std::span<const Row> rows, bool add, std::vector<int>* errors) {
  std::vector<int> results(rows.size(), 0);
  int failed = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    ForwardRowFields f;
    uint32_t result = windows::forwardRowFromRoute(rows[i], f);
    if (result == 0) result = changeOne(f, add);
    results[i] = static_cast<int>(result);
    failed += result != 0;
  }
  if (errors) *errors = std::move(results);
  return failed;
}

template <typename Each>
bool forEachRoute(ADDRESS_FAMILY family, Each each) {
  PMIB_IPFORWARD_TABLE2 table = nullptr;
  if (GetIpForwardTable2(family, &table) != NO_ERROR) return false;
  for (ULONG i = 0; i < table->NumEntries; ++i) each(table->Table[i]);
  FreeMibTable(table);
  return true;
}

template <typename Each>
bool forEachUnicastAddress(ADDRESS_FAMILY family, Each each) {
  PMIB_UNICASTIPADDRESS_TABLE table = nullptr;
  if (GetUnicastIpAddressTable(family, &table) != NO_ERROR) return false;
  for (ULONG i = 0; i < table->NumEntries; ++i) each(table->Table[i]);
  FreeMibTable(table);
  return true;
}

// The loopback pseudo-interface: IPv6 routes to it go nowhere, which is
// what the host's own "unreachable" routes stand for here.
uint32_t loopbackIndex6() {
  SOCKADDR_INET loopback{};
  loopback.Ipv6.sin6_family = AF_INET6;
  loopback.Ipv6.sin6_addr.s6_addr[15] = 1;
  MIB_IPFORWARD_ROW2 best{};
  SOCKADDR_INET source{};
  if (GetBestRoute2(nullptr, 0, nullptr, &loopback, 0, &best, &source) != NO_ERROR) return 1;
  return best.InterfaceIndex;
}

bool changeIpv6Unreachable(const std::string& prefix, bool add, std::string& error) {
  Ipv6RouteRow row;
  if (!parseIpv6Network(prefix, row.destination, row.prefixLength)) {
    error = "not an IPv6 prefix: " + prefix;
    return false;
  }
  row.ifIndex = static_cast<int>(loopbackIndex6());
  std::vector<int> errors;
  int failed = changeRoutes<Ipv6RouteRow>(std::span<const Ipv6RouteRow>(&row, 1), add, &errors);
  if (failed == 0 || (!add && errors[0] == ERROR_NOT_FOUND)) return true;
  error = windows::errorText(static_cast<unsigned long>(errors[0]));
  return false;
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

int addRoutes(std::span<const RouteRow> rows, std::vector<int>* errors) {
  return changeRoutes<RouteRow>(rows, true, errors);
}
int deleteRoutes(std::span<const RouteRow> rows, std::vector<int>* errors) {
  return changeRoutes<RouteRow>(rows, false, errors);
}
int addIpv6Routes(std::span<const Ipv6RouteRow> rows, std::vector<int>* errors) {
  return changeRoutes<Ipv6RouteRow>(rows, true, errors);
}
int deleteIpv6Routes(std::span<const Ipv6RouteRow> rows, std::vector<int>* errors) {
  return changeRoutes<Ipv6RouteRow>(rows, false, errors);
}

bool listRoutes(std::vector<RouteRow>& rows) {
  rows.clear();
  return forEachRoute(AF_INET, [&](const MIB_IPFORWARD_ROW2& r) {
    RouteRow row;
    if (windows::routeFromForwardRow(fromRow(r), row)) rows.push_back(row);
  });
}

int deleteRoutesOfProtocol(uint8_t protocol, std::vector<std::string>* removed) {
  std::vector<MIB_IPFORWARD_ROW2> doomed;
  bool ok = forEachRoute(AF_UNSPEC, [&](const MIB_IPFORWARD_ROW2& r) {
    ForwardRowFields f = fromRow(r);
    bool ours = f.protocol == protocol;
    if (!ours && protocol == kVantorRouteProtocol) {
      std::lock_guard<std::mutex> guard(addedRoutes().lock);
      ours = addedRoutes().rows.count(addedKey(f)) != 0;
    }
    if (ours) doomed.push_back(r);
  });
  if (!ok) return -1;
  int count = 0;
  for (MIB_IPFORWARD_ROW2& r : doomed) {
    DWORD result = DeleteIpForwardEntry2(&r);
    if (result != NO_ERROR && result != ERROR_NOT_FOUND) continue;
    ++count;
    ForwardRowFields f = fromRow(r);
    {
      std::lock_guard<std::mutex> guard(addedRoutes().lock);
      addedRoutes().rows.erase(addedKey(f));
    }
    if (!removed || result != NO_ERROR) continue;
    RouteRow v4;
    Ipv6RouteRow v6;
    if (windows::routeFromForwardRow(f, v4)) {
      v4.protocol = protocol;
      removed->push_back(describeRoute(v4));
    } else if (windows::ipv6RouteFromForwardRow(f, v6)) {
      removed->push_back(describeIpv6Route(v6));
    }
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
  Ipv6RouteRow wanted;
  if (!parseIpv6Network(prefix, wanted.destination, wanted.prefixLength)) return false;
  uint32_t loopback = loopbackIndex6();
  bool found = false;
  forEachRoute(AF_INET6, [&](const MIB_IPFORWARD_ROW2& r) {
    Ipv6RouteRow row;
    if (windows::ipv6RouteFromForwardRow(fromRow(r), row) && row.prefixLength == wanted.prefixLength &&
        std::memcmp(row.destination, wanted.destination, 16) == 0 && static_cast<uint32_t>(row.ifIndex) == loopback)
      found = true;
  });
  return found;
}

bool ipv6DefaultRoute(Ipv6RouteRow& out) {
  bool found = false;
  forEachRoute(AF_INET6, [&](const MIB_IPFORWARD_ROW2& r) {
    Ipv6RouteRow row;
    if (!windows::ipv6RouteFromForwardRow(fromRow(r), row) || row.prefixLength != 0 || row.ifIndex <= 0) return;
    if (found && row.metric >= out.metric) return;
    out = row;
    found = true;
  });
  return found;
}

bool hasGlobalIpv6Address(int exceptIfIndex) {
  bool found = false;
  forEachUnicastAddress(AF_INET6, [&](const MIB_UNICASTIPADDRESS_ROW& r) {
    if (exceptIfIndex > 0 && static_cast<int>(r.InterfaceIndex) == exceptIfIndex) return;
    if (r.DadState != IpDadStatePreferred && r.DadState != IpDadStateDeprecated) return;
    const uint8_t* a = r.Address.Ipv6.sin6_addr.s6_addr;
    bool linkLocal = a[0] == 0xFE && (a[1] & 0xC0) == 0x80;
    bool loopbackOrUnspecified = std::memcmp(a, "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 15) == 0;
    if (!linkLocal && !loopbackOrUnspecified) found = true;
  });
  return found;
}

bool hasIpv6Connectivity(int exceptIfIndex) {
  Ipv6RouteRow route;
  return hasGlobalIpv6Address(exceptIfIndex) && ipv6DefaultRoute(route) && route.ifIndex != exceptIfIndex;
}

// Interface names are the aliases Windows shows ("Ethernet", "Vantor").
int interfaceIndex(const std::string& name) {
  NET_LUID luid{};
  NET_IFINDEX index = 0;
  std::wstring wide = windows::widen(name);
  if (ConvertInterfaceAliasToLuid(wide.c_str(), &luid) == NO_ERROR &&
      ConvertInterfaceLuidToIndex(&luid, &index) == NO_ERROR)
    return static_cast<int>(index);
  return static_cast<int>(if_nametoindex(name.c_str()));
}

std::string interfaceName(int index) {
  if (index <= 0) return {};
  NET_LUID luid{};
  wchar_t alias[NDIS_IF_MAX_STRING_SIZE + 1] = {};
  if (ConvertInterfaceIndexToLuid(static_cast<NET_IFINDEX>(index), &luid) != NO_ERROR) return {};
  if (ConvertInterfaceLuidToAlias(&luid, alias, NDIS_IF_MAX_STRING_SIZE + 1) != NO_ERROR) return {};
  return windows::narrow(alias);
}

std::vector<std::pair<int, std::string>> listInterfaces() {
  std::vector<std::pair<int, std::string>> out;
  PMIB_IF_TABLE2 table = nullptr;
  if (GetIfTable2(&table) != NO_ERROR) return out;
  for (ULONG i = 0; i < table->NumEntries; ++i) {
    const MIB_IF_ROW2& row = table->Table[i];
    // Filter and miniport layers of one adapter share its alias; list the adapter once.
    if (!row.InterfaceAndOperStatusFlags.HardwareInterface && row.Type != IF_TYPE_SOFTWARE_LOOPBACK &&
        row.InterfaceAndOperStatusFlags.FilterInterface)
      continue;
    out.emplace_back(static_cast<int>(row.InterfaceIndex), windows::narrow(row.Alias));
  }
  FreeMibTable(table);
  return out;
}

// Windows has one network stack per host.
std::string networkNamespaceKey() { return "net"; }

bool hostAddresses(std::vector<HostAddress>& out) {
  out.clear();
  return forEachUnicastAddress(AF_INET, [&](const MIB_UNICASTIPADDRESS_ROW& r) {
    HostAddress a;
    a.ifIndex = static_cast<int>(r.InterfaceIndex);
    std::memcpy(&a.address, &r.Address.Ipv4.sin_addr, 4);
    a.prefixLength = r.OnLinkPrefixLength;
    out.push_back(a);
  });
}

bool interfaceAddresses(int index, std::vector<InterfaceAddress>& out) {
  out.clear();
  std::vector<HostAddress> all;
  if (!hostAddresses(all)) return false;
  for (const HostAddress& a : all)
    if (a.ifIndex == index) out.push_back({a.address, a.prefixLength});
  return true;
}

bool interfaceOperState(int index, OperState& state) {
  MIB_IF_ROW2 row{};
  row.InterfaceIndex = static_cast<NET_IFINDEX>(index);
  if (index <= 0 || GetIfEntry2(&row) != NO_ERROR) return false;
  switch (row.OperStatus) {
    case IfOperStatusUp:
      state = OperState::Up;
      break;
    case IfOperStatusDown:
      state = OperState::Down;
      break;
    case IfOperStatusTesting:
      state = OperState::Testing;
      break;
    case IfOperStatusDormant:
      state = OperState::Dormant;
      break;
    case IfOperStatusNotPresent:
      state = OperState::NotPresent;
      break;
    case IfOperStatusLowerLayerDown:
      state = OperState::LowerLayerDown;
      break;
    default:
      state = OperState::Unknown;
      break;
  }
  return true;
}

// The TUN device is Wintun's: there is nothing to load beyond its DLL, which
// must sit beside the program.
bool ensureTunDevice(std::string& error) {
  HMODULE dll = LoadLibraryExW(L"wintun.dll", nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
  if (!dll) {
    error =
        "wintun.dll is missing beside the program (or cannot be loaded: " + windows::errorText(GetLastError()) + ")";
    return false;
  }
  FreeLibrary(dll);
  return true;
}

}  // namespace vantor::platform

namespace vantor::platform::windows {

bool interfaceMetric(int ifIndex, bool ipv6, uint32_t& metric, bool& automatic) {
  MIB_IPINTERFACE_ROW row;
  InitializeIpInterfaceEntry(&row);
  row.Family = ipv6 ? AF_INET6 : AF_INET;
  row.InterfaceIndex = static_cast<NET_IFINDEX>(ifIndex);
  if (GetIpInterfaceEntry(&row) != NO_ERROR) return false;
  metric = row.Metric;
  automatic = row.UseAutomaticMetric != FALSE;
  return true;
}

bool setInterfaceMetric(int ifIndex, bool ipv6, uint32_t metric, bool automatic, std::string& error) {
  MIB_IPINTERFACE_ROW row;
  InitializeIpInterfaceEntry(&row);
  row.Family = ipv6 ? AF_INET6 : AF_INET;
  row.InterfaceIndex = static_cast<NET_IFINDEX>(ifIndex);
  DWORD result = GetIpInterfaceEntry(&row);
  if (result == NO_ERROR) {
    row.UseAutomaticMetric = automatic ? TRUE : FALSE;
    if (!automatic) row.Metric = metric;
    // An IPv4 row read back carries a prefix length Set refuses to take again.
    if (row.Family == AF_INET) row.SitePrefixLength = 0;
    result = SetIpInterfaceEntry(&row);
  }
  if (result == NO_ERROR) return true;
  error = errorText(result);
  return false;
}

}  // namespace vantor::platform::windows
