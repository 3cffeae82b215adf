// The I/O status in the thread's block, and CheckIo, which turns it into
// a run-time error.
#include "runtime/fileio/iostatus.h"

#include "runtime/os/os.h"
#include "runtime/terminate/terminate.h"

void SetIoStatus(std::uint32_t code) { os::CurrentThreadBlock().IoStatus = code; }

std::uint32_t TakeIoStatus() {
    os::ThreadBlock& block = os::CurrentThreadBlock();
    std::uint32_t code = block.IoStatus;
    block.IoStatus = 0;
    return code;
}

std::uint32_t PeekIoStatus() { return os::CurrentThreadBlock().IoStatus; }

// Never inlined: the site of the error is this call's return address.
__attribute__((noinline)) void CheckIo() {
    if (os::CurrentThreadBlock().IoStatus != 0) {
        RaiseReasonAt(ReasonIoStatus, P5_RETURN_ADDRESS());
    }
}
