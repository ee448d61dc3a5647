#include "catalogue/share_link.h"

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>

#include <cstdint>
#include <utility>

#include "crypto/cryptor.h"
#include "platform/process.h"

// The decoders are written out here rather than taken from Crypto++ or curl:
// links need base64 that stops at the first foreign character (Crypto++ skips
// such characters and keeps going) and percent-decoding that turns "+" into
// a blank (curl_easy_unescape does not).

namespace vantor {
namespace {

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// The decimal number formed by the digits at the start of `text` (0 when it
// starts with something else), saturated so that an endless run of digits
// neither overflows nor wraps into a plausible small value.
uint32_t leadingNumber(std::string_view text) {
  constexpr uint32_t kCap = 1u << 20;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + static_cast<uint32_t>(c - '0');
    if (value > kCap) value = kCap;
  }
  return value;
}

// A port written in a link; 0 when it is missing or outside 1-65535. A
// larger number is refused rather than truncated to 16 bits, which would
// quietly point the node at some other port.
uint16_t linkPort(std::string_view text) {
  uint32_t value = leadingNumber(text);
  return value <= 65535 ? static_cast<uint16_t>(value) : 0;
}

void eraseAll(std::string& text, std::string_view word) {
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at)) text.erase(at, word.size());
}

// Kind 6 without ShadowsocksR plugins (names left empty count as the plain ones).
bool isPlainShadowsocks(const NodeParams& node) {
  return (node.protocol.empty() || node.protocol == "origin") && (node.obfs.empty() || node.obfs == "plain");
}

// "...@host:port" or "...@host:port/".
bool endsInHostAndPort(std::string_view text) {
  size_t at = text.rfind('@');
  if (at == std::string_view::npos) return false;
  std::string_view host = text.substr(at + 1);
  if (!host.empty() && host.back() == '/') host.remove_suffix(1);
  size_t colon = host.rfind(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == host.size()) return false;
  return host.find_first_not_of("0123456789", colon + 1) == std::string_view::npos;
}

// "host:port" into its two pieces; an IPv6 host is in brackets,
// "[2001:db8::1]:8388", and comes out without them. Anything else gives
// some other number of pieces.
std::vector<std::string> splitHostAndPort(const std::string& text) {
  if (text.empty() || text[0] != '[') return splitText(text, ":", true);
  std::size_t close = text.find("]:");
  if (close == std::string::npos || close < 3 || text.find(':', close + 2) != std::string::npos) return {};
  return {text.substr(1, close - 1), text.substr(close + 2)};
}

