// Encoded data files: the binary container (CFileBuilder) and the gzip +
// base64 form (CFileBuilderCompressBase64), from the first input byte on.
#include <cstddef>
#include <cstdint>
#include <string>

#include "catalogue/file_builder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) {
    vantor::CFileBuilderCompressBase64 b("");
    const char* p = b.decode(bytes);
    if (p && p[b.contentLength()] != '\0') __builtin_trap();
  } else {
    vantor::CFileBuilder b("");
    const char* p = b.decode(bytes);
    if (p && b.contentLength() + vantor::CFileBuilder::kFrameSize > bytes.size()) __builtin_trap();
  }
  return 0;
}
