// Proxy modes: the three built-in ones and one per rule file. A rule file is
// a header line "#name,localName,routeAll,listedDirect,kind,x" followed by
// one IPv4 network per line ("a.b.c.d/prefix" or "a.b.c.d"), stored plain
// or encoded (CFileBuilderCompressBase64).
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace vantor {

enum ProxyModeKind : int32_t {
  kModeGlobal = 0,
  kModeRuleFile = 1,
  kModeRuleFile2 = 2,
  kModeBrowserGlobal = 3,
  kModeBrowserPac = 4,
};

struct NetworkEntry {
  uint32_t address = 0;  // host byte order
  std::string text;      // the network as written, before "/"
  int prefix = 32;
  uint32_t mask = 0;  // network byte order
  std::string maskText;

  // The address in network byte order, as routes take it.
  uint32_t networkAddress() const {
    uint32_t out;
    const uint8_t bytes[4] = {static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                              static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
    std::memcpy(&out, bytes, 4);
    return out;
  }
};

struct ProxyMode {
  std::string ruleFile;
  bool plainText = true;
  int32_t kind = kModeGlobal;
  std::string name;
  std::string localName;
  bool routeAll = false;
  bool listedDirect = false;
  bool networksLoaded = false;
  std::vector<NetworkEntry> networks;
  // The IPv6 networks of the rule file, as "address/prefix" texts.
  std::vector<std::string> networks6;

  // Modes that route into the TUN interface (the others only switch the
  // system web proxy).
  bool usesTunnel() const { return kind == kModeGlobal || kind == kModeRuleFile || kind == kModeRuleFile2; }
};

// The header line (without "\n") as a mode, or nothing when it is malformed.
std::optional<ProxyMode> parseRuleHeader(const std::string& line);
// One network line (at most its first 99 characters are used).
NetworkEntry parseNetworkLine(const std::string& line);
// The IPv4 networks of a rule file's text (the header line is skipped; so
// are IPv6 lines, which have their own list below).
std::vector<NetworkEntry> parseNetworks(const std::string& text);
// The IPv6 networks ("2001:db8::/32", a bare address is a /128) of a rule
// file's text as "address/prefix" with the host bits cleared; lines that are
// not IPv6 networks are left out.
std::vector<std::string> parseNetworks6(const std::string& text);
// Reads a rule file in its storage form: `plainText` says which it was
// (encoded only when it decodes and its text starts with "#"). False when
// there is nothing to read.
bool readRuleFile(const std::string& path, std::string& text, bool& plainText);
// The mode described by a rule file's header, or nothing.
std::optional<ProxyMode> readRuleHeader(const std::string& path);

class CProxyModeMgr {
 public:
  static CProxyModeMgr& instance();
  CProxyModeMgr();

  // Scans "<folder>/rules/*.rules" of each folder (shipped data, then the
  // user's); returns the number of modes added. Does nothing once a scan
  // found rule files.
  int scanRules(const std::vector<std::string>& ruleFolders, bool loadNow);
  // Loads the networks of a mode once; returns their number.
  std::size_t loadNetworks(ProxyMode& mode);
  ProxyMode& currentMode();
  int currentIndex() const { return current_; }
  bool setCurrentMode(int index);
  std::vector<ProxyMode>& modes() { return modes_; }
  // The mode whose name or local name is `text` (ignoring case), or whose
  // index `text` is; -1 when none.
  int find(const std::string& text) const;

 private:
  bool rulesScanned_ = false;
  int current_ = 0;
  std::vector<ProxyMode> modes_;
};

}  // namespace vantor
