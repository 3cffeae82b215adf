// The run-time error numbers of faults and of the heap, by the condition
// that raises them. A failed checked I/O operation's number is its
// IoStatus instead.
#pragma once

#include <cstdint>

enum RunTimeErrorNumber : std::uint32_t {
    ErrorDivisionByZero = 200,         // integer or floating-point
    ErrorArrayBounds = 201,            // array bounds exceeded fault
    ErrorStackOverflow = 202,
    ErrorOutOfMemory = 203,            // a dynamic string's memory request
    ErrorInvalidRelease = 204,         // the heap refused to release a block
    ErrorFloatOverflow = 205,
    ErrorFloatUnderflow = 206,         // or denormal operand
    ErrorFloatInvalid = 207,           // or stack check, or inexact result
    ErrorIntOverflow = 215,            // integer overflow fault
    ErrorAccessViolation = 216,
    ErrorOtherException = 217,         // any other exception
    ErrorPrivilegedInstruction = 218,
};
