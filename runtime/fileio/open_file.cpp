// Opening binary files: OpenExisting, and the open with an access of
// DefaultOpenMode under it, which waits out another program's brief hold.
#include "runtime/fileio/fileio.h"
#include "runtime/fileio/iostatus.h"

constinit std::uint8_t DefaultOpenMode = AccessReadWrite;

namespace {
constexpr OpenState kStateOfKind[] = {StateInput, StateOutput, StateInputOutput};
constexpr os::Access kAccessOfKind[] = {os::Access::Read, os::Access::Write, os::Access::ReadWrite};

// Virus scanners, indexers, backup clients and previews open a file for a
// few tens of milliseconds without sharing it: the open is tried again
// after each of these pauses, about half a second in all, before a hold
// counts as a refusal. A file this process holds itself is refused at
// once: no pause would release it.
constexpr std::uint16_t kHoldPausesMs[] = {10, 20, 40, 80, 150, 200};

os::Error OpenWaitingOutBriefHold(FileVar& file, const char* name, os::Access access,
                                  os::Handle* handle) {
    os::Error error = os::sys.OpenExisting(name, access, handle);
    if (error == 0 || !os::IsSharingError(error) || os::sys.HeldHere(name)) return error;
    file.WaitedForHold = true;
    for (std::uint16_t pause : kHoldPausesMs) {
        os::sys.Pause(pause);
        error = os::sys.OpenExisting(name, access, handle);
        if (error == 0 || !os::IsSharingError(error)) break;
    }
    return error;
}
}  // namespace

void OpenWithAccess(FileVar& file, std::uint32_t recordSize, std::uint8_t kind) {
    if (IsOpenState(file.State)) {
        // Reopening closes first; its failure is kept, the open goes on.
        if (std::uint32_t code = CallRoutine(file.CloseRoutine, file)) SetIoStatus(code);
    } else if (file.State != StateClosed) {
        SetIoStatus(StatusNeverBound);
        return;
    }
    if (kind > AccessReadWrite) kind = AccessReadWrite;

    file.State = StateInputOutput;
    file.RecordSize = recordSize;
    file.CloseRoutine = CloseHandleRoutine;
    file.TransferRoutine = NoOpRoutine;
    file.Written = false;
    file.WaitedForHold = false;

    os::Handle handle = os::InvalidHandle;
    os::Error error;
    if (file.PathTooLong) {
        file.State = kStateOfKind[kind];
        error = os::NameTooLongError;
    } else if (const char* name = BoundName(file); name[0] != 0) {
        file.State = kStateOfKind[kind];
        error = OpenWaitingOutBriefHold(file, name, kAccessOfKind[kind], &handle);
    } else {
        // A standard handle is never closed by its record.
        file.CloseRoutine = NoOpRoutine;
        error = os::sys.GetStdHandle(os::StdStream::Input, &handle);
    }
    if (error != 0) {
        file.State = StateClosed;
        SetIoStatus(error);
        return;
    }
    file.SysHandle = handle;
}

void OpenExisting(FileVar& file, std::uint32_t recordSize) {
    OpenWithAccess(file, recordSize, DefaultOpenMode);
}
