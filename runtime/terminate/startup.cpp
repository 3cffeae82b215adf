// The start of the process: the runtime's globals, StartUp and
// InitRuntime.
#include "runtime/fileio/fileio.h"
#include "runtime/fileio/iostatus.h"
#include "runtime/terminate/terminate.h"
#include "runtime/textio/textio.h"

constinit std::uint32_t ExitStatus = 0;
constinit std::uintptr_t ErrorSite = 0;
constinit bool ConsoleProgram = false;
constinit os::FrameLink* TopLevelRegistration = nullptr;

void StartUp(os::FrameLink& top) {
    os::StartUp();
    os::InstallTopLevelHandler(top);
    TopLevelRegistration = &top;
}

void ResetFloatingPoint() { os::ResetFpu(DefaultFpuControl); }

void InitRuntime() {
    ExitStatus = 0;
    ErrorSite = 0;
    SetIoStatus(0);
    DefaultOpenMode = AccessReadWrite;
    ResetFloatingPoint();
    // Bound to the console, opened by the first write.
    AssignName(ConsoleIn, "");
    AssignName(ConsoleOut, "");
}
