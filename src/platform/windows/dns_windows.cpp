// DNS servers of an interface through IP Helper: read with
// GetAdaptersAddresses, set with SetInterfaceDnsSettings (Windows 10 2004
// and later) or netsh where that is missing. There is no resolver process
// to talk to: the per-link calls of dns_config.h act on the interfaces
// directly, and resolvedRunning() says so.
#include "platform/windows/host_text.h"
// clang-format off
#include <iphlpapi.h>
#include <netioapi.h>
// clang-format on

#include <cwchar>
#include <sstream>

#include "platform/dns_config.h"
#include "platform/files.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/windows/dns_args.h"
#include "platform/windows/route_rows.h"

namespace vantor::platform {
namespace {

// DNS_INTERFACE_SETTINGS (version 1) and SetInterfaceDnsSettings, as IP
// Helper documents them; older headers do not declare them.
struct DnsInterfaceSettings {
  ULONG Version;
  ULONG64 Flags;
  PWSTR Domain;
  PWSTR NameServer;
  PWSTR SearchList;
  ULONG RegistrationEnabled;
  ULONG RegisterAdapterName;
  ULONG EnableLLMNR;
  ULONG QueryAdapterName;
  PWSTR ProfileNameServer;
};
constexpr ULONG kDnsSettingsVersion1 = 1;
constexpr ULONG64 kDnsSettingNameServer = 0x0002;
using SetInterfaceDnsSettingsFn = DWORD(WINAPI*)(GUID, const DnsInterfaceSettings*);

SetInterfaceDnsSettingsFn setInterfaceDnsSettings() {
  static SetInterfaceDnsSettingsFn fn = [] {
    HMODULE iphlpapi = GetModuleHandleW(L"iphlpapi.dll");
    if (!iphlpapi) iphlpapi = LoadLibraryExW(L"iphlpapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return iphlpapi ? reinterpret_cast<SetInterfaceDnsSettingsFn>(
                          reinterpret_cast<void*>(GetProcAddress(iphlpapi, "SetInterfaceDnsSettings")))
                    : nullptr;
  }();
  return fn;
}

bool interfaceGuid(int ifIndex, GUID& guid) {
  NET_LUID luid{};
  return ConvertInterfaceIndexToLuid(static_cast<NET_IFINDEX>(ifIndex), &luid) == NO_ERROR &&
         ConvertInterfaceLuidToGuid(&luid, &guid) == NO_ERROR;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", the registry's spelling.
std::wstring guidText(const GUID& g) {
  wchar_t text[64] = {};
  std::swprintf(text, 64, L"{%08lX-%04hX-%04hX-%02hhX%02hhX-%02hhX%02hhX%02hhX%02hhX%02hhX%02hhX}",
                static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

// A REG_SZ value of the interface's TCP/IP parameters.
std::string interfaceRegistryValue(int ifIndex, const wchar_t* name) {
  GUID guid{};
  if (!interfaceGuid(ifIndex, guid)) return {};
  std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\" + guidText(guid);
  wchar_t value[1024] = {};
  DWORD size = sizeof value - sizeof(wchar_t);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
    return {};
  return windows::narrow(value);
}

bool runNetsh(const std::vector<std::vector<std::string>>& commands, std::string& error) {
  for (const auto& argv : commands) {
    std::string output;
    int status = 0;
    if (!runProcess(argv, &output, status, 20000) || status != 0) {
      error = "netsh failed (" + argv[3] + " " + argv[4] + "): " + output;
      return false;
    }
  }
  return true;
}

bool setServers(int ifIndex, const std::vector<uint32_t>& servers, bool useDhcp, std::string& error) {
  if (SetInterfaceDnsSettingsFn set = setInterfaceDnsSettings()) {
    GUID guid{};
    if (!interfaceGuid(ifIndex, guid)) {
      error = "no interface " + std::to_string(ifIndex);
      return false;
    }
    // An empty list hands the interface back to the servers DHCP gives it.
    std::wstring value = useDhcp ? std::wstring() : windows::widen(windows::dnsNameServerValue(servers));
    DnsInterfaceSettings settings{};
    settings.Version = kDnsSettingsVersion1;
    settings.Flags = kDnsSettingNameServer;
    settings.NameServer = value.data();
    DWORD result = set(guid, &settings);
    if (result == NO_ERROR) return true;
    error = windows::errorText(result);
    return false;
  }
  return runNetsh(windows::netshDnsCommands(ifIndex, servers, useDhcp), error);
}

}  // namespace

std::string systemResolvConfPath() { return {}; }

bool writeResolverFile(const std::string& path, const std::string& content, std::string& error) {
  return writeFileAtomic(path, content, 0644, error);
}

bool resolvedRunning() { return true; }

// The IPv4 servers the interface uses now, static or from DHCP.
bool resolvedLinkDns(int ifIndex, std::vector<uint32_t>& servers, std::string& error) {
  servers.clear();
  ULONG size = 16 * 1024;
  std::string buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.assign(size, '\0');
    result =
        GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_FRIENDLY_NAME,
                             nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (result != NO_ERROR) {
    error = windows::errorText(result);
    return false;
  }
  for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); a; a = a->Next) {
    if (static_cast<int>(a->IfIndex) != ifIndex) continue;
    for (auto* d = a->FirstDnsServerAddress; d; d = d->Next) {
      const sockaddr* sa = d->Address.lpSockaddr;
      if (!sa || sa->sa_family != AF_INET) continue;
      servers.push_back(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr);
    }
    return true;
  }
  error = "no interface " + std::to_string(ifIndex);
  return false;
}

// Setting what an earlier read returned puts the interface back as it was:
// the servers DHCP handed out become DHCP's again rather than a static copy.
bool resolvedSetLinkDns(int ifIndex, const std::vector<uint32_t>& servers, std::string& error) {
  std::vector<uint32_t> dhcp = windows::parseDnsServerList(interfaceRegistryValue(ifIndex, L"DhcpNameServer"));
  return setServers(ifIndex, servers, windows::dnsRestoresToDhcp(servers, dhcp), error);
}

// Windows asks the interface with the lowest metric first: the tunnel's
// interface gets the lowest one for both families.
bool resolvedRouteAllQueries(int ifIndex, std::string& error) {
  if (!windows::setInterfaceMetric(ifIndex, false, 1, false, error)) return false;
  std::string ignored;
  windows::setInterfaceMetric(ifIndex, true, 1, false, ignored);  // IPv6 may be off on the interface
  return true;
}

bool resolvedRevertLink(int ifIndex, std::string& error) {
  bool ok = setServers(ifIndex, {}, true, error);
  std::string ignored;
  ok = windows::setInterfaceMetric(ifIndex, false, 0, true, ok ? error : ignored) && ok;
  windows::setInterfaceMetric(ifIndex, true, 0, true, ignored);
  return ok;
}

bool resolvedFlushCaches(std::string& error) {
  using FlushFn = BOOL(WINAPI*)();
  HMODULE dnsapi = LoadLibraryExW(L"dnsapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  auto flush = dnsapi
                   ? reinterpret_cast<FlushFn>(reinterpret_cast<void*>(GetProcAddress(dnsapi, "DnsFlushResolverCache")))
                   : nullptr;
  bool ok = flush && flush();
  if (dnsapi) FreeLibrary(dnsapi);
  if (!ok) error = "the DNS client cache could not be flushed";
  return ok;
}

}  // namespace vantor::platform
