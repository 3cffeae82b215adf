// FileLength: the length of an open binary file in records.
#include "runtime/fileio/fileio.h"
#include "runtime/fileio/iostatus.h"

// The whole 64-bit length: a file of 4 GiB + 500 bytes is never taken for
// a 500-byte one.
std::uint64_t FileLength(FileVar& file) {
    if (!IsOpenState(file.State)) {
        SetIoStatus(StatusNotOpen);
        return FileLengthFailed;
    }
    std::uint64_t size = 0;
    if (os::Error error = os::sys.FileSize(file.SysHandle, &size)) {
        SetIoStatus(error);
        return FileLengthFailed;
    }
    std::uint32_t recordSize = file.RecordSize != 0 ? file.RecordSize : 1;
    return size / recordSize;
}
