#include "netconf/proxy_modes.h"

#include <algorithm>
#include <filesystem>

#include "catalogue/file_builder.h"
#include "catalogue/share_link.h"
#include "catalogue/text_encoding.h"
#include "platform/net.h"
#include "platform/routes.h"

namespace vantor {
namespace {

constexpr std::size_t kMaxLineUsed = 99;

bool equalIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
           return lower(x) == lower(y);
         });
}

// The decimal number at the start of `text` (0 when there is none), capped
// so that a long run of digits cannot overflow.
int leadingNumber(const std::string& text) {
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = std::min(value * 10 + (c - '0'), 1000);
  }
  return value;
}

bool readWith(CFileBuilder& builder, std::string& text) {
  if (!builder.open(true)) return false;
  const char* content = builder.read();
  if (!content) return false;
  // Rule files are edited by hand: a Windows editor may have saved one as
  // UTF-16 or in the ANSI code page.
  std::vector<std::string> problems;
  text = decodeTextFile(std::string_view(content, builder.contentLength()), problems);
  return true;
}

}  // namespace

std::optional<ProxyMode> parseRuleHeader(const std::string& line) {
  if (line.size() < 2 || line[0] != '#') return std::nullopt;
  std::vector<std::string> fields = splitText(std::string_view(line).substr(1), ",", true);
  if (fields.size() != 6) return std::nullopt;
  ProxyMode mode;
  mode.name = fields[0];
  mode.localName = fields[1];
  if (mode.name.empty() || mode.localName.empty()) return std::nullopt;
  mode.routeAll = fields[2] == "1";
  mode.listedDirect = fields[3] == "1";
  mode.kind = fields[4] == "2" ? kModeRuleFile2 : kModeRuleFile;
  return mode;
}

NetworkEntry parseNetworkLine(const std::string& fullLine) {
  std::string line = fullLine.substr(0, kMaxLineUsed);
  NetworkEntry entry;
  auto slash = line.find('/');
  if (slash != std::string::npos) {
    // Prefixes above 32 would shift the mask out of range: a host route.
    entry.prefix = std::min(leadingNumber(line.substr(slash + 1)), 32);
    line.resize(slash);
  }
  entry.text = line;
  uint32_t address = 0;
  if (platform::parseIpv4(line, address)) {
    const auto* b = reinterpret_cast<const uint8_t*>(&address);
    entry.address =
        static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 | static_cast<uint32_t>(b[2]) << 8 | b[3];
  } else {
    entry.address = 0xffffffffu;
  }
  entry.mask = platform::prefixMask(entry.prefix);
  entry.maskText = platform::formatIpv4(entry.mask);
  return entry;
}

namespace {

// Calls `each` with every non-empty line after the header, "\r" removed and
// cut to the characters a line may use.
template <typename F>
void forEachNetworkLine(const std::string& text, F each) {
  auto newline = text.find('\n');
  std::size_t pos = newline == std::string::npos ? text.size() : newline + 1;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::size_t stop = end;
    if (stop > pos && text[stop - 1] == '\r') --stop;
    if (stop > pos) each(text.substr(pos, std::min(stop - pos, kMaxLineUsed)));
    pos = end + 1;
  }
}

bool isIpv6Line(const std::string& line) { return line.find(':') != std::string::npos; }

}  // namespace

std::vector<std::string> parseNetworks6(const std::string& text) {
  std::vector<std::string> networks;
  forEachNetworkLine(text, [&](const std::string& line) {
    if (!isIpv6Line(line)) return;
    std::size_t slash = line.find('/');
    int prefix = slash == std::string::npos ? 128 : std::min(leadingNumber(line.substr(slash + 1)), 128);
    uint8_t address[16];
    if (!platform::parseIpv6(line.substr(0, slash), address)) return;
    for (int bit = prefix; bit < 128; ++bit) address[bit / 8] &= static_cast<uint8_t>(~(0x80 >> (bit % 8)));
    networks.push_back(platform::formatIpv6(address) + "/" + std::to_string(prefix));
  });
  return networks;
}

std::vector<NetworkEntry> parseNetworks(const std::string& text) {
  std::vector<NetworkEntry> networks;
  // An IPv6 line is no IPv4 network (it would come out as a host route to
  // 255.255.255.255).
  forEachNetworkLine(text, [&](const std::string& line) {
    if (!isIpv6Line(line)) networks.push_back(parseNetworkLine(line));
  });
  return networks;
}

