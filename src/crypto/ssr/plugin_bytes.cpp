#include "crypto/ssr/plugin_bytes.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace vantor::ssr {

uint32_t Adler32(const uint8_t* data, std::size_t length) {
  uint32_t a = 1, b = 0;
  while (length > 0) {
    // 5552 bytes is the longest run whose sums cannot overflow 32 bits.
    std::size_t n = length < 5552 ? length : 5552;
    length -= n;
    while (n--) {
      a += *data++;
      b += a;
    }
    a %= 65521;
    b %= 65521;
  }
  return b << 16 | a;
}

void Rc4::setKey(const uint8_t* key, std::size_t length) {
  for (int k = 0; k < 256; ++k) s_[k] = static_cast<uint8_t>(k);
  uint8_t j = 0;
  for (int k = 0; k < 256; ++k) {
    j = static_cast<uint8_t>(j + s_[k] + (length ? key[k % length] : 0));
    std::swap(s_[k], s_[j]);
  }
  i_ = j_ = 0;
}

void Rc4::process(uint8_t* data, std::size_t length) {
  // Indices live in locals: the data pointer may alias the state as far as
  // the compiler knows, and members would be reloaded on every byte.
  uint32_t i = i_, j = j_;
  uint8_t* s = s_;
  for (std::size_t n = 0; n < length; ++n) {
    i = (i + 1) & 0xFF;
    const uint32_t si = s[i];
    j = (j + si) & 0xFF;
    const uint32_t sj = s[j];
    s[i] = static_cast<uint8_t>(sj);
    s[j] = static_cast<uint8_t>(si);
    data[n] ^= s[(si + sj) & 0xFF];
  }
  i_ = static_cast<uint8_t>(i);
  j_ = static_cast<uint8_t>(j);
}

bool handOver(uint8_t*& buffer, const Bytes& out, int& outLength) {
  auto* block = static_cast<uint8_t*>(platform::heapAlloc(out.empty() ? 1 : out.size()));
  if (!block) {
    outLength = 0;
    return false;
  }
  if (!out.empty()) std::memcpy(block, out.data(), out.size());
  if (buffer != block) platform::heapFree(buffer);
  buffer = block;
  outLength = static_cast<int>(out.size());
  return true;
}

bool heapAppend(uint8_t*& block, int& length, const uint8_t* data, int count) {
  if (count <= 0) return true;
  auto* grown = static_cast<uint8_t*>(platform::heapRealloc(block, static_cast<std::size_t>(length + count)));
  if (!grown) return false;
  std::memcpy(grown + length, data, static_cast<std::size_t>(count));
  block = grown;
  length += count;
  return true;
}

void heapDrop(uint8_t* block, int& length, int count) {
  if (count >= length) {
    length = 0;
    return;
  }
  std::memmove(block, block + count, static_cast<std::size_t>(length - count));
  length -= count;
}

void heapRelease(uint8_t*& block, int& length) {
  platform::heapFree(block);
  block = nullptr;
  length = 0;
}

bool splitUserParam(const std::string& param, uint32_t& id, std::string& password) {
  std::size_t colon = param.find(':');
  if (param.empty() || colon == std::string::npos) return false;
  std::string number = param.substr(0, std::min<std::size_t>(colon, 15));
  id = static_cast<uint32_t>(std::strtoll(number.c_str(), nullptr, 10));
  password = param.substr(colon + 1, 127);
  return true;
}

std::string trimBlanks(const std::string& text) {
  const char* blanks = " \t\r\n";
  std::size_t b = text.find_first_not_of(blanks);
  if (b == std::string::npos) return std::string();
  std::size_t e = text.find_last_not_of(blanks);
  return text.substr(b, e - b + 1);
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace vantor::ssr
