#include "app/pac.h"

#include <algorithm>
#include <sstream>

#include "catalogue/text_encoding.h"
#include "platform/files.h"
#include "platform/net.h"

namespace vantor::app {
namespace {

const Ipv4Network kPrivateNetworks[] = {
    {0x00000000, 8},  {0x0A000000, 8},  {0x64400000, 10}, {0x7F000000, 8}, {0xA9FE0000, 16},
    {0xAC100000, 12}, {0xC0A80000, 16}, {0xE0000000, 4},  {0xF0000000, 4},
};

// Sorted, merged [first, last] ranges as a JavaScript array of numbers.
std::string rangeArray(std::vector<Ipv4Network> networks) {
  std::vector<std::pair<uint32_t, uint32_t>> ranges;
  for (const auto& n : networks) {
    uint8_t prefix = std::min<uint8_t>(n.prefix, 32);
    uint32_t mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
    uint32_t first = n.address & mask;
    ranges.emplace_back(first, first | ~mask);
  }
  std::sort(ranges.begin(), ranges.end());
  std::vector<std::pair<uint32_t, uint32_t>> merged;
  for (const auto& r : ranges) {
    if (!merged.empty() && (merged.back().second == 0xFFFFFFFFu || r.first <= merged.back().second + 1)) {
      merged.back().second = std::max(merged.back().second, r.second);
    } else {
      merged.push_back(r);
    }
  }
  std::ostringstream out;
  out << "[";
  for (std::size_t i = 0; i < merged.size(); ++i) {
    if (i) out << (i % 8 == 0 ? ",\n  " : ",");
    out << merged[i].first << "," << merged[i].second;
  }
  out << "]";
  return out.str();
}

bool isDomain(const std::string& text) {
  if (text.empty() || text.size() > 253 || text.front() == '.' || text.back() == '.') return false;
  for (char c : text)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.'))
      return false;
  return text.find("..") == std::string::npos;
}

bool parseNetwork(const std::string& text, Ipv4Network& network) {
  auto slash = text.find('/');
  std::string address = text.substr(0, slash);
  uint32_t value = 0;
  if (!platform::parseIpv4(address, value)) return false;
  int prefix = 32;
  if (slash != std::string::npos) {
    std::string digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 2 || digits.find_first_not_of("0123456789") != std::string::npos)
      return false;
    prefix = std::stoi(digits);
    if (prefix > 32) return false;
  }
  network.address = (value >> 24 & 0xFF) | (value >> 8 & 0xFF00) | (value << 8 & 0xFF0000) | (value << 24);
  network.prefix = static_cast<uint8_t>(prefix);
  return true;
}

}  // namespace

std::string buildPacText(const std::vector<Ipv4Network>& directNetworks) {
  std::vector<Ipv4Network> privateNets(std::begin(kPrivateNetworks), std::end(kPrivateNetworks));
  std::ostringstream js;
  js << "// Vantor: the browser mode that skips Chinese sites.\n"
        "var PROXY = \"PROXY __PROXY__; SOCKS5 __SOCKS__\";\n"
        "var PRIVATE_RANGES = "
     << rangeArray(privateNets)
     << ";\n"
        "var DIRECT_RANGES = "
     << rangeArray(directNetworks)
     << ";\n"
        "function vantorInRanges(ranges, n) {\n"
        "  var lo = 0, hi = ranges.length / 2 - 1;\n"
        "  while (lo <= hi) {\n"
        "    var mid = (lo + hi) >> 1;\n"
        "    if (n < ranges[2 * mid]) hi = mid - 1;\n"
        "    else if (n > ranges[2 * mid + 1]) lo = mid + 1;\n"
        "    else return true;\n"
        "  }\n"
        "  return false;\n"
        "}\n"
        "function vantorAddressNumber(ip) {\n"
        "  var p = ip.split(\".\");\n"
        "  return ((+p[0]) * 16777216) + ((+p[1]) * 65536) + ((+p[2]) * 256) + (+p[3]);\n"
        "}\n"
        "function vantorUserRule(host, n) {\n"
        "  if (typeof USER_RULES === \"undefined\") return null;\n"
        "  for (var i = 0; i < USER_RULES.length; i++) {\n"
        "    var r = USER_RULES[i];\n"
        "    if (r.domain && (host === r.domain || host.slice(-(r.domain.length + 1)) === \".\" + r.domain))\n"
        "      return r.direct ? \"DIRECT\" : PROXY;\n"
        "    if (r.first !== undefined && n !== null && n >= r.first && n <= r.last)\n"
        "      return r.direct ? \"DIRECT\" : PROXY;\n"
        "  }\n"
        "  return null;\n"
        "}\n"
        "function FindProxyForURL(url, host) {\n"
        "  host = host.toLowerCase();\n"
        "  if (isPlainHostName(host) || host === \"localhost\") return \"DIRECT\";\n"
        "  var literal = /^\\d+\\.\\d+\\.\\d+\\.\\d+$/.test(host);\n"
        "  var byName = vantorUserRule(host, literal ? vantorAddressNumber(host) : null);\n"
        "  if (byName) return byName;\n"
        "  var ip = literal ? host : dnsResolve(host);\n"
        "  if (!ip) return PROXY;\n"
        "  var n = vantorAddressNumber(ip);\n"
        "  var byAddress = literal ? null : vantorUserRule(\"\", n);\n"
        "  if (byAddress) return byAddress;\n"
        "  if (vantorInRanges(PRIVATE_RANGES, n) || vantorInRanges(DIRECT_RANGES, n)) return \"DIRECT\";\n"
        "  return PROXY;\n"
        "}\n";
  return js.str();
}

std::string userRulesScript(const std::string& userPacText) {
  std::ostringstream js;
  js << "var USER_RULES = [";
  bool first = true;
  std::istringstream lines(userPacText);
  std::string line;
  while (std::getline(lines, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    std::size_t lead = line.find_first_not_of(" \t");
    if (lead == std::string::npos) continue;
    line = line.substr(lead);
    if (line[0] == '#' || line[0] == '!') continue;
    bool direct = line.rfind("@@", 0) == 0;
    if (direct) line = line.substr(2);
    Ipv4Network network;
    std::string entry;
    if (parseNetwork(line, network)) {
      uint32_t mask = network.prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - network.prefix);
      entry = "{first:" + std::to_string(network.address & mask) +
              ",last:" + std::to_string((network.address & mask) | ~mask);
    } else if (isDomain(line)) {
      std::transform(line.begin(), line.end(), line.begin(),
                     [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
      entry = "{domain:\"" + line + "\"";
    } else {
      continue;
    }
    js << (first ? "\n  " : ",\n  ") << entry << ",direct:" << (direct ? "true" : "false") << "}";
    first = false;
  }
  js << "];\n";
  return js.str();
}

std::string loadPacScript(const std::string& pacPath, const std::string& userPacPath,
                          const std::vector<Ipv4Network>& directNetworks, bool writeWhenMissing) {
  std::string pac, error;
  std::vector<std::string> problems;
  if (!platform::fileExists(pacPath)) {
    pac = buildPacText(directNetworks);
    if (writeWhenMissing) platform::writeFileAtomic(pacPath, encodeTextFile(pac, plainTextFileFormat()), 0644, error);
  } else if (!platform::readFile(pacPath, pac, error, 16u << 20)) {
    return "";
  } else {
    pac = decodeTextFile(pac, problems);
  }
  std::string user;
  if (platform::fileExists(userPacPath) && platform::readFile(userPacPath, user, error, 1u << 20))
    user = decodeTextFile(user, problems);
  return userRulesScript(user) + pac;
}

}  // namespace vantor::app
