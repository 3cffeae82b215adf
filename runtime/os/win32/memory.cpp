// Address space for the heap on Windows: reserved, then committed page by
// page as the heap grows.
#include "runtime/os/backend.h"
#include "runtime/os/win32/win32.h"

namespace os {

Error backend::Reserve(std::size_t size, void** base) {
    void* p = VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
    if (p == nullptr) return GetLastError();
    *base = p;
    return 0;
}

Error backend::Commit(void* address, std::size_t size) {
    return VirtualAlloc(address, size, MEM_COMMIT, PAGE_READWRITE) != nullptr ? 0 : GetLastError();
}

Error backend::Release(void* base, std::size_t) {
    return VirtualFree(base, 0, MEM_RELEASE) ? 0 : GetLastError();
}

}  // namespace os
