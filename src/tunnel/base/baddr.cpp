#include "tunnel/base/baddr.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/resolve.h"

namespace vantor::tunnel {
namespace {

uint16_t toNet16(uint16_t v) {
  uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  uint16_t out;
  std::memcpy(&out, b, 2);
  return out;
}

uint16_t fromNet16(uint16_t v) {
  uint8_t b[2];
  std::memcpy(b, &v, 2);
  return static_cast<uint16_t>(b[0] << 8 | b[1]);
}

bool resolve(const std::string& host, bool ipv6, uint32_t& v4, uint8_t v6[16]) {
  uint8_t bytes[16] = {};
  if (!platform::resolveAddress(host, ipv6 ? platform::AddressFamily::Ipv6 : platform::AddressFamily::Ipv4, bytes))
    return false;
  if (ipv6)
    std::memcpy(v6, bytes, 16);
  else
    std::memcpy(&v4, bytes, 4);
  return true;
}

}  // namespace

BAddr BAddr_MakeIPv4(uint32_t addr, uint16_t port) {
  BAddr a;
  a.type = BADDR_TYPE_IPV4;
  a.ipv4 = addr;
  a.port = port;
  return a;
}

BAddr BAddr_MakeIPv6(const uint8_t addr[16], uint16_t port) {
  BAddr a;
  a.type = BADDR_TYPE_IPV6;
  std::memcpy(a.ipv6, addr, 16);
  a.port = port;
  return a;
}

bool BAddr_Equal(const BAddr& a, const BAddr& b) {
  if (a.type != b.type || a.port != b.port) return false;
  if (a.type == BADDR_TYPE_IPV4) return a.ipv4 == b.ipv4;
  if (a.type == BADDR_TYPE_IPV6) return std::memcmp(a.ipv6, b.ipv6, 16) == 0;
  return true;
}

void BIPAddr_Print(const BIPAddr* addr, char* out) {
  if (addr->type == BADDR_TYPE_IPV4) {
    const auto* b = reinterpret_cast<const uint8_t*>(&addr->ipv4);
    std::snprintf(out, BADDR_MAX_PRINT_LEN, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  } else if (addr->type == BADDR_TYPE_IPV6) {
    const uint8_t* b = addr->ipv6;
    unsigned g[8];
    for (int i = 0; i < 8; ++i) g[i] = static_cast<unsigned>(b[2 * i] << 8 | b[2 * i + 1]);
    std::snprintf(out, BADDR_MAX_PRINT_LEN, "%x:%x:%x:%x:%x:%x:%x:%x", g[0], g[1], g[2], g[3], g[4], g[5], g[6], g[7]);
  } else {
    std::snprintf(out, BADDR_MAX_PRINT_LEN, "(none)");
  }
}

void BAddr_Print(const BAddr* addr, char* out) {
  if (addr->type == BADDR_TYPE_NONE) {
    std::snprintf(out, BADDR_MAX_PRINT_LEN, "(none)");
    return;
  }
  BIPAddr ip;
  ip.type = addr->type;
  ip.ipv4 = addr->ipv4;
  std::memcpy(ip.ipv6, addr->ipv6, 16);
  BIPAddr_Print(&ip, out);
  std::size_t len = std::strlen(out);
  std::snprintf(out + len, BADDR_MAX_PRINT_LEN - len, ":%u", static_cast<unsigned>(fromNet16(addr->port)));
}

bool BAddr_Parse2(BAddr* out, const char* text) {
  std::size_t len = std::strlen(text);
  if (len < 1 || len > 1000) return false;
  std::string s(text, len);
  bool ipv6 = false;
  std::string host;
  std::string portText;
  if (s[0] == '[') {
    std::size_t close = s.find(']');
    if (close == std::string::npos || close + 1 >= s.size() || s[close + 1] != ':') return false;
    host = s.substr(1, close - 1);
    portText = s.substr(close + 2);
    ipv6 = true;
  } else {
    std::size_t colon = s.find(':');
    if (colon == std::string::npos) return false;
    host = s.substr(0, colon);
    portText = s.substr(colon + 1);
  }
  if (host.empty() || host.size() >= 128) return false;
  if (portText.empty() || portText.size() > 5) return false;
  unsigned port = 0;
  for (char c : portText) {
    if (c < '0' || c > '9') return false;
    port = port * 10 + static_cast<unsigned>(c - '0');
  }
  if (port > 65535) return false;
  BAddr result;
  result.type = ipv6 ? BADDR_TYPE_IPV6 : BADDR_TYPE_IPV4;
  if (!resolve(host, ipv6, result.ipv4, result.ipv6)) return false;
  result.port = toNet16(static_cast<uint16_t>(port));
  *out = result;
  return true;
}

bool BIPAddr_Resolve(BIPAddr* out, const char* text) {
  std::size_t len = std::strlen(text);
  if (len == 0 || len >= 129) return false;
  std::string s(text, len);
  bool ipv6 = false;
  if (s[0] == '[') {
    if (s.size() < 3 || s.back() != ']') return false;
    s = s.substr(1, s.size() - 2);
    ipv6 = true;
  }
  BIPAddr result;
  result.type = ipv6 ? BADDR_TYPE_IPV6 : BADDR_TYPE_IPV4;
  if (!resolve(s, ipv6, result.ipv4, result.ipv6)) return false;
  *out = result;
  return true;
}

}  // namespace vantor::tunnel
