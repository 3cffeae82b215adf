#include "runtime/terminate/terminate.h"

std::uint32_t MapFault(std::uint32_t exceptionCode) {
    switch (exceptionCode) {
    case 0xC0000005: return 216;  // access violation
    case 0xC000008C: return 201;  // array bounds exceeded
    case 0xC000008D: return 206;  // floating-point denormal operand
    case 0xC000008E: return 200;  // floating-point division by zero
    case 0xC000008F: return 207;  // floating-point inexact result
    case 0xC0000090: return 207;  // floating-point invalid operation
    case 0xC0000091: return 205;  // floating-point overflow
    case 0xC0000092: return 207;  // floating-point stack check
    case 0xC0000093: return 206;  // floating-point underflow
    case 0xC0000094: return 200;  // integer division by zero
    case 0xC0000095: return 215;  // integer overflow
    case 0xC0000096: return 218;  // privileged instruction
    case 0xC00000FD: return 202;  // stack overflow
    default: return 217;
    }
}
