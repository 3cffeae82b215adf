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

#if defined(__i386__)
// 64-bit unsigned division, which 32-bit x86 has no instruction for; the
// compiler's own helper would bring its unwind tables along. The
// schoolbook loop: only a file length divided by its record size uses it.
P5_PLAIN_LOOPS unsigned long long __udivdi3(unsigned long long n, unsigned long long d) {
    unsigned long long quotient = 0, remainder = 0;
    for (int bit = 63; bit >= 0; --bit) {
        remainder = (remainder << 1) | ((n >> bit) & 1);
        if (remainder >= d) {
            remainder -= d;
            quotient |= 1ull << bit;
        }
    }
    return quotient;
}
#endif
}
