// CloseFileVar, and the close routines: of a record that holds a system
// handle, and of one with nothing to close.
#include "runtime/fileio/fileio.h"
#include "runtime/fileio/iostatus.h"
#include "runtime/textio/textio.h"

void CloseFileVar(FileHead& file) {
    if (file.State == StateOutput || file.State == StateInputOutput) {
        // A text file writes out its buffer; if that fails it stays open.
        if (std::uint32_t code = CallRoutine(file.TransferRoutine, file)) {
            SetIoStatus(code);
            return;
        }
    } else if (file.State != StateInput) {
        if (&file != &ConsoleIn) SetIoStatus(StatusNotOpen);
        return;
    }
    if (std::uint32_t code = CallRoutine(file.CloseRoutine, file)) SetIoStatus(code);
}

// The state changes first, so the record is closed even if the system
// reports a failure. What was written goes to stable storage before the
// handle is let go: a write-back failure is this close's, and the handle
// is released all the same.
std::uint32_t CloseHandleRoutine(FileHead& file) {
    file.State = StateClosed;
    if (file.Written) {
        file.Written = false;
        if (os::Error error = os::sys.FlushToDisk(file.SysHandle)) {
            os::sys.Close(file.SysHandle);
            return error;
        }
    }
    return os::sys.Close(file.SysHandle);
}

std::uint32_t NoOpRoutine(FileHead&) { return 0; }
