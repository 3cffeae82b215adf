// File records shared by binary files and text files.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/os/os.h"

// State word of a file record; any other value means never bound.
enum OpenState : std::uint32_t {
    StateClosed = 0xD7B0,
    StateInput = 0xD7B1,
    StateOutput = 0xD7B2,
    StateInputOutput = 0xD7B3,
};

inline bool IsOpenState(std::uint32_t state) {
    return state >= StateInput && state <= StateInputOutput;
}

inline bool IsBound(std::uint32_t state) {
    return state >= StateClosed && state <= StateInputOutput;
}

enum AccessKind : std::uint8_t {
    AccessRead = 0,
    AccessWrite = 1,
    AccessReadWrite = 2,
};

struct FileHead;

// Names of up to 259 bytes live in the record itself.
inline constexpr std::size_t InlinePathCapacity = 260;

// Every routine slot takes its record and returns 0 or an error code.
using FileRoutine = std::uint32_t (*)(FileHead& file);

struct FileHead {
    os::Handle SysHandle;
    std::uint32_t State;
    std::uint32_t RecordSize;
    std::int32_t BufferPosition;
    std::int32_t BufferFill;
    char* BufferAddress;
    FileRoutine OpenRoutine;
    FileRoutine TransferRoutine;
    FileRoutine FlushRoutine;
    FileRoutine CloseRoutine;
    // Set when the bound name is longer than the system takes: every open
    // then fails rather than reach a file named by a truncated prefix.
    bool PathTooLong;
    // Set by a write since the open: the close then takes the data through
    // to stable storage first, and a read-only use costs nothing.
    bool Written;
    // Set when the open had to wait out another program's hold: meanwhile
    // an earlier-opened file's name may have passed to another file.
    bool WaitedForHold;
    // A name too long for PathName, up to the system's limit, is kept whole
    // in a block of the runtime's heap that the record owns; null otherwise.
    // So a record stays small, and a run's records share one page.
    char* LongPathName;
    char PathName[InlinePathCapacity];
};

// The name a record is bound to; empty means a standard handle.
inline const char* BoundName(const FileHead& file) {
    return file.LongPathName != nullptr ? file.LongPathName : file.PathName;
}

// An untyped binary file: the head alone.
struct FileVar : FileHead {};

inline constexpr std::uint32_t TextBufferSize = 128;

struct TextVar : FileHead {
    char TextBuffer[TextBufferSize];
};
