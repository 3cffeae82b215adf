// Process entry on Windows, in place of a C runtime's: on 32-bit Windows
// the system calls it with a stack aligned to 4 bytes only.
#include "runtime/os/os.h"

extern "C" __attribute__((force_align_arg_pointer, noreturn, used)) void Patch500Entry() {
    os::BindSystemCalls();
    ProgramMain();
    os::ExitProcess(0);
}
