// Share links and command-line node addresses come from users and web pages.
#include <cstddef>
#include <cstdint>
#include <string>

#include "catalogue/node_uri.h"
#include "catalogue/share_link.h"
#include "crypto/cryptor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  auto node = vantor::parseLink(text);
  if (node && node->server.empty()) __builtin_trap();  // a parsed node always names its server
  // A node read from a link is written back as a link that reads the same.
  if (node && vantor::IsValidMethod(node->method)) {
    auto back = vantor::parseLink(vantor::shareLink(*node));
    if (!back || back->method != node->method || back->password != node->password ||
        back->server_port != node->server_port || back->plugin != node->plugin ||
        back->plugin_opts != node->plugin_opts || back->protocol != node->protocol || back->obfs != node->obfs)
      __builtin_trap();
  }
  std::string error;
  vantor::parseNodeUri(text, error);
  for (const auto& piece : vantor::splitBatch(text)) vantor::parseLink(piece);
  return 0;
}
