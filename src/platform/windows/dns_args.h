// The pure half of an interface's DNS settings on Windows: the value IP
// Helper takes, the netsh commands used where it is missing, and the choice
// between a static list and the DHCP servers. Free of Windows headers, so it
// is checked on every system.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantor::platform::windows {

// "1.1.1.1,8.8.8.8": the NameServer value of SetInterfaceDnsSettings and
// of the registry. Empty for no servers.
std::string dnsNameServerValue(const std::vector<uint32_t>& servers);
// The addresses of such a value; commas, blanks and semicolons separate
// them (the registry uses each), anything that is not an IPv4 address is
// skipped.
std::vector<uint32_t> parseDnsServerList(std::string_view text);

// Whether restoring `wanted` means handing the interface back to DHCP: an
// empty list, or exactly the servers DHCP gave it (`dhcpServers`, the order
// included). Otherwise the list is set as static servers.
bool dnsRestoresToDhcp(const std::vector<uint32_t>& wanted, const std::vector<uint32_t>& dhcpServers);

// The netsh commands (argument vectors, never a shell line) that make
// interface `ifIndex` use `servers` in order, or its DHCP servers when
// `useDhcp` is set. The first command replaces the list, the others add to
// it at their positions.
std::vector<std::vector<std::string>> netshDnsCommands(int ifIndex, const std::vector<uint32_t>& servers, bool useDhcp);

}  // namespace vantor::platform::windows
