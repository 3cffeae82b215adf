// MapFault: a Windows exception code's run-time error number.
#include "runtime/terminate/terminate.h"

// By the system's exception codes; the posix backend maps its signals
// onto the same numbers itself.
std::uint32_t MapFault(std::uint32_t exceptionCode) {
    switch (exceptionCode) {
    case 0xC0000005: return ErrorAccessViolation;
    case 0xC000008C: return ErrorArrayBounds;
    case 0xC000008D: return ErrorFloatUnderflow;         // denormal operand
    case 0xC000008E: return ErrorDivisionByZero;         // floating-point
    case 0xC000008F: return ErrorFloatInvalid;           // inexact result
    case 0xC0000090: return ErrorFloatInvalid;           // invalid operation
    case 0xC0000091: return ErrorFloatOverflow;
    case 0xC0000092: return ErrorFloatInvalid;           // stack check
    case 0xC0000093: return ErrorFloatUnderflow;
    case 0xC0000094: return ErrorDivisionByZero;         // integer
    case 0xC0000095: return ErrorIntOverflow;
    case 0xC0000096: return ErrorPrivilegedInstruction;
    case 0xC00000FD: return ErrorStackOverflow;
    default: return ErrorOtherException;
    }
}
