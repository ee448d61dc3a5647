// Node addresses as users type them on the command line:
//   socks5://[user:password@]host:port   socks4://host:port   (socks4a:// too)
//   ss://... and ssr://... share links, including ss://method:password@host:port
#pragma once

#include <optional>
#include <string>

#include "catalogue/node_info.h"

namespace vantor {

// The node described by `uri`, or nothing with a one-line reason in `error`.
std::optional<NodeParams> parseNodeUri(const std::string& uri, std::string& error);

// One piece of a batch or a line of a subscription: a share link or a socks
// URI as parseNodeUri() takes it, which the store would also take (a node
// with a Shadowsocks plugin included). Otherwise nothing, with the reason in
// `reason` ("Unsupported encryption: NAME" for a Shadowsocks node whose
// cipher is unknown).
std::optional<NodeParams> parseNodeLink(const std::string& text, std::string& reason);

}  // namespace vantor
