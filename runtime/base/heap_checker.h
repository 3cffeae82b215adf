// What the heap tells a memory checker of its blocks: memcheck in
// patch500_memcheck (P5_MEMCHECK), AddressSanitizer in a sanitized build.
// A caller may touch the bytes it asked for and no more; headers, slack,
// freed blocks and uncarved memory stay closed. In any other build these
// are empty and the program is the same to the byte.
#pragma once

#include <cstddef>

// GCC names AddressSanitizer by a macro, older clang only by a feature test.
#if defined(__SANITIZE_ADDRESS__)
#define P5_HEAP_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define P5_HEAP_ASAN 1
#endif
#endif

#if defined(P5_MEMCHECK)
#include <valgrind/memcheck.h>
#elif defined(P5_HEAP_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace heapcheck {

// The heap's own bytes: no caller touches them, the heap only between
// Open and Close.
inline void Close([[maybe_unused]] const void* at, [[maybe_unused]] std::size_t bytes) {
#if defined(P5_MEMCHECK)
    VALGRIND_MAKE_MEM_NOACCESS(at, bytes);
#elif defined(P5_HEAP_ASAN)
    ASAN_POISON_MEMORY_REGION(at, bytes);
#endif
}

inline void Open([[maybe_unused]] const void* at, [[maybe_unused]] std::size_t bytes) {
#if defined(P5_MEMCHECK)
    VALGRIND_MAKE_MEM_DEFINED(at, bytes);
#elif defined(P5_HEAP_ASAN)
    ASAN_UNPOISON_MEMORY_REGION(at, bytes);
#endif
}

// A value where a header may or may not stand, read without the checker
// seeing it: the heap must look before it knows what the bytes are, and
// opening them could open a live block's neighbour.
template <typename T>
#if defined(P5_HEAP_ASAN) && !defined(P5_MEMCHECK)
__attribute__((no_sanitize_address))
#endif
inline T Peek(const T& at) {
#if defined(P5_MEMCHECK)
    VALGRIND_DISABLE_ADDR_ERROR_REPORTING_IN_RANGE(&at, sizeof at);
    T value = *static_cast<const volatile T*>(&at);
    VALGRIND_ENABLE_ADDR_ERROR_REPORTING_IN_RANGE(&at, sizeof at);
    return value;
#else
    return at;
#endif
}

// A block handed out: `bytes` open from `at`, memcheck counts it in use.
inline void Given([[maybe_unused]] void* at, [[maybe_unused]] std::size_t bytes) {
#if defined(P5_MEMCHECK)
    VALGRIND_MALLOCLIKE_BLOCK(at, bytes, 0, 0);
#elif defined(P5_HEAP_ASAN)
    ASAN_UNPOISON_MEMORY_REGION(at, bytes);
#endif
}

// A block taken back; `bytes` is all it may span, up to its class.
inline void Taken([[maybe_unused]] void* at, [[maybe_unused]] std::size_t bytes) {
#if defined(P5_MEMCHECK)
    VALGRIND_FREELIKE_BLOCK(at, 0);
#elif defined(P5_HEAP_ASAN)
    ASAN_POISON_MEMORY_REGION(at, bytes);
#endif
}

// A release the heap refused: memcheck reports it as an invalid free,
// with the caller's stack. (The sanitizer has no call for that; the
// run-time error stands alone there.)
inline void Refused([[maybe_unused]] void* at) {
#if defined(P5_MEMCHECK)
    VALGRIND_FREELIKE_BLOCK(at, 0);
#endif
}

// Memory going back to the system, or the program's own region starting
// over: the sanitizer's marks must not outlive it. Memcheck forgets a
// mapping by itself, and keeps the blocks still in it counted as in use
// at exit, as they should be.
inline void Forget([[maybe_unused]] const void* at, [[maybe_unused]] std::size_t bytes) {
#if defined(P5_HEAP_ASAN) && !defined(P5_MEMCHECK)
    ASAN_UNPOISON_MEMORY_REGION(at, bytes);
#endif
}

}  // namespace heapcheck
