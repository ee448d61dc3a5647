#include "platform/net.h"
#include "platform/windows/dns_args.h"

namespace vantor::platform::windows {

std::string dnsNameServerValue(const std::vector<uint32_t>& servers) {
  std::string text;
  for (uint32_t s : servers) {
    if (!text.empty()) text += ',';
    text += formatIpv4(s);
  }
  return text;
}

std::vector<uint32_t> parseDnsServerList(std::string_view text) {
  std::vector<uint32_t> out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find_first_of(", ;\t", pos);
    if (end == std::string_view::npos) end = text.size();
    uint32_t address = 0;
    if (end > pos && parseIpv4(text.substr(pos, end - pos), address)) out.push_back(address);
    pos = end + 1;
  }
  return out;
}

bool dnsRestoresToDhcp(const std::vector<uint32_t>& wanted, const std::vector<uint32_t>& dhcpServers) {
  return wanted.empty() || wanted == dhcpServers;
}

std::vector<std::vector<std::string>> netshDnsCommands(int ifIndex, const std::vector<uint32_t>& servers,
                                                       bool useDhcp) {
  const std::string name = "name=" + std::to_string(ifIndex);
  std::vector<std::vector<std::string>> commands;
  if (useDhcp) {
    commands.push_back({"netsh", "interface", "ipv4", "set", "dnsservers", name, "source=dhcp"});
    return commands;
  }
  // "register=none": the tunnel's name must not be registered in the DNS
  // through this interface; "validate=no": no test queries while the
  // tunnel is still coming up.
  commands.push_back({"netsh", "interface", "ipv4", "set", "dnsservers", name, "source=static",
                      "address=" + (servers.empty() ? std::string("none") : formatIpv4(servers[0])), "register=none",
                      "validate=no"});
  for (std::size_t i = 1; i < servers.size(); ++i)
    commands.push_back({"netsh", "interface", "ipv4", "add", "dnsservers", name, "address=" + formatIpv4(servers[i]),
                        "index=" + std::to_string(i + 1), "validate=no"});
  return commands;
}

}  // namespace vantor::platform::windows
