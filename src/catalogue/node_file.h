// The node file, config/nodes.ini: every node with its editable fields and
// group, so that the catalogue survives a restart. It holds passwords and is
// written with mode 0600.
//
//   [vantor]
//   format=2          layout version; later versions read older files
//   nextid=12         the next node id, so ids are not reused across runs
//   [node3]           one section per node, in list order
//   id=3
//   type=6
//   server=...        texts are percent-escaped where they hold control
//   ...               characters, "%" or blanks at either end
//   subscription=...  the subscription a node came from (absent: added by hand)
//   plugin=...        a Shadowsocks plugin program and its options (both
//   plugin_opts=...   absent: none); a reader that predates them loads the
//                     node without its plugin
//   legacy=1          a node whose origin is unknown: it was read from a file
//                     of format 1, written before nodes named their
//                     subscription, and no refresh has claimed it yet
//
// A reader ignores keys it does not know and gives missing keys their
// defaults, so a file from a later or earlier version still loads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/node_info.h"

namespace vantor {

inline constexpr int kNodeFileFormat = 2;
inline constexpr const char* kNodeFileName = "nodes.ini";

struct StoredNode {
  int32_t id = 0;
  NodeParams params;
  // What was learned about the server, kept until the server changes.
  std::string iplocation;
  std::string ipregion;
  int32_t lastTestResult = -1;
  bool legacyOrigin = false;
};

struct StoredNodes {
  int format = 0;  // 0 when the file had no header
  int32_t nextId = 0;
  std::vector<StoredNode> nodes;
};

// Nodes without a server or a port, and repeated ids, are left out; each is
// described in `problems` when given.
StoredNodes parseNodeFile(std::string_view text, std::vector<std::string>* problems = nullptr);
std::string nodeFileText(const StoredNodes& stored);

// The escaping of texts in the file (exposed for tests).
std::string escapeNodeText(std::string_view text);
std::string unescapeNodeText(std::string_view text);

}  // namespace vantor
