// The memory routines the compiler may call on its own. Programs built
// without a C library (win32, and Linux with its own start-up) get them
// from here; the optimiser must not turn these very loops back into calls.
#include <cstddef>

#define P5_PLAIN_LOOPS __attribute__((optimize("no-tree-loop-distribute-patterns"), used))

extern "C" {

P5_PLAIN_LOOPS void* memcpy(void* target, const void* source, std::size_t n) {
    auto* t = static_cast<unsigned char*>(target);
    auto* s = static_cast<const unsigned char*>(source);
    while (n--) *t++ = *s++;
    return target;
}

P5_PLAIN_LOOPS void* memmove(void* target, const void* source, std::size_t n) {
    auto* t = static_cast<unsigned char*>(target);
    auto* s = static_cast<const unsigned char*>(source);
    if (t < s) {
        while (n--) *t++ = *s++;
    } else {
        while (n--) t[n] = s[n];
    }
    return target;
}

P5_PLAIN_LOOPS void* memset(void* target, int value, std::size_t n) {
    auto* t = static_cast<unsigned char*>(target);
    while (n--) *t++ = static_cast<unsigned char>(value);
    return target;
}

P5_PLAIN_LOOPS int memcmp(const void* a, const void* b, std::size_t n) {
    auto* x = static_cast<const unsigned char*>(a);
    auto* y = static_cast<const unsigned char*>(b);
    for (; n != 0; --n, ++x, ++y) {
        if (*x != *y) return *x < *y ? -1 : 1;
    }
    return 0;
}

P5_PLAIN_LOOPS std::size_t strlen(const char* text) {
    std::size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}
}
