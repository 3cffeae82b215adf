// Start-up, termination and run-time errors.
//
// Every end of the process goes through Shutdown: report a recorded
// run-time error, close the console text files (writing out pending
// output), give back the heap, remove the fault handler, exit.
#pragma once

#include <cstdint>

#include "runtime/os/os.h"
#include "runtime/terminate/error_numbers.h"

// The code address to which the current function returns: an error site.
// A macro, so it is taken in the frame that uses it. 32-bit ARM keeps the
// Thumb state in bit 0 of a return address; the code address is without it.
#if defined(__arm__)
#define P5_RETURN_ADDRESS() \
    (reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)) & ~std::uintptr_t{1})
#else
#define P5_RETURN_ADDRESS() reinterpret_cast<std::uintptr_t>(__builtin_return_address(0))
#endif

extern constinit std::uint32_t ExitStatus;
extern constinit std::uintptr_t ErrorSite;  // 0: no run-time error
extern constinit bool ConsoleProgram;       // clear: report in a message box

// Invalid operation, division by zero and overflow raise faults; denormal,
// underflow and precision are masked; 64-bit significand; round to nearest.
inline constexpr std::uint16_t DefaultFpuControl = 0x1332;

// The report of a run-time error: the number's digits end at position 17,
// the address's eight at 29.
inline constexpr std::uint32_t ErrorLineLength = 29;
inline constexpr char ErrorLineTemplate[ErrorLineLength + 1] = "Runtime error     at 00000000";
// The template, filled in place by FillErrorLine.
extern constinit char ErrorLine[ErrorLineLength + 1];

// Fills ErrorLine with the error number and the site's distance from the
// code start, in 32-bit arithmetic.
void FillErrorLine(std::uint32_t number, std::uintptr_t site, std::uintptr_t codeStart);


// The main block's first two calls. `top` is the fault handler's
// registration and lives in the main block's frame.
void StartUp(os::FrameLink& top);
void InitRuntime();

// A main block's start, declared first in ProgramMain: StartUp with the
// registration this object holds, in the main block's own frame, then
// InitRuntime; run-time errors are reported on standard output.
class ConsoleMainBlock {
public:
    ConsoleMainBlock() {
        StartUp(topLevel_);
        InitRuntime();
        ConsoleProgram = true;
    }
    ConsoleMainBlock(const ConsoleMainBlock&) = delete;
    ConsoleMainBlock& operator=(const ConsoleMainBlock&) = delete;

private:
    os::FrameLink topLevel_;
};

// The ends of the process; each enters Shutdown and none returns. The
// routes are drawn at Shutdown (shutdown.cpp). RunTimeErrorAt, the form
// with a given site, is declared with the OS layer's calls upward (os.h).
[[noreturn]] void Terminate(std::uint32_t status);
[[noreturn]] void RunTimeError(std::uint32_t number);

enum RaiseReasonCode : std::uint32_t {
    ReasonIoStatus = 0,        // error number: IoStatus, whole
    ReasonOutOfMemory = 1,     // ErrorOutOfMemory
    ReasonInvalidRelease = 2,  // ErrorInvalidRelease
};
[[noreturn]] void RaiseReason(std::uint32_t reason);
// The same, with the site given by a routine that checks on behalf of
// its caller (CheckIo, the checked memory calls).
[[noreturn]] void RaiseReasonAt(std::uint32_t reason, std::uintptr_t site);

[[noreturn]] void Shutdown(std::uint32_t status);

// The registration StartUp made, which Shutdown removes; null before.
extern constinit os::FrameLink* TopLevelRegistration;
