#include <cstring>

#include "platform/windows/route_rows.h"

namespace vantor::platform::windows {
namespace {

bool allZero(const uint8_t* bytes, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (bytes[i]) return false;
  return true;
}

bool hostBitsClear(const uint8_t* address, int prefixLength, int bits) {
  for (int bit = prefixLength; bit < bits; ++bit)
    if (address[bit / 8] & (0x80 >> (bit % 8))) return false;
  return true;
}

}  // namespace

uint32_t forwardRowFromRoute(const RouteRow& row, ForwardRowFields& out) {
  out = ForwardRowFields{};
  int prefix = maskPrefixLength(row.mask);
  if (prefix < 0) return kErrorInvalidParameter;
  out.family = kFamilyIpv4;
  std::memcpy(out.destination, &row.destination, 4);
  if (!hostBitsClear(out.destination, prefix, 32)) return kErrorInvalidParameter;
  out.prefixLength = static_cast<uint8_t>(prefix);
  // An on-link route has no next hop: IP Helper spells that 0.0.0.0.
  if (!row.direct) std::memcpy(out.nextHop, &row.nextHop, 4);
  if (row.ifIndex < 0 || (row.ifIndex == 0 && allZero(out.nextHop, 4))) return kErrorInvalidParameter;
  out.ifIndex = static_cast<uint32_t>(row.ifIndex);
  out.metric = row.metric;
  out.protocol = row.protocol;
  return 0;
}

uint32_t forwardRowFromRoute(const Ipv6RouteRow& row, ForwardRowFields& out) {
  out = ForwardRowFields{};
  if (row.prefixLength < 0 || row.prefixLength > 128) return kErrorInvalidParameter;
  if (!hostBitsClear(row.destination, row.prefixLength, 128)) return kErrorInvalidParameter;
  out.family = kFamilyIpv6;
  std::memcpy(out.destination, row.destination, 16);
  out.prefixLength = static_cast<uint8_t>(row.prefixLength);
  if (row.hasGateway) std::memcpy(out.nextHop, row.gateway, 16);
  if (row.ifIndex < 0 || (row.ifIndex == 0 && allZero(out.nextHop, 16))) return kErrorInvalidParameter;
  out.ifIndex = static_cast<uint32_t>(row.ifIndex);
  out.metric = row.metric;
  out.protocol = row.protocol;
  return 0;
}

bool routeFromForwardRow(const ForwardRowFields& fields, RouteRow& out) {
  if (fields.family != kFamilyIpv4 || fields.prefixLength > 32) return false;
  out = RouteRow{};
  std::memcpy(&out.destination, fields.destination, 4);
  out.mask = prefixMask(fields.prefixLength);
  std::memcpy(&out.nextHop, fields.nextHop, 4);
  out.direct = out.nextHop == 0;
  out.ifIndex = static_cast<int>(fields.ifIndex);
  out.metric = fields.metric;
  out.protocol = static_cast<uint8_t>(fields.protocol <= 0xFF ? fields.protocol : 0);
  return true;
}

bool ipv6RouteFromForwardRow(const ForwardRowFields& fields, Ipv6RouteRow& out) {
  if (fields.family != kFamilyIpv6 || fields.prefixLength > 128) return false;
  out = Ipv6RouteRow{};
  std::memcpy(out.destination, fields.destination, 16);
  out.prefixLength = fields.prefixLength;
  out.hasGateway = !allZero(fields.nextHop, 16);
  if (out.hasGateway) std::memcpy(out.gateway, fields.nextHop, 16);
  out.ifIndex = static_cast<int>(fields.ifIndex);
  out.metric = fields.metric;
  out.protocol = static_cast<uint8_t>(fields.protocol <= 0xFF ? fields.protocol : 0);
  return true;
}

}  // namespace vantor::platform::windows