// The host as a link writes it: an IPv6 address in brackets.
std::string linkHost(const std::string& server) {
  std::string host = trimBlanks(server);
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

NodeParams linkNode() {
  NodeParams node;
  node.type = kNodeShadowsocks;
  node.selectionIndex = 1;
  node.nCountryIndex = -1;
  node.enable = true;
  return node;
}

// ss://BASE64(method:password@host:port)#tag
// ss://BASE64(method:password)@host:port[/?plugin...]#tag
// ss://method:password@host:port#tag
// and the four-piece user part obfs:protocol:method:password in each form.
std::optional<NodeParams> parseShadowsocks(std::string_view payload, std::string& reason) {
  NodeParams node = linkNode();
  size_t hash = payload.find('#');
  std::string_view beforeTag = payload.substr(0, hash);
  if (hash != std::string_view::npos) node.remarks = decodeUrl(payload.substr(hash + 1));

  // The query of a SIP002 link ("/?plugin=NAME;OPTIONS") follows the port.
  // When the text ahead of the first "?" ends in "@host:port" (and maybe a
  // "/"), the query is cut off before the host is looked for, so that an "@"
  // left unencoded in the plugin options is not taken for the one before the
  // host.
  std::string_view query;
  size_t question = beforeTag.find('?');
  if (question != std::string_view::npos && endsInHostAndPort(beforeTag.substr(0, question))) {
    query = beforeTag.substr(question + 1);
    beforeTag = beforeTag.substr(0, question);
  }

  // Only an "@" ahead of the tag says the body is written out; a tag such as
  // "me@provider" must not stop a fully encoded link from being decoded.
  // The URL-safe decoder also reads the standard alphabet, and generators
  // differ in which of the two they use.
  std::string body =
      beforeTag.find('@') == std::string_view::npos ? decodeBase64Url(beforeTag) : std::string(beforeTag);
  if (body.empty()) return std::nullopt;

  // The last "@" separates the host, so a password may itself contain "@".
  size_t at = body.rfind('@');
  if (at == std::string::npos) return std::nullopt;
  std::string user = body.substr(0, at);
  std::string host = body.substr(at + 1);
  if (user.find(':') == std::string::npos) user = decodeBase64Url(user);

  // A "?" after the host (with a password that holds a "?" itself).
  size_t hostQuery = host.find('?');
  if (hostQuery != std::string::npos) {
    if (query.empty()) query = std::string_view(body).substr(at + 1 + hostQuery + 1);
    host.erase(hostQuery);
  }
  std::string queryText(query);  // `query` may point into `body`
  for (const std::string& pair : splitText(queryText, "&", false)) {
    size_t eq = pair.find('=');
    if (eq == std::string::npos || !equalsIgnoringCase(pair.substr(0, eq), "plugin")) continue;
    std::string value = decodeUrl(pair.substr(eq + 1));
    size_t semicolon = value.find(';');
    std::string name = trimBlanks(value.substr(0, semicolon));
    if (name.empty()) continue;  // "plugin=" names none
    if (!isPluginName(name)) {
      reason = "the plugin name is not a program name";
      return std::nullopt;
    }
    node.plugin = name;
    node.plugin_opts = semicolon == std::string::npos ? std::string() : value.substr(semicolon + 1);
    break;
  }

  std::vector<std::string> userPieces = splitText(user, ":", true);
  std::vector<std::string> hostPieces = splitHostAndPort(host);
  if (userPieces.size() < 2 || hostPieces.size() != 2) return std::nullopt;
  // obfs:protocol:method:password, unless the first piece is a cipher: then
  // it is method:password with a password that holds two colons, which an
  // exported link carries as it is.
  if (userPieces.size() == 4 && !IsValidMethod(userPieces[0])) {
    node.obfs = userPieces[0];
    node.protocol = userPieces[1];
    node.method = userPieces[2];
    node.password = userPieces[3];
  } else {
    // method:password, where the password runs to the end of the user part
    // and may contain ":" itself.
    node.method = userPieces[0];
    node.password = user.substr(userPieces[0].size() + 1);
    node.protocol = "origin";
    node.obfs = "plain";
  }

  node.server = trimBlanks(hostPieces[0]);
  node.server_port = linkPort(hostPieces[1]);
  if (node.server.empty() || node.server_port == 0) return std::nullopt;
  // A plugin runs in front of a plain Shadowsocks server only.
  if (!node.plugin.empty() && !isPlainShadowsocks(node)) {
    reason = "a ShadowsocksR link cannot carry a Shadowsocks plugin";
    return std::nullopt;
  }
  return node;
}

// ssr://BASE64URL(host:port:protocol:method:obfs:BASE64URL(password)/?key=BASE64URL(value)&...)
// or the same text written out without the outer encoding.
std::optional<NodeParams> parseShadowsocksR(std::string_view payload) {
  std::string text = payload.find(':') == std::string_view::npos ? decodeBase64Url(payload) : std::string(payload);
  if (text.empty()) return std::nullopt;

  std::vector<std::string> sections = splitText(text, "/?", true);
  // An IPv6 server is written in brackets: "[2001:db8::1]:port:...".
  std::vector<std::string> main;
  if (!sections[0].empty() && sections[0][0] == '[') {
    std::size_t close = sections[0].find("]:");
    if (close == std::string::npos) return std::nullopt;
    main = splitText(std::string_view(sections[0]).substr(close + 2), ":", true);
    main.insert(main.begin(), sections[0].substr(1, close - 1));
  } else {
    main = splitText(sections[0], ":", true);
  }
  if (main.size() != 6) return std::nullopt;

  NodeParams node = linkNode();
  node.server = trimBlanks(main[0]);
  node.server_port = linkPort(main[1]);
  node.protocol = main[2];
  node.method = main[3];
  node.obfs = main[4];
  node.password = decodeBase64Url(main[5]);
  if (node.server.empty() || node.server_port == 0) return std::nullopt;

  if (sections.size() == 2) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const std::string& piece : splitText(sections[1], "&", true)) {
      size_t eq = piece.find('=');
      if (eq != std::string::npos) pairs.emplace_back(piece.substr(0, eq), piece.substr(eq + 1));
    }
    // First pair with the key; text keys also skip empty values, so an empty
    // "remarks=" ahead of a real one does not hide it.
    auto find = [&pairs](std::string_view key, bool needValue) -> const std::string* {
      for (const auto& [k, v] : pairs)
        if (equalsIgnoringCase(k, key) && !(needValue && v.empty())) return &v;
      return nullptr;
    };
    if (auto* v = find("obfsparam", true)) node.obfsparam = decodeBase64Url(*v);
    if (auto* v = find("protoparam", true)) node.protocolparam = decodeBase64Url(*v);
    if (auto* v = find("remarks", true)) node.remarks = decodeBase64Url(*v);
    if (auto* v = find("group", true)) node.group = decodeBase64Url(*v);
    if (auto* v = find("udpport", false)) node.server_udp_port = linkPort(*v);
    if (auto* v = find("uot", false)) node.udp_over_tcp = leadingNumber(*v) != 0;
  }

  // Plugins with this suffix are wire-compatible with their plain form, which
  // is the name the plugin table knows.
  eraseAll(node.protocol, "_compatible");
  eraseAll(node.obfs, "_compatible");
  return node;
}

}  // namespace

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string decodeBase64(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 2);
  uint32_t bits = 0;
  int bitCount = 0;
  for (char c : text) {
    int value = base64Value(c);
    if (value < 0) break;  // "=" is outside the alphabet too
    bits = ((bits << 6) | static_cast<uint32_t>(value)) & 0x3FFFu;
    bitCount += 6;
    if (bitCount >= 8) {
      bitCount -= 8;
      out.push_back(static_cast<char>((bits >> bitCount) & 0xFFu));
    }
  }
  return out;
}

