// Direct Linux system calls, for the start-up and the small C library of
// programs linked without one (x86-64 and arm64). Only the calls whose
// numbers differ between the two are listed per architecture; both lack
// nothing the backend needs (open and readlink are reached through their
// *at forms, which both have).
#pragma once

namespace p5sys {

#if defined(__x86_64__)
enum Number : long {
    kRead = 0,
    kWrite = 1,
    kClose = 3,
    kFstat = 5,
    kMmap = 9,
    kMprotect = 10,
    kMunmap = 11,
    kRtSigaction = 13,
    kRtSigprocmask = 14,
    kIoctl = 16,
    kNanosleep = 35,
    kFcntl = 72,
    kFdatasync = 75,
    kFlock = 73,
    kSigaltstack = 131,
    kArchPrctl = 158,
    kExitGroup = 231,
    kOpenat = 257,
    kNewfstatat = 262,
    kReadlinkat = 267,
    kPpoll = 271,
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

#elif defined(__aarch64__)
enum Number : long {
    kDup3 = 24,
    kFcntl = 25,
    kIoctl = 29,
    kFlock = 32,
    kPpoll = 73,
    kOpenat = 56,
    kClose = 57,
    kRead = 63,
    kWrite = 64,
    kReadlinkat = 78,
    kFdatasync = 83,
    kNewfstatat = 79,
    kFstat = 80,
    kExitGroup = 94,
    kNanosleep = 101,
    kSigaltstack = 132,
    kRtSigaction = 134,
    kRtSigprocmask = 135,
    kMunmap = 215,
    kMmap = 222,
    kMprotect = 226,
};

inline long Call(long number, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0, long f = 0) {
    register long x8 __asm__("x8") = number;
    register long x0 __asm__("x0") = a;
    register long x1 __asm__("x1") = b;
    register long x2 __asm__("x2") = c;
    register long x3 __asm__("x3") = d;
    register long x4 __asm__("x4") = e;
    register long x5 __asm__("x5") = f;
    __asm__ volatile("svc #0"
                     : "+r"(x0)
                     : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4), "r"(x5)
                     : "memory", "cc");
    return x0;
}

#else
#error "no direct system calls for this architecture; build with P5_OWN_START off"
#endif

}  // namespace p5sys
