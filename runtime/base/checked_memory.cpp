// The checked memory calls: the heap's refusals become run-time errors at
// the caller's site.
#include "runtime/base/checked_memory.h"

#include "runtime/base/heap.h"
#include "runtime/terminate/terminate.h"

__attribute__((noinline)) void* GetMemChecked(std::size_t size) {
    if (size == 0) return nullptr;
    void* block = HeapGet(size);
    if (block == nullptr) RaiseReasonAt(ReasonOutOfMemory, P5_RETURN_ADDRESS());
    return block;
}

__attribute__((noinline)) void FreeMemChecked(void* block) {
    if (block == nullptr) return;
    if (!HeapFree(block)) RaiseReasonAt(ReasonInvalidRelease, P5_RETURN_ADDRESS());
}
