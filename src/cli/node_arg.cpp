#include "cli/node_arg.h"

#include <iostream>

#include "app/startup.h"
#include "cli/command.h"

namespace vantor::cli {

CNodeInfo* currentNodeFrom(const std::string& text) {
  std::string error;
  CNodeInfo* node = core().service().useNodeFrom(text, error);
  if (!node) std::cerr << "vantor: " << error << "\n";
  return node;
}

}  // namespace vantor::cli
