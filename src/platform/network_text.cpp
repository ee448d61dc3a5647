// Text forms that are the same on every platform: IPv6 networks and the
// descriptions of routes, the nameserver lines of a resolv.conf text, and
// the endpoints of either family with the calls that pick the family.
#include <cstring>
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

IpEndpoint IpEndpoint::fromIpv4(const Ipv4Endpoint& e) {
  IpEndpoint out;
  std::memcpy(out.address, &e.address, 4);
  out.port = e.port;
  return out;
}

Ipv4Endpoint IpEndpoint::ipv4() const {
  Ipv4Endpoint out;
  std::memcpy(&out.address, address, 4);
  out.port = port;
  return out;
}

Ipv6Endpoint IpEndpoint::toIpv6() const {
  Ipv6Endpoint out;
  std::memcpy(out.address, address, 16);
  out.port = port;
  return out;
}

bool IpEndpoint::unspecified() const {
  static const uint8_t kZero[16] = {};
  return std::memcmp(address, kZero, ipv6 ? 16 : 4) == 0;
}

SocketHandle createSocketFor(const IpEndpoint& endpoint, SocketType type) {
  return endpoint.ipv6 ? createSocketIpv6(type) : createSocket(type);
}

ConnectStatus connectEndpoint(SocketHandle s, const IpEndpoint& endpoint) {
  return endpoint.ipv6 ? connectSocketIpv6(s, endpoint.toIpv6()) : connectSocket(s, endpoint.ipv4());
}

bool parseIpAddress(std::string_view text, IpEndpoint& out) {
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  uint32_t v4 = 0;
  if (parseIpv4(text, v4)) {
    std::memset(out.address, 0, 16);
    std::memcpy(out.address, &v4, 4);
    out.ipv6 = false;
    return true;
  }
  uint8_t v6[16];
  if (!parseIpv6(text, v6)) return false;
  std::memcpy(out.address, v6, 16);
  out.ipv6 = true;
  return true;
}

bool resolveAddress(const std::string& name, IpEndpoint& out) {
  if (parseIpAddress(name, out)) return true;
  // IPv4 first, as before IPv6 nodes were reachable: a node with both keeps
  // the address it always had; one without IPv4 is reached over IPv6.
  uint32_t v4 = 0;
  if (resolveIpv4(name, v4)) {
    std::memset(out.address, 0, 16);
    std::memcpy(out.address, &v4, 4);
    out.ipv6 = false;
    return true;
  }
  uint8_t v6[16];
  if (!resolveIpv6(name, v6)) return false;
  std::memcpy(out.address, v6, 16);
  out.ipv6 = true;
  return true;
}

std::string formatIpAddress(const IpEndpoint& endpoint) {
  if (endpoint.ipv6) return formatIpv6(endpoint.address);
  return formatIpv4(endpoint.ipv4().address);
}

std::string formatIpEndpoint(const IpEndpoint& endpoint) {
  std::string host = formatIpAddress(endpoint);
  if (endpoint.ipv6) host = "[" + host + "]";
  return host + ":" + std::to_string(endpoint.port);
}

}  // namespace vantor::platform
