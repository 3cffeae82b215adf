// RecheckName: whether a record's name still names the file it holds.
#include "runtime/fileio/fileio.h"
#include "runtime/fileio/iostatus.h"

void RecheckName(FileVar& file) {
    if (!IsOpenState(file.State)) {
        SetIoStatus(StatusNotOpen);
        return;
    }
    if (os::Error error = os::sys.NamesOpenFile(BoundName(file), file.SysHandle)) SetIoStatus(error);
}
