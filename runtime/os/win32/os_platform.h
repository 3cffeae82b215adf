// What the OS interface is on Windows where platforms differ: paths
// counted in UTF-16 units, the system's own fault registrations on 32-bit
// x86, and one command line for the program to split.
#pragma once

#include <cstddef>

// No need to order data on Windows: the image keeps it in one section.
#define P5_LAST_IN_MEMORY(order)

namespace os {

// Longest file name a record can hold, terminating zero included: MAX_PATH
// UTF-16 units with the terminator, and in the UTF-8 code page one unit
// takes up to three bytes.
inline constexpr std::size_t PathCapacity = 3 * 259 + 1;

// A registration in the calling thread's chain of fault frames, in the
// frame of the block that makes it. On 32-bit Windows it is the system's
// own exception registration record, so the layout is fixed.
struct FrameLink {
    FrameLink* prev;
#if defined(__i386__)
    void* handler;
#endif
};

// The process command line, one string; no argument vector. What the
// platform lacks is known at compile time, so the code that would read it
// is not linked in.
const char* CommandLine();
inline char** ArgumentVector(int* count) {
    *count = 0;
    return nullptr;
}

}  // namespace os
