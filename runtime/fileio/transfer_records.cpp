// ReadRecords and WriteRecords: whole records, one system transfer each.
#include "runtime/fileio/fileio.h"
#include "runtime/fileio/iostatus.h"

namespace {

enum class Direction { Read, Write };

// Exactly one system call for the whole byte count; no loop, no retry.
std::uint32_t TransferRecords(FileVar& file, Direction direction, void* buffer,
                              std::uint32_t count, std::uint32_t* moved) {
    bool allowed = direction == Direction::Read
                       ? IsOpenState(file.State)
                       : file.State == StateOutput || file.State == StateInputOutput;
    if (!allowed) {
        SetIoStatus(StatusNotOpen);
        return 0;
    }
    // A record size of 0 is outside every caller's contract; it counts as
    // 1 rather than divide by zero.
    std::uint32_t recordSize = file.RecordSize != 0 ? file.RecordSize : 1;
    std::uint32_t bytes = count * recordSize;
    std::uint32_t done = 0;
    if (direction == Direction::Write) file.Written = true;
    os::Error error = direction == Direction::Read
                          ? os::sys.Read(file.SysHandle, buffer, bytes, &done)
                          : os::sys.Write(file.SysHandle, buffer, bytes, &done);
    if (error != 0) {
        SetIoStatus(error);
        return 0;
    }
    std::uint32_t records = done / recordSize;
    if (moved != nullptr) {
        *moved = records;
        return records;
    }
    if (records == count) return count;
    SetIoStatus(direction == Direction::Read ? StatusShortRead : StatusShortWrite);
    return 0;
}

}  // namespace

std::uint32_t ReadRecords(FileVar& file, void* buffer, std::uint32_t count, std::uint32_t* moved) {
    return TransferRecords(file, Direction::Read, buffer, count, moved);
}

std::uint32_t WriteRecords(FileVar& file, const void* buffer, std::uint32_t count,
                           std::uint32_t* moved) {
    return TransferRecords(file, Direction::Write, const_cast<void*>(buffer), count, moved);
}
