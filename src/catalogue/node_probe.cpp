#include "catalogue/node_probe.h"

#include <cstdio>

#include "catalogue/country.h"
#include "catalogue/geo_lookup.h"
#include "catalogue/settings.h"
#include "platform/icmp.h"
#include "platform/net.h"
#include "platform/resolve.h"

namespace vantor {
namespace {

constexpr int kEchoTimeoutMs = 5000;
constexpr int kEchoTtl = 64;
constexpr std::size_t kEchoPayload = 32;

}  // namespace

std::string resolveIpv4(const std::string& host) {
  if (host.empty()) return {};
  if (isDottedIpv4(host)) return host;
  uint8_t address[16] = {};
  if (!platform::resolveAddress(host, platform::AddressFamily::Ipv4, address)) return {};
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
  return text;
}

std::string resolveNodeAddress(const std::string& host) {
  // The same choice as connecting makes: IPv4 when the name has it.
  platform::IpEndpoint address;
  if (host.empty() || !platform::resolveAddress(host, address)) return {};
  return platform::formatIpAddress(address);
}

ProbeOutput probeNode(const ProbeInput& in) {
  ProbeOutput out;
  if (in.latency == 0) {
    std::string target = resolveNodeAddress(in.resolvedIp.empty() ? in.server : in.resolvedIp);
    platform::EchoResult echo;
    if (!target.empty() &&
        platform::measureLatency(target, in.port, std::string(kEchoPayload, 'E'), kEchoTtl, kEchoTimeoutMs, echo)) {
      out.latency = echo.roundTripMs > 0 ? echo.roundTripMs : 1;
      if (in.resolvedIp.empty()) out.resolvedIp = echo.from;
    }
  }
  std::string address = !in.resolvedIp.empty() ? in.resolvedIp : out.resolvedIp;
  if (address.empty()) address = out.resolvedIp = resolveNodeAddress(in.server);
  if (in.countryIndex != -1 || address.empty()) return out;

  GeoAnswer answer;
  // The local country data covers IPv4 only; an IPv6 node asks the services.
  if ((isDottedIpv4(address) && offlineCountry(address, answer)) ||
      onlineCountry(geoServiceBases(in.geoServices), address, answer)) {
    out.countryFound = true;
    out.countryIndex = countryIndexForCode(answer.code);
    out.location = answer.location;
    out.region = answer.region;
  }
  return out;
}

}  // namespace vantor
