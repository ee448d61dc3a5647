// Share links: the "ss://" and "ssr://" texts users paste to add Shadowsocks
// and ShadowsocksR nodes, and the lenient decoders those links need.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/node_info.h"

namespace vantor {

// The node one "ss://" or "ssr://" link describes (kind 6, ready for the
// store, which assigns the id and normalises method, protocol and obfs), or
// nothing when the text is not a link we understand. Never throws.
std::optional<NodeParams> parseLink(const std::string& text);
// The same, with why a text gives no node in `reason` ("Can not resolve this
// link."). A Shadowsocks link with "?plugin=NAME;OPTIONS" (percent-encoded)
// gives a node with `plugin` and `plugin_opts`.
std::optional<NodeParams> parseLink(const std::string& text, std::string& reason);

// The link that describes `node`, which parseLink() (or parseNodeUri() for
// socks URIs) reads back into the same fields: "ss://" with the user part in
// URL-safe base64 and the plugin as "/?plugin=..." for a plain Shadowsocks
// node, "ssr://" for a ShadowsocksR one, "socks5://" or "socks4://" for SOCKS
// nodes. Empty for a kind no link describes (HTTP).
std::string shareLink(const NodeParams& node);

// Whether `name` may name a plugin program: 1 to 64 of A-Z a-z 0-9 "-" "_"
// "." "+", not starting with "-" or ".". The name is looked up on PATH and
// run, so a path, an option or a blank in it is refused; a ";" could not be
// written back into a link either.
bool isPluginName(std::string_view name);

// The program that runs the plugin `name`, found on PATH; empty when there is
// none. Debian installs v2ray-plugin as "ss-v2ray-plugin", which is tried
// when "v2ray-plugin" itself is not found.
std::string pluginProgramPath(const std::string& name);

// Why the plugin of a Shadowsocks node cannot run, or empty when it can or
// the node has none: a name that is no program name, or a program that is
// not installed. Its traffic must not go to the server without the plugin.
std::string pluginRefusal(const NodeParams& node);

// Percent-encoding of every byte but A-Z a-z 0-9 "-" "." "_" "~".
std::string encodeUrl(std::string_view text);
// URL-safe base64 without padding.
std::string encodeBase64Url(std::string_view bytes);

// Cuts a pasted text holding many links, separated by line breaks, blanks or
// commas, into the single links. Empty pieces are dropped.
std::vector<std::string> splitBatch(const std::string& text);
// The same pieces with the line each starts on (counted from 1; "\r\n" and a
// lone "\r" end a line as "\n" does).
struct BatchPiece {
  int line = 0;
  std::string text;
};
std::vector<BatchPiece> splitBatchWithLines(const std::string& text);

// Base64 as links carry it: decoding stops at the first "=" or at the first
// character outside the alphabet, padding is optional, a final group of 2 or
// 3 characters gives 1 or 2 bytes and a lone trailing character gives none.
std::string decodeBase64(std::string_view text);
// The URL-safe form: "-" and "_" stand for "+" and "/". A text in the
// standard alphabet decodes exactly as decodeBase64 decodes it.
std::string decodeBase64Url(std::string_view text);
// Standard base64 with padding and without line breaks.
std::string encodeBase64(std::string_view bytes);

// Percent-decoding: "%" and two hex digits become that byte, "+" becomes a
// blank. Anything else is kept, including a "%" not followed by two hex
// digits (so a "%" near the end leaves the rest of the text unchanged).
std::string decodeUrl(std::string_view text);

// The value of one hexadecimal digit, or -1.
int hexDigitValue(char c);

// Cuts `text` at every occurrence of `separator`, left to right. Empty pieces
// are kept or dropped as asked. A text without the separator (or an empty
// separator) gives the text as its one piece.
std::vector<std::string> splitText(std::string_view text, std::string_view separator, bool keepEmpty);

}  // namespace vantor
