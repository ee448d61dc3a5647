// The privileged helper's reading of a request line: bytes from any member
// of the helper's group.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "helper/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vantor::helper::Request request;
  std::string error;
  vantor::helper::parseRequest(std::string_view(reinterpret_cast<const char*>(data), size), request, error);
  return 0;
}
