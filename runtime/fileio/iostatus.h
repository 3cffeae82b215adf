// The per-thread I/O status: 0 for none, set by failures, never cleared
// by success.
#pragma once

#include <cstdint>

// Fixed status numbers; every other code is the system's own.
inline constexpr std::uint32_t StatusShortRead = 100;
inline constexpr std::uint32_t StatusShortWrite = 101;
inline constexpr std::uint32_t StatusNeverBound = 102;
inline constexpr std::uint32_t StatusNotOpen = 103;
inline constexpr std::uint32_t StatusNotOpenForOutput = 105;

// The OS layer hands back the system's last-error code with every failed
// call, so storing "from the last error" is storing that code here.
void SetIoStatus(std::uint32_t code);
std::uint32_t TakeIoStatus();
std::uint32_t PeekIoStatus();  // for tests and diagnostics; clears nothing

// A non-zero IoStatus becomes a run-time error with that number, sited
// just behind the call of CheckIo in the caller. IoStatus is not cleared.
void CheckIo();