std::string decodeBase64Url(std::string_view text) {
  std::string mapped(text);
  for (char& c : mapped) {
    if (c == '-')
      c = '+';
    else if (c == '_')
      c = '/';
  }
  return decodeBase64(mapped);
}

std::string encodeBase64(std::string_view bytes) {
  std::string out;
  CryptoPP::StringSource source(reinterpret_cast<const CryptoPP::byte*>(bytes.data()), bytes.size(), true,
                                new CryptoPP::Base64Encoder(new CryptoPP::StringSink(out), /*insertLineBreaks=*/false));
  return out;
}

std::string decodeUrl(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c == '%' && text.size() - i >= 3 && hexDigitValue(text[i + 1]) >= 0 && hexDigitValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hexDigitValue(text[i + 1]) * 16 + hexDigitValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::vector<std::string> splitText(std::string_view text, std::string_view separator, bool keepEmpty) {
  std::vector<std::string> pieces;
  auto add = [&](std::string_view piece) {
    if (keepEmpty || !piece.empty()) pieces.emplace_back(piece);
  };
  if (separator.empty()) {
    add(text);
    return pieces;
  }
  size_t start = 0;
  for (size_t at = text.find(separator); at != std::string_view::npos; at = text.find(separator, start)) {
    add(text.substr(start, at - start));
    start = at + separator.size();
  }
  add(text.substr(start));
  return pieces;
}

std::optional<NodeParams> parseLink(const std::string& text) {
  std::string reason;
  return parseLink(text, reason);
}

std::optional<NodeParams> parseLink(const std::string& text, std::string& reason) {
  reason.clear();
  std::optional<NodeParams> node;
  std::vector<std::string> parts = splitText(text, "//", true);
  if (!text.empty() && parts.size() == 2) {
    if (equalsIgnoringCase(parts[0], "ss:")) node = parseShadowsocks(parts[1], reason);
    if (equalsIgnoringCase(parts[0], "ssr:")) node = parseShadowsocksR(parts[1]);
  }
  if (!node && reason.empty()) reason = "Can not resolve this link.";
  return node;
}

std::vector<BatchPiece> splitBatchWithLines(const std::string& text) {
  std::vector<BatchPiece> pieces;
  int line = 1;
  std::string current;
  int currentLine = 1;
  auto flush = [&] {
    if (!current.empty()) pieces.push_back({currentLine, std::move(current)});
    current.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\n' || c == '\r') {
      flush();
      if (!(c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) ++line;
    } else if (c == ' ' || c == ',') {
      flush();
    } else {
      if (current.empty()) currentLine = line;
      current.push_back(c);
    }
  }
  flush();
  return pieces;
}

std::vector<std::string> splitBatch(const std::string& text) {
  // Line breaks of every convention (a lone "\r" as well as "\r\n"), blanks
  // and commas all separate links, so a link in a batch must percent-encode
  // them in its tag.
  std::string lines;
  lines.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    lines.push_back((c == '\r' || c == ' ' || c == ',') ? '\n' : c);
  }
  return splitText(lines, "\n", false);
}

