// The console text files and their device routines: the open on standard
// output, and the write of the buffered bytes.
#include "runtime/fileio/fileio.h"
#include "runtime/fileio/iostatus.h"
#include "runtime/textio/textio.h"

constinit TextVar ConsoleIn = {};
constinit TextVar ConsoleOut = {};

// Opens on standard output. Only a character device gets its lines at
// each line end; files and pipes get them when the buffer fills or at close.
std::uint32_t TextDeviceOpen(FileHead& file) {
    file.TransferRoutine = TextDeviceWrite;
    file.FlushRoutine = NoOpRoutine;
    file.CloseRoutine = NoOpRoutine;

    os::Handle handle = os::InvalidHandle;
    if (os::Error error = os::sys.GetStdHandle(os::StdStream::Output, &handle)) {
        file.State = StateClosed;
        return error;
    }
    file.SysHandle = handle;
    switch (os::sys.GetFileType(handle)) {
    case os::FileType::Unknown:
        os::sys.Close(handle);
        file.State = StateClosed;
        return StatusNotOpenForOutput;
    case os::FileType::Char:
        file.FlushRoutine = TextDeviceWrite;
        return 0;
    default:
        return 0;
    }
}

// The buffered bytes are given up before the system call, whatever it
// reports, so a failed write never repeats them. A write that took only
// part of them (a disk filling up) has lost the rest: a short write.
std::uint32_t TextDeviceWrite(FileHead& file) {
    std::int32_t n = file.BufferPosition;
    if (n <= 0) return 0;
    file.BufferPosition = 0;
    std::uint32_t written = 0;
    auto bytes = static_cast<std::uint32_t>(n);
    os::Error error = os::sys.Write(file.SysHandle, file.BufferAddress, bytes, &written);
    if (error != 0) return error;
    return written == bytes ? 0 : StatusShortWrite;
}
