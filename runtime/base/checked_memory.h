// The memory calls of dynamic strings: a request the heap cannot satisfy
// is run-time error 203, a release it refuses is 204, each sited at the
// return address of the checked call.
#pragma once

#include <cstddef>

void* GetMemChecked(std::size_t size);  // size 0: null, heap not asked
void FreeMemChecked(void* block);       // null: nothing
