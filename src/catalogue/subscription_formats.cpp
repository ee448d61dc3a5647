#include "catalogue/subscription_formats.h"

#include <json/json.h>
#include <yaml-cpp/yaml.h>

#include <exception>
#include <memory>
#include <optional>

#include "catalogue/node_mgr.h"
#include "catalogue/share_link.h"
#include "catalogue/subscription_refresh.h"
#include "crypto/ssr/plugins.h"

namespace vantor {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view withoutBom(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  return text;
}

// Lines (from 1) of byte offsets asked in increasing order, counted on from
// the previous answer: a list of a million refused entries must not rescan
// the text for each.
class LineCounter {
 public:
  explicit LineCounter(std::string_view text) : text_(text) {}
  int lineAt(std::size_t offset) {
    if (offset < at_) {
      at_ = 0;
      line_ = 1;
    }
    for (; at_ < offset && at_ < text_.size(); ++at_)
      if (text_[at_] == '\n') ++line_;
    return line_;
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
  int line_ = 1;
};

// A port given as a number or as a text of digits; 0 when it is neither or
// outside 1-65535.
uint16_t portOf(const std::string& text) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return 0;
  unsigned long value = std::stoul(text);
  return value >= 1 && value <= 65535 ? static_cast<uint16_t>(value) : 0;
}

bool truthy(const std::string& text) {
  return equalsIgnoringCase(text, "true") || equalsIgnoringCase(text, "yes") || equalsIgnoringCase(text, "on") ||
         text == "1";
}

// Plugin options are "key=value" pairs joined by ";"; a ";", "=" or "\" in
// a value is escaped with "\".
std::string optionValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == ';' || c == '=' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

void eraseAll(std::string& text, std::string_view word) {
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at)) text.erase(at, word.size());
}

// A host name or IPv4 address as a server list may give it: no blank,
// control character or URL delimiter inside (an IPv6 address is not taken,
// as links do not take one either). Such a server could not be connected to
// and would not survive being written into a link.
bool isHostText(const std::string& host) {
  if (host.empty() || host.size() > 255) return false;
  for (char ch : host) {
    auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == 0x7F || std::string_view("/?#@:[]\\%").find(ch) != std::string_view::npos) return false;
  }
  return true;
}

// Server and port of any entry; empty when both are usable.
std::string addressProblem(const NodeParams& node) {
  if (node.server.empty()) return "no server";
  if (!isHostText(node.server)) return "the server is not a host name or IPv4 address";
  if (node.server_port == 0) return "no valid port";
  return {};
}

// What every kind-6 node must satisfy before the store sees it: a server, a
// port, a cipher we have. Empty when it does.
std::string shadowsocksProblem(const NodeParams& node) {
  if (std::string problem = addressProblem(node); !problem.empty()) return problem;
  if (node.password.empty()) return "no password";
  return unstorableNodeReason(node);
}

std::string entryName(const std::string& name, std::size_t index) {
  return name.empty() ? "entry " + std::to_string(index + 1) : "\"" + name + "\"";
}

// ---- JSON server list -------------------------------------------------------

std::string jsonText(const Json::Value& object, const char* key, bool& wrongType) {
  const Json::Value& v = object[key];
  if (v.isNull()) return {};
  if (v.isString()) return v.asString();
  wrongType = true;
  return {};
}

std::optional<NodeParams> serverNode(const Json::Value& entry, std::string& reason) {
  if (!entry.isObject()) {
    reason = "not an object";
    return std::nullopt;
  }
  bool wrongType = false;
  NodeParams node;
  node.type = kNodeShadowsocks;
  node.server = trimBlanks(jsonText(entry, "server", wrongType));
  node.password = jsonText(entry, "password", wrongType);
  node.method = jsonText(entry, "method", wrongType);
  node.remarks = jsonText(entry, "remarks", wrongType);
  node.plugin = trimBlanks(jsonText(entry, "plugin", wrongType));
  node.plugin_opts = jsonText(entry, "plugin_opts", wrongType);
  node.protocol = "origin";
  node.obfs = "plain";
  if (wrongType) {
    reason = "a text field holds something else than text";
    return std::nullopt;
  }
  const Json::Value& port = entry["server_port"];
  if (port.isIntegral() && port.asLargestInt() >= 1 && port.asLargestInt() <= 65535)
    node.server_port = static_cast<uint16_t>(port.asLargestInt());
  else if (port.isString())
    node.server_port = portOf(port.asString());
  if (!node.plugin.empty() && !isPluginName(node.plugin)) {
    reason = "the plugin name is not a program name";
    return std::nullopt;
  }
  reason = shadowsocksProblem(node);
  if (!reason.empty()) return std::nullopt;
  return node;
}

// ---- Clash ------------------------------------------------------------------

