// The heap behind dynamic strings. It takes 1 MB regions of address space
// from the system, commits them as it carves, keeps a free list per block
// size, and gives everything back once, at termination. No C library
// allocator underneath, so the fault path may use it. Single-threaded.
#pragma once

#include <cstddef>

void* HeapGet(std::size_t size);  // null when the system has no memory
bool HeapFree(void* block);       // false for a block it did not hand out
void HeapReleaseAll();
