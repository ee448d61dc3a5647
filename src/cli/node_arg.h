// The node given on the command line (a share link or a socks URI).
#pragma once

#include <string>

#include "app/types.h"

namespace vantor::cli {

// Parses the node argument and makes it the service's current node. The node
// lives as long as the process: sessions hold plain pointers to it. Prints a
// one-line error and returns null for bad input.
CNodeInfo* currentNodeFrom(const std::string& text);

}  // namespace vantor::cli