std::string encodeUrl(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
                 c == '_' || c == '~';
    if (plain) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

std::string encodeBase64Url(std::string_view bytes) {
  std::string out = encodeBase64(bytes);
  while (!out.empty() && out.back() == '=') out.pop_back();
  for (char& c : out) {
    if (c == '+')
      c = '-';
    else if (c == '/')
      c = '_';
  }
  return out;
}

std::string shareLink(const NodeParams& node) {
  std::string host = linkHost(node.server) + ":" + std::to_string(node.server_port);
  switch (node.type) {
    case kNodeShadowsocks:
      break;
    case kNodeSocks5:
    case kNodeSocks4: {
      std::string user;
      if (!node.username.empty() || !node.password.empty()) {
        user = encodeUrl(node.username);
        if (!node.password.empty()) user += ":" + encodeUrl(node.password);
        user += "@";
      }
      return (node.type == kNodeSocks5 ? "socks5://" : "socks4://") + user + host;
    }
    default:
      return {};
  }
  if (isPlainShadowsocks(node)) {
    // The user part is always encoded: a password may hold any byte.
    std::string link = "ss://" + encodeBase64Url(node.method + ":" + node.password) + "@" + host;
    if (!node.plugin.empty()) {
      std::string value = node.plugin;
      if (!node.plugin_opts.empty()) value += ";" + node.plugin_opts;
      link += "/?plugin=" + encodeUrl(value);
    }
    if (!node.remarks.empty()) link += "#" + encodeUrl(node.remarks);
    return link;
  }
  std::string text =
      host + ":" + node.protocol + ":" + node.method + ":" + node.obfs + ":" + encodeBase64Url(node.password) + "/?";
  std::string query = "obfsparam=" + encodeBase64Url(node.obfsparam) +
                      "&protoparam=" + encodeBase64Url(node.protocolparam) +
                      "&remarks=" + encodeBase64Url(node.remarks) + "&group=" + encodeBase64Url(node.group);
  if (node.server_udp_port != 0) query += "&udpport=" + std::to_string(node.server_udp_port);
  if (node.udp_over_tcp) query += "&uot=1";
  return "ssr://" + encodeBase64Url(text + query);
}

bool isPluginName(std::string_view name) {
  if (name.empty() || name.size() > 64 || name[0] == '-' || name[0] == '.') return false;
  for (char c : name) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
              c == '.' || c == '+';
    if (!ok) return false;
  }
  return true;
}

std::string pluginProgramPath(const std::string& name) {
  if (!isPluginName(name)) return {};
  std::string path = platform::findProgram(name);
  if (path.empty() && name == "v2ray-plugin") path = platform::findProgram("ss-v2ray-plugin");
  return path;
}

std::string pluginRefusal(const NodeParams& node) {
  if (node.type != kNodeShadowsocks || node.plugin.empty()) return {};
  if (!isPluginName(node.plugin)) return "Not a Shadowsocks plugin name: " + node.plugin;
  if (pluginProgramPath(node.plugin).empty())
    return "The Shadowsocks plugin " + node.plugin + " was not found (install it or remove it from the node)";
  return {};
}

}  // namespace vantor
