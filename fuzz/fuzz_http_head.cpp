// The local HTTP proxy's reading of request and answer heads and of chunked
// bodies: bytes from any local program or origin server, fed in pieces of
// the sizes the input's first byte picks (its top bit: read as an answer).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/http_head.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using vantor::app::HttpHeadReader;
  if (size == 0) return 0;
  std::size_t piece = 1 + data[0] % 64;
  HttpHeadReader reader((data[0] & 0x80) != 0);
  auto status = HttpHeadReader::Status::NeedMore;
  std::size_t at = 1;
  for (; at < size && status == HttpHeadReader::Status::NeedMore; at += piece) {
    std::size_t n = size - at < piece ? size - at : piece;
    status = reader.feed(reinterpret_cast<const char*>(data + at), n);
  }
  if (status == HttpHeadReader::Status::Complete) {
    vantor::app::HttpTarget target;
    vantor::app::parseProxyTarget(reader.head(), target);
    (void)reader.head().header("host");
    std::string_view rest = reader.rest();
    if (reader.body() == HttpHeadReader::Body::Chunked) {
      // What followed the head, then the rest of the input, in pieces.
      bool done = false;
      long used = reader.feedChunked(rest.data(), rest.size(), done);
      if (used > static_cast<long>(rest.size())) __builtin_trap();  // never more than it was given
      for (; at < size && !done && used >= 0; at += piece) {
        std::size_t n = size - at < piece ? size - at : piece;
        used = reader.feedChunked(reinterpret_cast<const char*>(data + at), n, done);
        if (used > static_cast<long>(n)) __builtin_trap();
      }
    }
  }
  return 0;
}
