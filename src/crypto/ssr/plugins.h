// Names of the ShadowsocksR protocol and obfs plugins, and the factory that
// creates a plugin from a node's name and parameter.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crypto/ssr/obfs.h"

namespace vantor {

struct PluginNameEntry {
  const char* name;
  bool acceptsParam;  // whether the node dialogs offer the parameter field
};

// In the order offered to the user; each ends with an entry whose name is "".
extern const PluginNameEntry ProtocolNames[];
extern const PluginNameEntry ObfsNames[];

// Names compare ignoring ASCII letter case; nothing else is forgiven (a
// trailing blank or a "_compatible" suffix makes a different name).
bool IsValidProtocol(std::string_view name);
bool IsValidObfs(std::string_view name);
// Position of the first matching entry, or -1.
int ProtocolIndex(std::string_view name);
int ObfsIndex(std::string_view name);
// Appends every entry with its acceptsParam flag, in table order.
void GetProtocolNames(std::vector<std::pair<std::string, bool>>& list);
void GetObfsNames(std::vector<std::pair<std::string, bool>>& list);

// A new plugin for a protocol or obfs name, owned by the caller; null for a
// name it does not know. "origin" and "plain" ignore the parameter; the others
// receive it with their table name.
std::unique_ptr<CObfs> CreatePlugin(std::string_view name, const std::string& param);

}  // namespace vantor
