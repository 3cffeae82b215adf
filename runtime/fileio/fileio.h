// Untyped binary files. No operation fails by itself: each stores a code
// in IoStatus and returns normally.
#pragma once

#include <cstdint>

#include "runtime/fileio/filehead.h"

// The access kind with which OpenExisting opens; above 2 acts as 2.
extern constinit std::uint8_t DefaultOpenMode;

inline constexpr std::uint64_t FileLengthFailed = ~std::uint64_t{0};

// Records of one byte: lengths and transfers count bytes.
inline constexpr std::uint32_t ByteRecords = 1;

// Binds a FileVar or TextVar to a name; null or empty means a standard
// handle. Forgets an open handle without closing it. Never fails.
void AssignName(FileHead& file, const char* name);

void OpenExisting(FileVar& file, std::uint32_t recordSize);
void OpenWithAccess(FileVar& file, std::uint32_t recordSize, std::uint8_t kind);

// Whether the last open of `file` had to wait out another program's hold.
inline bool WaitedForHold(const FileVar& file) { return file.WaitedForHold; }

// Stores a code when the record's name no longer names the file it has
// open (renamed over, or removed), or 103 when it is not open.
void RecheckName(FileVar& file);

// One system transfer of count records. With `moved`, it receives the
// whole records moved; without, fewer than count is a short read (100) or
// short write (101). Result: records moved, 0 after any failure.
std::uint32_t ReadRecords(FileVar& file, void* buffer, std::uint32_t count, std::uint32_t* moved);
std::uint32_t WriteRecords(FileVar& file, const void* buffer, std::uint32_t count, std::uint32_t* moved);

// The full length in whole records, or FileLengthFailed.
std::uint64_t FileLength(FileVar& file);

// Closes a FileVar or TextVar; a text file writes out its buffer first.
void CloseFileVar(FileHead& file);

// Routine slot values of this part.
std::uint32_t CloseHandleRoutine(FileHead& file);
std::uint32_t NoOpRoutine(FileHead& file);

// Calls a routine slot; an empty slot does nothing and succeeds.
inline std::uint32_t CallRoutine(FileRoutine routine, FileHead& file) {
    return routine != nullptr ? routine(file) : 0;
}
