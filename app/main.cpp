// patch500's main block.
#include "app/patch_command.h"
#include "runtime/terminate/terminate.h"

void ProgramMain() {
    os::FrameLink topLevel;  // the fault handler's registration, in this frame
    StartUp(topLevel);
    InitRuntime();
    ConsoleProgram = true;  // run-time errors are reported on standard output
    RunPatchCommand();
    Terminate(0);
}
