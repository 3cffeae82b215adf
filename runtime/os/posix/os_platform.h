// What the OS interface is on posix where platforms differ: byte-counted
// paths, a fault frame that is a plain link, arguments handed over split.
#pragma once

#include <cstddef>

// Puts a large zero-filled array after all other data in memory, so that
// the small variables a run touches share as few pages as can be: ELF
// programs lay out their data sorted by section name.
#define P5_LAST_IN_MEMORY(order) __attribute__((section(".bss.zz" order)))

// Per-thread storage, where threads can exist: a program linked without a
// C library has no way to start one, and no thread-local storage either.
#if defined(P5_OWN_START)
#define P5_PER_THREAD
#else
#define P5_PER_THREAD thread_local
#endif

namespace os {

// Longest file name a record can hold, terminating zero included: PATH_MAX.
inline constexpr std::size_t PathCapacity = 4096;

// A registration in the calling thread's chain of fault frames, in the
// frame of the block that makes it.
struct FrameLink {
    FrameLink* prev;
};

// The arguments arrive split: no command line, and the vector the entry
// point was given.
inline const char* CommandLine() { return nullptr; }
char** ArgumentVector(int* count);
void SetArgumentVector(int count, char** vector);  // the entry point only

}  // namespace os