// The scalar under `key` of a map, or nothing (also for a list or a map).
std::optional<std::string> scalar(const YAML::Node& map, const char* key) {
  const YAML::Node v = map[key];
  if (!v || !v.IsScalar()) return std::nullopt;
  return v.Scalar();
}

std::string text(const YAML::Node& map, const char* key) { return scalar(map, key).value_or(std::string()); }

std::optional<NodeParams> clashNode(const YAML::Node& entry, std::string& reason) {
  if (!entry.IsMap()) {
    reason = "not a map";
    return std::nullopt;
  }
  std::string type = text(entry, "type");
  NodeParams node;
  node.remarks = text(entry, "name");
  node.server = trimBlanks(text(entry, "server"));
  node.server_port = portOf(trimBlanks(text(entry, "port")));
  if (type == "socks5") {
    node.type = kNodeSocks5;
    node.username = text(entry, "username");
    node.password = text(entry, "password");
    if (truthy(text(entry, "tls"))) {
      reason = "SOCKS 5 over TLS is not supported";
      return std::nullopt;
    }
    reason = addressProblem(node);
    if (reason.empty() && (node.username.size() > 255 || node.password.size() > 255))
      reason = "user name or password over 255 bytes";
    if (!reason.empty()) return std::nullopt;
    return node;
  }
  if (type != "ss" && type != "ssr") {
    reason = type.empty() ? "no type" : "type " + type + " is not supported";
    return std::nullopt;
  }
  node.type = kNodeShadowsocks;
  node.method = text(entry, "cipher");
  node.password = text(entry, "password");
  if (type == "ss") {
    node.protocol = "origin";
    node.obfs = "plain";
    if (auto name = scalar(entry, "plugin"); name && !name->empty()) {
      std::vector<ClashPluginOption> options;
      const YAML::Node opts = entry["plugin-opts"];
      if (opts && opts.IsMap()) {
        for (const auto& pair : opts) {
          if (!pair.first.IsScalar() || !pair.second.IsScalar()) continue;
          options.push_back({pair.first.Scalar(), pair.second.Scalar()});
        }
      } else if (opts && !opts.IsNull()) {
        reason = "plugin-opts is not a map";
        return std::nullopt;
      }
      if (!clashPlugin(*name, options, node.plugin, node.plugin_opts, reason)) return std::nullopt;
    }
  } else {
    node.protocol = text(entry, "protocol");
    node.obfs = text(entry, "obfs");
    node.protocolparam = scalar(entry, "protocol-param").value_or(text(entry, "protocolparam"));
    node.obfsparam = scalar(entry, "obfs-param").value_or(text(entry, "obfsparam"));
    eraseAll(node.protocol, "_compatible");
    eraseAll(node.obfs, "_compatible");
    // The store would turn an unknown name into the plain one, and the node
    // would then fail at the server with no word of why.
    if (!IsValidProtocol(node.protocol)) {
      reason = node.protocol.empty() ? "no protocol" : "protocol " + node.protocol + " is not supported";
      return std::nullopt;
    }
    if (!IsValidObfs(node.obfs)) {
      reason = node.obfs.empty() ? "no obfs" : "obfs " + node.obfs + " is not supported";
      return std::nullopt;
    }
  }
  reason = shadowsocksProblem(node);
  if (!reason.empty()) return std::nullopt;
  return node;
}

// False with `error` when no entry gave a node, naming the first refused one.
bool finish(const std::vector<NodeParams>& nodes, const std::vector<RefusedLine>& refused, std::string& error,
            const char* what) {
  if (!nodes.empty()) return true;
  error = std::string("no usable ") + what + " in the answer";
  if (!refused.empty()) error += " (line " + std::to_string(refused.front().line) + ": " + refused.front().reason + ")";
  return false;
}

}  // namespace

SubscriptionFormat detectSubscriptionFormat(std::string_view body) {
  body = withoutBom(body);
  std::size_t first = 0;
  while (first < body.size() && isBlank(body[first])) ++first;
  if (first < body.size() && body[first] == '{') return SubscriptionFormat::kServerJson;
  // A top-level "proxies:" key at the start of a line.
  for (std::size_t at = 0; at < body.size();) {
    std::string_view line = body.substr(at, body.find('\n', at) - at);
    if (line.substr(0, 7) == "proxies") {
      std::size_t i = 7;
      while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
      if (i < line.size() && line[i] == ':') return SubscriptionFormat::kClashYaml;
    }
    std::size_t next = body.find('\n', at);
    if (next == std::string_view::npos) break;
    at = next + 1;
  }
  return SubscriptionFormat::kLinks;
}

