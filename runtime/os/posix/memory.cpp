// Address space for the heap on posix: anonymous private mappings.
#include "runtime/os/backend.h"
#include "runtime/os/posix/calls.h"

#include <sys/mman.h>

#include <cerrno>

namespace os {

// Linux commits anonymous pages on first touch, so a reservation is
// mapped readable and writable at once and Commit has nothing to do.
Error backend::Reserve(std::size_t size, void** base) {
    void* p = posixCalls.Mmap(nullptr, size, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return errno;
    *base = p;
    return 0;
}

Error backend::Commit(void*, std::size_t) { return 0; }

Error backend::Release(void* base, std::size_t size) {
    return posixCalls.Munmap(base, size) == 0 ? 0 : errno;
}

}  // namespace os
