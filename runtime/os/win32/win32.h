// What the Windows backend's files share: the system headers, and the
// per-thread data in the module's static thread-local storage.
#pragma once

#include "runtime/os/os.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

extern "C" const char __ImageBase;  // the linker's name for the loaded image

namespace os {

struct PerThread {
    ThreadBlock block;
    FrameLink* innermostFrame;  // x64: the clean-up frames, innermost first
};

// The calling thread's copy of the thread-local image.
PerThread& CurrentPerThread();

// The thread's array of TLS slots, from its thread environment block.
inline char** TlsSlots() {
    char** slots;
#if defined(__x86_64__)
    __asm__("movq %%gs:0x58, %0" : "=r"(slots));
#else
    __asm__("movl %%fs:0x2C, %0" : "=r"(slots));
#endif
    return slots;
}

}  // namespace os