bool clashPlugin(const std::string& name, const std::vector<ClashPluginOption>& options, std::string& plugin,
                 std::string& pluginOpts, std::string& reason) {
  auto option = [&options](const char* key) -> std::optional<std::string> {
    for (const auto& o : options)
      if (o.key == key) return o.value;
    return std::nullopt;
  };
  if (name == "obfs") {
    std::string mode = option("mode").value_or("");
    if (mode != "http" && mode != "tls") {
      reason = mode.empty() ? "plugin obfs without a mode" : "plugin obfs mode " + mode + " is not supported";
      return false;
    }
    plugin = "obfs-local";
    pluginOpts = "obfs=" + mode;
    if (auto host = option("host"); host && !host->empty()) pluginOpts += ";obfs-host=" + optionValue(*host);
    return true;
  }
  if (name == "v2ray-plugin") {
    std::string mode = option("mode").value_or("websocket");
    if (mode != "websocket") {
      reason = "plugin v2ray-plugin mode " + mode + " is not supported";
      return false;
    }
    plugin = "v2ray-plugin";
    pluginOpts = "mode=websocket";
    if (auto host = option("host"); host && !host->empty()) pluginOpts += ";host=" + optionValue(*host);
    if (auto path = option("path"); path && !path->empty()) pluginOpts += ";path=" + optionValue(*path);
    if (truthy(option("tls").value_or(""))) pluginOpts += ";tls";
    return true;
  }
  reason = "plugin " + name + " is not supported";
  return false;
}

bool parseServerJson(std::string_view body, std::vector<NodeParams>& nodes, std::string& error,
                     std::vector<RefusedLine>& refused) {
  nodes.clear();
  body = withoutBom(body);
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  builder["failIfExtra"] = true;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string why;
  bool parsed = false;
  try {
    parsed = reader->parse(body.data(), body.data() + body.size(), &root, &why);
  } catch (const std::exception& e) {  // nesting deeper than the reader allows
    why = e.what();
  }
  if (!parsed) {
    while (!why.empty() && isBlank(why.back())) why.pop_back();
    error = "the answer is not valid JSON: " + why;
    return false;
  }
  if (!root.isObject()) {
    error = "the JSON answer is not an object";
    return false;
  }
  if (!root.isMember("servers") && root.isMember("proxies"))
    return parseClashYaml(body, nodes, error, refused);  // a Clash configuration written as JSON
  const Json::Value& servers = root["servers"];
  if (!servers.isArray()) {
    error = "the JSON answer has no \"servers\" list";
    return false;
  }
  const Json::Value& version = root["version"];
  if (!version.isNull() && !(version.isIntegral() && version.asLargestInt() == 1)) {
    error = "the JSON server list has an unknown version";
    return false;
  }
  LineCounter lines(body);
  for (Json::ArrayIndex i = 0; i < servers.size(); ++i) {
    const Json::Value& entry = servers[i];
    std::string reason;
    if (auto node = serverNode(entry, reason)) {
      nodes.push_back(std::move(*node));
      continue;
    }
    std::string name;
    if (entry.isObject() && entry["remarks"].isString()) name = entry["remarks"].asString();
    refused.push_back({lines.lineAt(static_cast<std::size_t>(entry.getOffsetStart())),
                       "server " + entryName(name, i) + ": " + reason});
  }
  if (servers.size() == 0) {
    error = "the server list is empty";
    return false;
  }
  return finish(nodes, refused, error, "server");
}

bool parseClashYaml(std::string_view body, std::vector<NodeParams>& nodes, std::string& error,
                    std::vector<RefusedLine>& refused) {
  nodes.clear();
  body = withoutBom(body);
  try {
    YAML::Node root = YAML::Load(std::string(body));
    if (!root.IsMap()) {
      error = "the YAML answer is not a map";
      return false;
    }
    const YAML::Node proxies = root["proxies"];
    if (!proxies || !proxies.IsSequence()) {
      error = "the YAML answer has no \"proxies\" list";
      return false;
    }
    if (proxies.size() == 0) {
      error = "the proxies list is empty";
      return false;
    }
    std::size_t index = 0;
    for (const YAML::Node& entry : proxies) {
      std::string reason;
      std::optional<NodeParams> node;
      try {
        node = clashNode(entry, reason);
      } catch (const YAML::Exception& e) {
        reason = e.msg;
      }
      if (node) {
        nodes.push_back(std::move(*node));
      } else {
        std::string name = entry.IsMap() ? text(entry, "name") : std::string();
        refused.push_back({entry.Mark().line + 1, "proxy " + entryName(name, index) + ": " + reason});
      }
      ++index;
    }
  } catch (const YAML::Exception& e) {
    error = "the answer is not valid YAML";
    if (!e.mark.is_null()) error += " (line " + std::to_string(e.mark.line + 1) + ")";
    error += ": " + e.msg;
    return false;
  }
  return finish(nodes, refused, error, "proxy");
}

}  // namespace vantor
