// Subscription answers come from servers we do not control.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/geo_lookup.h"
#include "catalogue/subscription_refresh.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string body(reinterpret_cast<const char*>(data), size);
  std::vector<vantor::NodeParams> nodes;
  std::string error;
  bool ok = vantor::parseSubscriptionBody(body, nodes, error);
  if (ok != !nodes.empty() || (!ok && error.empty())) __builtin_trap();
  for (const auto& node : nodes)
    if (node.server.empty() || node.server_port == 0) __builtin_trap();
  // The geolocation answers are outside bytes too.
  vantor::GeoAnswer answer;
  for (int format = 0; format < 4; ++format)
    vantor::parseGeoAnswer(static_cast<vantor::GeoFormat>(format), body, answer);
  return 0;
}
