// Rule files as a user's rules/ folder may hold them: the header line and the
// network lines, plain or (when the bytes decode) in the encoded form.
#include <cstddef>
#include <cstdint>
#include <string>

#include "catalogue/file_builder.h"
#include "netconf/proxy_modes.h"
#include "platform/routes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  vantor::CFileBuilderCompressBase64 encoded("");
  if (const char* decoded = encoded.decode(text)) text.assign(decoded, encoded.contentLength());
  auto newline = text.find('\n');
  if (newline != std::string::npos) {
    auto mode = vantor::parseRuleHeader(text.substr(0, newline));
    if (mode && mode->name.empty()) __builtin_trap();
  }
  for (const auto& n : vantor::parseNetworks(text)) {
    if (n.prefix < 0 || n.prefix > 32) __builtin_trap();
    if (n.text.size() > 99) __builtin_trap();
    if (n.text.find(':') != std::string::npos) __builtin_trap();  // IPv6 lines have their own list
  }
  // Every IPv6 network is one the helper takes as it is (no host bits).
  for (const std::string& n : vantor::parseNetworks6(text)) {
    uint8_t address[16];
    int prefix = -1;
    if (!vantor::platform::parseIpv6Network(n, address, prefix)) __builtin_trap();
  }
  return 0;
}
