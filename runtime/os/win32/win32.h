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

// A name for the wide system calls, converted by the program itself (the
// system's conversion may substitute look-alike characters): 0, or
// ERROR_FILENAME_EXCED_RANGE past 259 units, ERROR_INVALID_NAME when the
// name is no WTF-8.
Error WidenPath(const char* path, WCHAR (&out)[MAX_PATH]);

// A file OpenExisting opened and Close has not released (holds.cpp): its
// identity, and its length as it was opened until a write forgets it.
struct FileIdentity {
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
    bool operator==(const FileIdentity&) const = default;
};

inline FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
    return {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

struct Opened {
    HANDLE handle;  // null: a free entry
    FileIdentity identity;
    std::uint64_t length;
    bool lengthKnown;
};

// Records a file just opened; false when too many are open already.
bool RememberOpened(HANDLE handle, const BY_HANDLE_FILE_INFORMATION& info);

// The entry of a handle OpenExisting gave, or null for any other handle.
Opened* FindOpened(HANDLE handle);

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
