// patch500's main block.
#include "app/patch_command.h"
#include "runtime/terminate/terminate.h"

void ProgramMain() {
    ConsoleMainBlock start;
    RunPatchCommand();
    Terminate(0);
}
