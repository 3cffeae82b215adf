#include "runtime/fileio.h"
#include "runtime/textio.h"

void AssignName(FileHead& file, const char* name) {
    file.SysHandle = 0;
    file.State = StateClosed;
    file.RecordSize = TextBufferSize;
    file.BufferPosition = 0;
    file.BufferFill = 0;
    // Where a TextVar keeps its buffer; a FileVar never reads it.
    file.BufferAddress = reinterpret_cast<char*>(&file) + sizeof(FileHead);
    file.OpenRoutine = TextDeviceOpen;
    file.TransferRoutine = nullptr;
    file.FlushRoutine = nullptr;
    file.CloseRoutine = nullptr;

    file.PathName[0] = 0;
    file.PathTooLong = false;
    if (name == nullptr) return;
    for (std::size_t i = 0; i < os::PathCapacity; ++i) {
        file.PathName[i] = name[i];
        if (name[i] == 0) {
            file.PathTooLong = !os::NameWithinLimit(file.PathName, i);
            return;
        }
    }
    // Never keep a prefix: it could name another file.
    file.PathName[os::PathCapacity - 1] = 0;
    file.PathTooLong = true;
}
