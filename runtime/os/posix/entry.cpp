// Process entry on POSIX: keep the argument vector, run the main block.
#include "runtime/os/os.h"

int main(int argc, char** argv) {
    os::BindSystemCalls();
    os::SetArgumentVector(argc, argv);
    ProgramMain();
    os::ExitProcess(0);
}
