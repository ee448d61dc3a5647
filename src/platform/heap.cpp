#include "platform/heap.h"

#include <cstdlib>
#include <cstring>

namespace vantor::platform {
namespace {
// Each block carries its size in a header that keeps the payload 16-byte aligned.
struct alignas(16) Header {
  std::size_t size;
};
Header* headerOf(const void* block) {
  return reinterpret_cast<Header*>(const_cast<char*>(static_cast<const char*>(block)) - sizeof(Header));
}
}  // namespace

void heapCreate(std::size_t) {
  // The general allocator grows on demand and keeps freed blocks for reuse,
  // which is what a private growable heap gives; nothing to reserve up front.
}

void* heapAlloc(std::size_t size) {
  auto* h = static_cast<Header*>(std::calloc(1, sizeof(Header) + size));
  if (!h) return nullptr;
  h->size = size;
  return h + 1;
}

void* heapRealloc(void* block, std::size_t size) {
  if (!block) return heapAlloc(size);
  Header* old = headerOf(block);
  std::size_t oldSize = old->size;
  auto* h = static_cast<Header*>(std::realloc(old, sizeof(Header) + size));
  if (!h) return nullptr;
  if (size > oldSize) std::memset(reinterpret_cast<char*>(h + 1) + oldSize, 0, size - oldSize);
  h->size = size;
  return h + 1;
}

void heapFree(void* block) {
  if (block) std::free(headerOf(block));
}

std::size_t heapBlockSize(const void* block) { return block ? headerOf(block)->size : 0; }

}  // namespace vantor::platform
