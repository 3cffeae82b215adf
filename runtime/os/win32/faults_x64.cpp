// Faults on 64-bit Windows, which has no chain of registrations to join:
// the last-resort handler is a vectored one, and the clean-up frames are
// the runtime's own per-thread list, run innermost first by that handler
// before the process shuts down.
//
// Why vectored: a frame's handler on x64 is found by walking the stack
// through the routines' unwind data, and that walk needs stack of its own;
// after a stack overflow there may be none left (Wine's 64-bit dispatcher
// ends the process before reaching the handler). The vectored handler is
// called before any walk. It is called for every exception, first, so it
// leaves alone what arises in another module's code, which that module may
// handle; a stack overflow is always the program's.
#include "runtime/os/win32/win32.h"
#include "runtime/terminate/error_numbers.h"

namespace os {
namespace {

constinit bool topLevelActive = false;

// Code of a module other than the program: a system routine, which may
// handle its own faults. The program's image, memory of no image, and no
// memory at all (a call through a null pointer) are the program's.
bool InOtherModule(const void* address) {
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(address, &region, sizeof region) == 0 || region.Type != MEM_IMAGE) {
        return false;
    }
    return region.AllocationBase != &__ImageBase;
}

LONG CALLBACK TopLevelHandler(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    std::uint32_t code = record->ExceptionCode;
    auto address = reinterpret_cast<std::uintptr_t>(record->ExceptionAddress);
    if (!topLevelActive ||
        (code != EXCEPTION_STACK_OVERFLOW && InOtherModule(record->ExceptionAddress))) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    // A fault during clean-up or shutdown comes here again; one that keeps
    // recurring must not run the stack out.
    static constinit int depth = 0;
    if (++depth > 4) os::ExitProcess(ErrorOtherException);
    ResetFloatingPoint();
    // Each frame leaves the list before its clean-up runs, so a fault
    // inside clean-up work never enters it again.
    PerThread& thread = CurrentPerThread();
    while (FrameLink* frame = thread.innermostFrame) {
        thread.innermostFrame = frame->prev;
        RunFrameCleanup(*frame);
    }
    RunTimeErrorAt(MapFault(code), address);
}

}  // namespace

void InstallTopLevelHandler(FrameLink& top) {
    top.prev = nullptr;
    topLevelActive = AddVectoredExceptionHandler(0, TopLevelHandler) != nullptr;
}

// Marked rather than unregistered: the process ends right after. A fault
// from here on gets the system's default handling, as with no handler.
void RemoveTopLevelHandler(FrameLink&) { topLevelActive = false; }

void LinkFrame(FrameLink& frame) {
    PerThread& thread = CurrentPerThread();
    frame.prev = thread.innermostFrame;
    thread.innermostFrame = &frame;
}

void UnlinkFrame(FrameLink& frame) {
    PerThread& thread = CurrentPerThread();
    if (thread.innermostFrame == &frame) thread.innermostFrame = frame.prev;
}

}  // namespace os
