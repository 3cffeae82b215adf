// AssignName: binds a record to a name, keeping a long one on the heap and
// marking one the system would not take whole.
#include "runtime/base/checked_memory.h"
#include "runtime/base/text_length.h"
#include "runtime/fileio/fileio.h"
#include "runtime/textio/textio.h"

void AssignName(FileHead& file, const char* name) {
    // A never-bound record's fields hold nothing of its own to give back.
    char* previousLongName = IsBound(file.State) ? file.LongPathName : nullptr;

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
    file.Written = false;
    file.WaitedForHold = false;
    file.LongPathName = nullptr;
    std::size_t length = name != nullptr ? TextLength(name) : 0;
    if (length >= os::PathCapacity) {
        file.PathTooLong = true;  // never keep a prefix: it could name another file
    } else if (length > 0) {
        char* kept = file.PathName;
        if (length >= InlinePathCapacity) {
            kept = file.LongPathName = static_cast<char*>(GetMemChecked(length + 1));
        }
        __builtin_memcpy(kept, name, length + 1);
        file.PathTooLong = !os::NameWithinLimit(kept, length);
    }
    FreeMemChecked(previousLongName);
}
