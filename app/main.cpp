// patch500's main block.
#include "runtime/terminate.h"

void ProgramMain() {
    os::FrameLink topLevel;  // the fault handler's registration, in this frame
    StartUp(topLevel);
    InitRuntime();
    ConsoleProgram = true;
    Terminate(0);
}
