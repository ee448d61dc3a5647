#include "cli/node_arg.h"

#include <iostream>

#include "app/startup.h"
#include "cli/command.h"

namespace vantor::cli {

CNodeInfo* currentNodeFrom(const std::string& text) {
  std::string error;
  auto params = parseNodeUri(text, error);
  if (!params) {
    std::cerr << "vantor: " << error << "\n";
    return nullptr;
  }
  std::string unsupported = unsupportedNodeReason(*params);
  if (!unsupported.empty()) {
    std::cerr << "vantor: " << unsupported << "\n";
    return nullptr;
  }
  auto* node = new CNodeInfo(1, *params);
  if (!cli::core().service().setNode(node)) {
    std::cerr << "vantor: the node is incomplete (server and port, and for Shadowsocks a method and password, are "
                 "required)\n";
    delete node;
    return nullptr;
  }
  return node;
}

}  // namespace vantor::cli
