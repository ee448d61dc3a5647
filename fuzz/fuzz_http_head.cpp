// The local HTTP proxy's reading of request heads: bytes from any local
// program, fed in pieces of the sizes the input's first byte picks.
#include <cstddef>
#include <cstdint>

#include "app/http_head.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::size_t piece = 1 + data[0] % 64;
  vantor::app::HttpHeadReader reader;
  auto status = vantor::app::HttpHeadReader::Status::NeedMore;
  for (std::size_t at = 1; at < size && status == vantor::app::HttpHeadReader::Status::NeedMore; at += piece) {
    std::size_t n = size - at < piece ? size - at : piece;
    status = reader.feed(reinterpret_cast<const char*>(data + at), n);
  }
  if (status == vantor::app::HttpHeadReader::Status::Complete) {
    vantor::app::HttpTarget target;
    vantor::app::parseProxyTarget(reader.head(), target);
    (void)reader.head().header("host");
    (void)reader.rest();
  }
  return 0;
}
