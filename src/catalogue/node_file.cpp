#include "catalogue/node_file.h"

#include <cstdio>
#include <unordered_set>

#include "catalogue/ini_file.h"
#include "catalogue/share_link.h"

namespace vantor {
namespace {

constexpr const char* kHeader = "vantor";
constexpr const char* kNodePrefix = "node";

uint16_t portValue(int32_t value) { return value > 0 && value <= 65535 ? static_cast<uint16_t>(value) : 0; }

}  // namespace

std::string escapeNodeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    bool edgeBlank = (c == ' ' || c == '\t') && (i == 0 || i + 1 == text.size());
    if (c < 0x20 || c == 0x7F || c == '%' || edgeBlank) {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string unescapeNodeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexDigitValue(text[i + 1]) >= 0 && hexDigitValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexDigitValue(text[i + 1]) * 16 + hexDigitValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

namespace {

// The keys of one node's section, looked up without going back to the
// document (a catalogue has thousands of sections).
class NodeSection {
 public:
  explicit NodeSection(std::vector<std::pair<std::string, std::string>> entries) : entries_(std::move(entries)) {}
  const std::string* raw(const char* key) const {
    for (const auto& [name, value] : entries_)
      if (equalsIgnoringCase(name, key)) return &value;
    return nullptr;
  }
  std::string text(const char* key) const {
    const std::string* v = raw(key);
    return v ? unescapeNodeText(*v) : std::string();
  }
  int32_t number(const char* key, int32_t fallback) const {
    const std::string* v = raw(key);
    return v ? iniInt(*v, fallback) : fallback;
  }
  bool flag(const char* key, bool fallback) const {
    const std::string* v = raw(key);
    return v ? iniBool(*v, fallback) : fallback;
  }

 private:
  std::vector<std::pair<std::string, std::string>> entries_;
};

}  // namespace

StoredNodes parseNodeFile(std::string_view text, std::vector<std::string>* problems) {
  StoredNodes stored;
  IniDocument doc;
  if (!doc.parse(text)) {
    if (problems && !text.empty()) problems->push_back("cannot be parsed");
    return stored;
  }
  stored.format = doc.readInt(kHeader, "format", 0);
  stored.nextId = doc.readInt(kHeader, "nextid", 0);
  std::unordered_set<int32_t> seen;
  for (const std::string& section : doc.sections()) {
    if (section.size() <= 4 || !equalsIgnoringCase(section.substr(0, 4), kNodePrefix)) continue;
    NodeSection s(doc.entries(section.c_str()));
    if (!s.raw("id")) {
      if (problems) problems->push_back("[" + section + "]: no id; left out");
      continue;
    }
    StoredNode node;
    node.id = s.number("id", -1);
    NodeParams& p = node.params;
    p.type = s.number("type", kNodeSocks5);
    p.server = trimBlanks(s.text("server"));
    p.server_port = portValue(s.number("port", 0));
    p.username = s.text("username");
    p.password = s.text("password");
    p.method = s.text("method");
    p.remarks = s.text("remarks");
    p.selectionIndex = s.number("dialogindex", -1);
    p.nCountryIndex = s.number("country", -1);
    p.AdditionalRoute = s.text("additionalroute");
    p.enable = s.flag("enable", true);
    p.protocol = s.text("protocol");
    p.obfs = s.text("obfs");
    p.obfsparam = s.text("obfsparam");
    p.protocolparam = s.text("protocolparam");
    p.group = s.text("group");
    p.server_udp_port = portValue(s.number("udpport", 0));
    p.udp_over_tcp = s.flag("uot", false);
    p.subscription = s.text("subscription");
    p.plugin = s.text("plugin");
    p.plugin_opts = s.text("plugin_opts");
    node.iplocation = s.text("iplocation");
    node.ipregion = s.text("ipregion");
    node.lastTestResult = s.number("lasttest", -1);
    // Files of format 1 did not say where a node came from.
    node.legacyOrigin = stored.format < 2 ? p.subscription.empty() : s.flag("legacy", false);
    const char* why = node.id < 0                    ? "a negative id"
                      : p.server.empty()             ? "no server"
                      : p.server_port == 0           ? "no port"
                      : !seen.insert(node.id).second ? "an id already taken"
                                                     : nullptr;
    if (why) {
      if (problems) problems->push_back("[" + section + "]: " + why + "; left out");
      continue;
    }
    if (node.id >= stored.nextId) stored.nextId = node.id + 1;
    stored.nodes.push_back(std::move(node));
  }
  return stored;
}

// Written line by line rather than through the document: every value is
// escaped, so no line break or edge blank can reach the file, and building a
// document of thousands of sections costs more than the rest of a save.
std::string nodeFileText(const StoredNodes& stored) {
  std::string out;
  out.reserve(64 + stored.nodes.size() * 400);
  auto line = [&out](const char* key, const std::string& value) {
    out += key;
    out += '=';
    out += value;
    out += '\n';
  };
  auto text = [&line](const char* key, const std::string& value) { line(key, escapeNodeText(value)); };
  auto number = [&line](const char* key, int64_t value) { line(key, std::to_string(value)); };
  out += "[vantor]\n";
  number("format", kNodeFileFormat);
  number("nextid", stored.nextId);
  for (const StoredNode& node : stored.nodes) {
    const NodeParams& p = node.params;
    out += "\n[";
    out += kNodePrefix;
    out += std::to_string(node.id);
    out += "]\n";
    number("id", node.id);
    number("type", p.type);
    text("server", p.server);
    number("port", p.server_port);
    text("username", p.username);
    text("password", p.password);
    text("method", p.method);
    text("protocol", p.protocol);
    text("protocolparam", p.protocolparam);
    text("obfs", p.obfs);
    text("obfsparam", p.obfsparam);
    text("remarks", p.remarks);
    text("group", p.group);
    if (!p.subscription.empty()) text("subscription", p.subscription);
    // Written only for a node that has a plugin, so that files without one
    // stay as older versions wrote them.
    if (!p.plugin.empty()) {
      text("plugin", p.plugin);
      text("plugin_opts", p.plugin_opts);
    }
    number("udpport", p.server_udp_port);
    number("uot", p.udp_over_tcp ? 1 : 0);
    number("enable", p.enable ? 1 : 0);
    text("additionalroute", p.AdditionalRoute);
    number("dialogindex", p.selectionIndex);
    number("country", p.nCountryIndex);
    text("iplocation", node.iplocation);
    text("ipregion", node.ipregion);
    number("lasttest", node.lastTestResult);
    if (node.legacyOrigin) number("legacy", 1);
  }
  return out;
}

}  // namespace vantor
