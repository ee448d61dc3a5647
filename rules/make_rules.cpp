// Generates the rule files shipped with the program from Debian's offline
// country database (geoip-database), at build time:
//
//   make_rules GeoIP.dat OUTPUT_DIR
//
// writes three plain rule files: everything through the tunnel but China's
// networks and the private/LAN ranges, everything but the LAN ranges, and
// only China's networks through the tunnel. Adjacent networks are merged into
// the fewest prefixes.
#include <GeoIP.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using Range = std::pair<uint64_t, uint64_t>;  // first, last (inclusive)

// Private, link-local, shared and multicast ranges that never belong in the
// tunnel. 127/8 is left out: loopback is never routed.
const char* kLanRanges[] = {"10.0.0.0/8",    "100.64.0.0/10",  "169.254.0.0/16",
                            "172.16.0.0/12", "192.168.0.0/16", "224.0.0.0/4"};

Range parseCidr(const std::string& text) {
  unsigned a, b, c, d, prefix;
  std::sscanf(text.c_str(), "%u.%u.%u.%u/%u", &a, &b, &c, &d, &prefix);
  uint64_t first = (uint64_t{a} << 24) | (b << 16) | (c << 8) | d;
  return {first, first + (uint64_t{1} << (32 - prefix)) - 1};
}

std::vector<Range> merge(std::vector<Range> ranges) {
  std::sort(ranges.begin(), ranges.end());
  std::vector<Range> out;
  for (const Range& r : ranges) {
    if (!out.empty() && r.first <= out.back().second + 1)
      out.back().second = std::max(out.back().second, r.second);
    else
      out.push_back(r);
  }
  return out;
}

std::string dotted(uint64_t v) {
  return std::to_string(v >> 24 & 255) + "." + std::to_string(v >> 16 & 255) + "." + std::to_string(v >> 8 & 255) +
         "." + std::to_string(v & 255);
}

// The fewest prefixes that cover exactly [first, last].
void appendCidrs(const Range& r, std::vector<std::string>& lines) {
  uint64_t start = r.first;
  while (start <= r.second) {
    int size = 32;
    while (size > 0) {
      uint64_t block = uint64_t{1} << (33 - size);
      if (start % block != 0 || start + block - 1 > r.second) break;
      --size;
    }
    lines.push_back(size == 32 ? dotted(start) : dotted(start) + "/" + std::to_string(size));
    start += uint64_t{1} << (32 - size);
  }
}

bool writeRules(const std::string& path, const std::string& header, const std::vector<Range>& ranges) {
  std::vector<std::string> lines;
  for (const Range& r : merge(ranges)) appendCidrs(r, lines);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << header << "\n";
  for (const auto& l : lines) out << l << "\n";
  out.close();
  std::printf("%s: %zu networks\n", path.c_str(), lines.size());
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_rules GeoIP.dat OUTPUT_DIR\n");
    return 2;
  }
  GeoIP* gi = GeoIP_open(argv[1], GEOIP_STANDARD);
  if (!gi) {
    std::fprintf(stderr, "make_rules: cannot open %s\n", argv[1]);
    return 1;
  }
  std::vector<Range> china;
  for (uint64_t ip = 0; ip <= 0xffffffffull;) {
    int id = GeoIP_id_by_ipnum(gi, static_cast<unsigned long>(ip));
    int netmask = GeoIP_last_netmask(gi);
    if (netmask < 1 || netmask > 32) netmask = 32;
    uint64_t size = uint64_t{1} << (32 - netmask);
    uint64_t first = ip & ~(size - 1);
    const char* code = id > 0 ? GeoIP_code_by_id(id) : nullptr;
    if (code && std::string(code) == "CN") china.emplace_back(first, first + size - 1);
    ip = first + size;
  }
  GeoIP_delete(gi);
  if (china.empty()) {
    std::fprintf(stderr, "make_rules: no networks for China in %s\n", argv[1]);
    return 1;
  }
  std::vector<Range> lan;
  for (const char* r : kLanRanges) lan.push_back(parseCidr(r));
  std::vector<Range> chinaAndLan = china;
  chinaAndLan.insert(chinaAndLan.end(), lan.begin(), lan.end());
  const std::string dir = argv[2];
  bool ok = writeRules(dir + "/skip_china.rules", "#Skip China and LAN,绕过中国大陆和局域网,1,1,1,x", chinaAndLan) &&
            writeRules(dir + "/skip_lan.rules", "#Skip LAN only,仅绕过局域网,1,1,1,x", lan) &&
            writeRules(dir + "/china_only.rules", "#China only,仅代理中国大陆,0,0,1,x", china);
  return ok ? 0 : 1;
}
