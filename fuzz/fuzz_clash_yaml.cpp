// Clash configurations come from subscription servers we do not control.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/subscription_formats.h"
#include "catalogue/subscription_refresh.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string body(reinterpret_cast<const char*>(data), size);
  std::vector<vantor::NodeParams> nodes;
  std::vector<vantor::RefusedLine> refused;
  std::string error;
  bool ok = vantor::parseClashYaml(body, nodes, error, refused);
  if (ok != !nodes.empty() || (!ok && error.empty())) __builtin_trap();
  for (const auto& r : refused)
    if (r.line < 1 || r.reason.empty()) __builtin_trap();
  for (const auto& node : nodes)
    if (node.server.empty() || node.server_port == 0) __builtin_trap();
  // Detection must not fail on anything either.
  vantor::detectSubscriptionFormat(body);
  return 0;
}
