// The floating-point unit's settings on every processor the posix backend
// runs on: x87 and SSE, ARM's control register, RISC-V's.
#include "runtime/os/os.h"
#if defined(__x86_64__) || defined(__i386__)
#include "runtime/os/fpu_x86.h"
#endif

namespace os {

// The x87 control word's exception masks (bit clear: the exception traps),
// as trap-enable bits of an ARM floating-point control register: invalid,
// division by zero, overflow, underflow, inexact, denormal.
[[maybe_unused]] std::uint32_t ArmTrapEnables(std::uint16_t control) {
    constexpr struct { std::uint16_t mask; std::uint32_t enable; } kBits[] = {
        {1u << 0, 1u << 8}, {1u << 2, 1u << 9}, {1u << 3, 1u << 10},
        {1u << 4, 1u << 11}, {1u << 5, 1u << 12}, {1u << 1, 1u << 15},
    };
    std::uint32_t enables = 0;
    for (const auto& bit : kBits) {
        if ((control & bit.mask) == 0) enables |= bit.enable;
    }
    return enables;
}

// Rounding to nearest everywhere, pending flags cleared. Trapping is what
// the platform allows: x87 and SSE trap as the control word says; ARM
// cores mostly ignore the trap-enable bits, and RISC-V has none.
void ResetFpu(std::uint16_t control) {
#if defined(__x86_64__) || defined(__i386__)
    LoadX86FpuControl(control);
#elif defined(__aarch64__)
    std::uint64_t fpcr = 0;
    __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
    fpcr &= ~std::uint64_t{(3u << 22) | 0x9F00u};
    fpcr |= ArmTrapEnables(control);
    __asm__ volatile("msr fpcr, %0\n\tmsr fpsr, xzr" : : "r"(fpcr));
#elif defined(__arm__) && defined(__ARM_FP)
    std::uint32_t fpscr = 0;
    __asm__ volatile("vmrs %0, fpscr" : "=r"(fpscr));
    fpscr &= ~((3u << 22) | 0x9F00u | 0x9Fu);
    fpscr |= ArmTrapEnables(control);
    __asm__ volatile("vmsr fpscr, %0" : : "r"(fpscr));
#elif defined(__riscv) && defined(__riscv_flen)
    (void)control;
    __asm__ volatile("csrw fcsr, zero");
#else
    (void)control;
#endif
}

}  // namespace os
