// The service heap: every buffer of the sessions, ciphers and plugins comes
// from here zero-filled, and goes back here. Blocks remember their size so a
// reallocation can zero exactly the bytes it adds.
#pragma once

#include <cstddef>

namespace vantor::platform {

// Prepares the heap; later calls do nothing. Allocation works without it too.
void heapCreate(std::size_t initialSize);
void* heapAlloc(std::size_t size);                 // zero-filled; null on failure
void* heapRealloc(void* block, std::size_t size);  // new bytes zero-filled; null block allocates
void heapFree(void* block);                        // null is ignored
std::size_t heapBlockSize(const void* block);

}  // namespace vantor::platform
