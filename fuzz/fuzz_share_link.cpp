// Share links and command-line node addresses come from users and web pages.
#include <cstddef>
#include <cstdint>
#include <string>

#include "catalogue/node_uri.h"
#include "catalogue/share_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  auto node = vantor::parseLink(text);
  if (node && node->server.empty()) __builtin_trap();  // a parsed node always names its server
  std::string error;
  vantor::parseNodeUri(text, error);
  for (const auto& piece : vantor::splitBatch(text)) vantor::parseLink(piece);
  return 0;
}
