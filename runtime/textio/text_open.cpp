// Opening a text file in a state, and for output: the record's own open
// routine does the work.
#include "runtime/fileio/fileio.h"
#include "runtime/fileio/iostatus.h"
#include "runtime/textio/textio.h"

void OpenTextMode(TextVar& file, std::uint32_t requestedState) {
    if (IsOpenState(file.State)) {
        CloseFileVar(file);  // a failed close is kept in IoStatus
    } else if (file.State != StateClosed) {
        SetIoStatus(StatusNeverBound);
        return;
    }
    file.State = requestedState;
    if (std::uint32_t code = CallRoutine(file.OpenRoutine, file)) SetIoStatus(code);
}

void OpenTextWrite(TextVar& file) { OpenTextMode(file, StateOutput); }
