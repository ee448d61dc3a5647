// Text forms that are the same on every platform: IPv6 networks and the
// descriptions of routes, and the nameserver lines of a resolv.conf text.
#include <sstream>
#include <string>
#include <vector>

#include "platform/dns_config.h"
#include "platform/net.h"
#include "platform/routes.h"

namespace vantor::platform {

namespace {
const char* protocolName(uint8_t protocol) { return protocol == kVantorRouteProtocol ? "vantor" : "other"; }
}  // namespace

bool parseIpv6Network(std::string_view text, uint8_t address[16], int& prefixLength) {
  std::size_t slash = text.find('/');
  std::string_view host = text.substr(0, slash);
  int length = 128;
  if (slash != std::string_view::npos) {
    std::string_view digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3) return false;
    length = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      length = length * 10 + (c - '0');
    }
    if (length > 128) return false;
  }
  if (!parseIpv6(host, address)) return false;
  for (int bit = length; bit < 128; ++bit)
    if (address[bit / 8] & (0x80 >> (bit % 8))) return false;
  prefixLength = length;
  return true;
}

std::string describeIpv6Route(const Ipv6RouteRow& row) {
  std::string text = formatIpv6(row.destination) + "/" + std::to_string(row.prefixLength);
  if (row.hasGateway) text += " via " + formatIpv6(row.gateway);
  std::string dev = interfaceName(row.ifIndex);
  if (!dev.empty()) text += " dev " + dev;
  text += " metric " + std::to_string(row.metric);
  return text;
}

std::string describeRoute(const RouteRow& row) {
  std::string text = formatIpv4(row.destination) + "/" + std::to_string(maskPrefixLength(row.mask));
  if (!row.direct && row.nextHop != 0) text += " via " + formatIpv4(row.nextHop);
  std::string dev = interfaceName(row.ifIndex);
  if (!dev.empty())
    text += " dev " + dev;
  else if (row.ifIndex > 0)
    text += " dev #" + std::to_string(row.ifIndex);
  text += " metric " + std::to_string(row.metric);
  text += " proto ";
  text += protocolName(row.protocol);
  return text;
}

std::vector<uint32_t> resolvConfNameservers(const std::string& text) {
  std::vector<uint32_t> servers;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string keyword, value;
    fields >> keyword >> value;
    uint32_t address = 0;
    if (keyword == "nameserver" && parseIpv4(value, address)) servers.push_back(address);
  }
  return servers;
}

std::string resolvConfWithNameservers(const std::string& text, const std::vector<uint32_t>& servers) {
  std::string ours;
  for (uint32_t s : servers) ours += "nameserver " + formatIpv4(s) + "\n";
  std::string out;
  bool placed = false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    std::size_t next = end == std::string::npos ? text.size() : end + 1;
    std::string line = text.substr(pos, next - pos);
    std::istringstream fields(line);
    std::string keyword;
    fields >> keyword;
    if (keyword == "nameserver") {
      if (!placed) out += ours;
      placed = true;
    } else {
      out += line;
      if (end == std::string::npos) out += "\n";
    }
    pos = next;
  }
  if (!placed) out += ours;
  return out;
}

}  // namespace vantor::platform
