// Subscription answers other than link lists: the JSON server list of
// Shadowsocks providers ({"version": 1, "servers": [...]}) and the "proxies:"
// list of a Clash configuration (YAML). Both give nodes ready for the store
// and name every entry they leave out, with the line it starts on.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "catalogue/node_info.h"

namespace vantor {

struct RefusedLine;

enum class SubscriptionFormat { kLinks, kServerJson, kClashYaml };

// Told by content: a JSON object is the server list (or a Clash
// configuration written as JSON when it has "proxies" and no "servers"), a
// text with a top-level "proxies:" key is a Clash configuration, anything
// else a link list (base64 or plain).
SubscriptionFormat detectSubscriptionFormat(std::string_view body);

// The server list. False with `error` when the text is no such list or holds
// no usable server; entries left out go to `refused`.
bool parseServerJson(std::string_view body, std::vector<NodeParams>& nodes, std::string& error,
                     std::vector<RefusedLine>& refused);
// The "proxies:" of a Clash configuration: types "ss" (with the obfs and
// v2ray-plugin plugins), "ssr" and "socks5". Same contract.
bool parseClashYaml(std::string_view body, std::vector<NodeParams>& nodes, std::string& error,
                    std::vector<RefusedLine>& refused);

// The plugin program and option string for a Clash "plugin" and its
// "plugin-opts" (given as key and scalar value pairs, "tls" as "true" or
// "false"). False with `reason` for a plugin or mode we cannot run.
struct ClashPluginOption {
  std::string key;
  std::string value;
};
bool clashPlugin(const std::string& name, const std::vector<ClashPluginOption>& options, std::string& plugin,
                 std::string& pluginOpts, std::string& reason);

}  // namespace vantor
