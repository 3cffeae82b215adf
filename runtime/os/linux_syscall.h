// Direct Linux system calls on x86-64, for the start-up and the small C
// library of programs linked without one.
#pragma once

namespace p5sys {

enum Number : long {
    kRead = 0,
    kWrite = 1,
    kClose = 3,
    kFstat = 5,
    kPoll = 7,
    kMmap = 9,
    kMprotect = 10,
    kMunmap = 11,
    kRtSigaction = 13,
    kRtSigprocmask = 14,
    kFcntl = 72,
    kFlock = 73,
    kReadlink = 89,
    kSigaltstack = 131,
    kArchPrctl = 158,
    kExitGroup = 231,
    kOpenat = 257,
    kDup3 = 292,
};

// Returns the kernel's result: a negative errno on failure.
inline long Call(long number, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0, long f = 0) {
    register long r10 __asm__("r10") = d;
    register long r8 __asm__("r8") = e;
    register long r9 __asm__("r9") = f;
    long result;
    __asm__ volatile("syscall"
                     : "=a"(result)
                     : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8), "r"(r9)
                     : "rcx", "r11", "memory");
    return result;
}

}  // namespace p5sys
