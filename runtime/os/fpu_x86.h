// The x86 floating-point units' settings, shared by the backends that run
// on x86. Included only where __i386__ or __x86_64__ is defined.
#pragma once

#include <cstdint>

namespace os {

// Initialises the x87 unit and loads `control`. Where arithmetic is done
// on the SSE unit (always on x86-64), it gets the same exception masks and
// rounding, its pending flags cleared.
inline void LoadX86FpuControl(std::uint16_t control) {
    __asm__ volatile("fninit\n\tfwait\n\tfldcw %0" : : "m"(control));
#if defined(__SSE_MATH__)
    std::uint32_t csr = 0;
    __asm__ volatile("stmxcsr %0" : "=m"(csr));
    csr &= ~(0x1F80u | 0x6000u | 0x3Fu);
    csr |= (control & 0x3Fu) << 7;
    csr |= ((control >> 10) & 3u) << 13;
    __asm__ volatile("ldmxcsr %0" : : "m"(csr));
#endif
}

}  // namespace os
