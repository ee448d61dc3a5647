// Byte-level helpers the concrete plugins share (fixed-width integers come
// from platform/byte_order.h): Adler-32, RC4, a growable byte string and the hand-over of a
// finished output into the caller's service-heap block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/byte_order.h"
#include "platform/heap.h"

namespace vantor::ssr {

using Bytes = std::vector<uint8_t>;

inline void append(Bytes& out, const void* data, std::size_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  if (length) out.insert(out.end(), p, p + length);
}
inline void append(Bytes& out, const std::string& s) { append(out, s.data(), s.size()); }

// RFC 1950: sums start at 1 and 0, modulus 65521; result b << 16 | a.
uint32_t Adler32(const uint8_t* data, std::size_t length);

// Alleged RC4 (the keystream cipher), used directly so that each connection
// can hold its two directions without a library object per direction.
class Rc4 {
 public:
  void setKey(const uint8_t* key, std::size_t length);
  void process(uint8_t* data, std::size_t length);  // in place

 private:
  uint8_t s_[256] = {};
  uint8_t i_ = 0, j_ = 0;
};

// Hands `out` to the caller: a new zero-filled heap block (at least one byte)
// replaces `buffer`, whose old block is freed. False when the heap is
// exhausted; the caller's block is then left as it was.
bool handOver(uint8_t*& buffer, const Bytes& out, int& outLength);

// A service-heap receive buffer: `data` joins the `length` bytes held so far
// (the block grows as needed); false when the heap is exhausted.
bool heapAppend(uint8_t*& block, int& length, const uint8_t* data, int count);
// Drops the first `count` held bytes, moving the rest to the front.
void heapDrop(uint8_t* block, int& length, int count);

// Frees the block and forgets what it held.
void heapRelease(uint8_t*& block, int& length);

// A user parameter "id:password": the id is the decimal number before the
// first ":" (at most 15 characters, read as strtol reads one), the password
// the text after it (at most 127 characters). False without a ":".
bool splitUserParam(const std::string& param, uint32_t& id, std::string& password);

// Trims blanks (space, tab, CR, LF) at both ends.
std::string trimBlanks(const std::string& text);

// Plugin names compare ASCII-case-insensitively: they are byte strings, and
// the locale must not decide whether two of them are equal.
bool equalsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace vantor::ssr