bool readRuleFile(const std::string& path, std::string& text, bool& plainText) {
  CFileBuilderCompressBase64 encoded(path);
  if (readWith(encoded, text) && !text.empty() && text[0] == '#' && text.find('\n') != std::string::npos) {
    plainText = false;
    return true;
  }
  CFileBuilderCompressBase64 plain(path);
  plain.setPlainMode(true);
  plainText = true;
  return readWith(plain, text) && !text.empty();
}

std::optional<ProxyMode> readRuleHeader(const std::string& path) {
  std::string text;
  bool plain = true;
  if (!readRuleFile(path, text, plain)) return std::nullopt;
  auto newline = text.find('\n');
  if (newline == std::string::npos) return std::nullopt;
  auto mode = parseRuleHeader(text.substr(0, newline));
  if (!mode) return std::nullopt;
  mode->ruleFile = path;
  mode->plainText = plain;
  return mode;
}

CProxyModeMgr& CProxyModeMgr::instance() {
  static CProxyModeMgr mgr;
  return mgr;
}

CProxyModeMgr::CProxyModeMgr() {
  auto builtIn = [this](const char* name, int32_t kind, bool routeAll) {
    ProxyMode m;
    m.kind = kind;
    m.name = m.localName = name;
    m.routeAll = routeAll;
    modes_.push_back(std::move(m));
  };
  builtIn("Global wide", kModeGlobal, true);
  builtIn("Web Browser only(Global)", kModeBrowserGlobal, false);
  builtIn("Web Browser only(Skip Chinese sites)", kModeBrowserPac, false);
}

int CProxyModeMgr::scanRules(const std::vector<std::string>& ruleFolders, bool loadNow) {
  if (rulesScanned_) return 0;
  int added = 0;
  for (const std::string& folder : ruleFolders) {
    std::error_code ec;
    std::vector<std::string> files;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->is_directory(ec) || it->path().extension() != ".rules") continue;
      files.push_back(it->path().string());
    }
    std::sort(files.begin(), files.end());  // directory order is arbitrary
    for (const std::string& file : files) {
      auto mode = readRuleHeader(file);
      if (!mode) continue;
      bool known = std::any_of(modes_.begin(), modes_.end(), [&](const ProxyMode& m) {
        return equalIgnoringCase(m.name, mode->name) && equalIgnoringCase(m.localName, mode->localName);
      });
      if (known) continue;
      modes_.push_back(std::move(*mode));
      if (loadNow) loadNetworks(modes_.back());
      ++added;
    }
  }
  if (added > 0) rulesScanned_ = true;
  return added;
}

std::size_t CProxyModeMgr::loadNetworks(ProxyMode& mode) {
  if (mode.networksLoaded) return mode.networks.size() + mode.networks6.size();
  if (mode.ruleFile.empty() || mode.kind == kModeGlobal || mode.kind == kModeBrowserGlobal ||
      mode.kind == kModeBrowserPac)
    return 0;
  std::string text;
  bool plain = mode.plainText;
  if (readRuleFile(mode.ruleFile, text, plain)) {
    mode.networks = parseNetworks(text);
    mode.networks6 = parseNetworks6(text);
  }
  mode.networksLoaded = true;
  return mode.networks.size() + mode.networks6.size();
}

ProxyMode& CProxyModeMgr::currentMode() {
  if (current_ < 0 || current_ >= static_cast<int>(modes_.size())) current_ = 0;
  return modes_[static_cast<std::size_t>(current_)];
}

bool CProxyModeMgr::setCurrentMode(int index) {
  if (index < 0 || index >= static_cast<int>(modes_.size())) return false;
  current_ = index;
  return true;
}

int CProxyModeMgr::find(const std::string& text) const {
  for (std::size_t i = 0; i < modes_.size(); ++i)
    if (equalIgnoringCase(modes_[i].name, text) || equalIgnoringCase(modes_[i].localName, text))
      return static_cast<int>(i);
  if (!text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
      text.size() < 6) {
    int index = std::stoi(text);
    if (index < static_cast<int>(modes_.size())) return index;
  }
  return -1;
}

}  // namespace vantor
