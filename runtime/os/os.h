// The operating-system layer: the only code that talks to the system.
//
// Two backends implement it, runtime/os/posix/ and runtime/os/win32/, a
// file per job; the build links exactly one, and chooses the os_platform.h
// beside it, which holds all this interface differs in between platforms.
// Every call that can fail returns the platform's own error code
// (GetLastError or errno), 0 for success, and holds no policy: what a
// failure means is the runtime's business.
//
// The calls that touch files, handles and memory are reached through the
// table `sys`, so that tests can put a recording or failing call in place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "os_platform.h"  // the backend's: chosen by the build

namespace os {

using Handle = std::uint32_t;
inline constexpr Handle InvalidHandle = 0xFFFFFFFFu;

using Error = std::uint32_t;  // 0: success

enum class Access : std::uint8_t { Read = 0, Write = 1, ReadWrite = 2 };
enum class StdStream : std::uint8_t { Input, Output, Error };
enum class FileType : std::uint32_t { Unknown = 0, Disk = 1, Char = 2, Pipe = 3 };

// Whether the system takes the name whole: `bytes` long, all of it within
// PathCapacity. win32: at most 259 UTF-16 units once converted from WTF-8
// (counted only when the name is longer than 259 bytes; an ill-formed name
// passes, and its open fails); posix: always.
bool NameWithinLimit(const char* name, std::size_t bytes);

// The platform's code for a name that does not fit (ERROR_FILENAME_EXCED_RANGE,
// ENAMETOOLONG).
extern const Error NameTooLongError;

// Whether an open failed only because another open holds the file against
// it: ERROR_SHARING_VIOLATION or ERROR_LOCK_VIOLATION on win32; EAGAIN
// (a lease or a lock refused) on posix.
bool IsSharingError(Error error);

struct Calls {
    // Opens an existing file, never creating it; shares it for reading only,
    // so a second open that asks to write, or any open while a writer holds
    // it, fails with the sharing code. On posix, which declares no sharing,
    // every other open of the file counts as not sharing writing, the
    // process's standard handles included (needs StartUp). Only what can
    // be patched in place opens: a disk file (posix: a regular file, or a
    // block device, exclusively, so a mounted one fails with EBUSY); a
    // directory, FIFO, socket or device fails. Refuses write access to a
    // read-only file even to an administrator. win32 holds at most 8 open
    // (ERROR_TOO_MANY_OPEN_FILES). Returns 0 and *handle, or the system's
    // code.
    Error (*OpenExisting)(const char* path, Access access, Handle* handle);

    // The process's standard handle; fails (EBADF on posix) when it was
    // closed at start-up, and on win32 when its number now names a file
    // OpenExisting opened (ERROR_INVALID_HANDLE). A null handle on win32 is
    // returned as success.
    Error (*GetStdHandle)(StdStream which, Handle* handle);

    // Exactly one system transfer; *done receives the bytes moved on success.
    // A write that a non-blocking pipe or terminal cannot take now (EAGAIN,
    // the flag being the pipe's, set by whoever made it) waits until it can.
    Error (*Read)(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* done);
    Error (*Write)(Handle handle, const void* buffer, std::uint32_t size, std::uint32_t* done);

    // Full 64-bit length of an open file.
    Error (*FileSize)(Handle handle, std::uint64_t* size);

    // Takes what was written to the file through to stable storage, the
    // device's own write cache included (posix: fdatasync; win32:
    // FlushFileBuffers), and reports a write-back failure the system found
    // only now: EIO, ENOSPC, EDQUOT; ERROR_DISK_FULL and the like.
    Error (*FlushToDisk)(Handle handle);

    // Releases a handle OpenExisting gave. A standard handle is never
    // released: win32 leaves it as it is (ERROR_INVALID_HANDLE), posix
    // keeps its number occupied by a placeholder.
    Error (*Close)(Handle handle);

    // Character device, disk file, pipe, or Unknown for no usable handle.
    FileType (*GetFileType)(Handle handle);

    // Whether `path` names a file this process itself holds: one that
    // OpenExisting opened and Close has not released, or what a standard
    // handle is. False when the name cannot be looked up.
    bool (*HeldHere)(const char* path);

    // Whether `path` still names the file open on `handle`: 0, or ENOENT
    // on posix when it names another file or nothing (or the lookup's own
    // code). win32 answers 0 without a call: no open here shares deletion,
    // so the name of an open file can be neither removed nor replaced.
    Error (*NamesOpenFile)(const char* path, Handle handle);

    // Waits `milliseconds`, less than a second (a signal may end it early).
    void (*Pause)(std::uint32_t milliseconds);

    // Address space for the heap: reserve a region, commit pages of it
    // before use, give the whole region back.
    Error (*Reserve)(std::size_t size, void** base);
    Error (*Commit)(void* address, std::size_t size);
    Error (*Release)(void* base, std::size_t size);
};

extern constinit Calls sys;

// Fills `sys` (and the backend's own table of system calls) with the
// backend's routines. Each program's entry does it before the main block,
// by code rather than by the loader, so that no table needs relocating;
// a test that replaces calls does so afterwards.
void BindSystemCalls();

// Per-thread data of the runtime, zero when a thread starts.
struct ThreadBlock {
    std::uint32_t IoStatus;
};
ThreadBlock& CurrentThreadBlock();

// Prepares the process: on win32, sets the error mode so that no modal
// box stops a run; on posix, blocks SIGPIPE, SIGXFSZ and SIGIO, so
// that a failed write is an error code and a file held against other opens
// never ends the program. (A closed standard descriptor is occupied when
// the file calls first meet it, so no file is ever opened on 0, 1 or 2.)
void StartUp();

// Registers the last-resort fault handler with `top` as its registration;
// removes it again.
void InstallTopLevelHandler(FrameLink& top);
void RemoveTopLevelHandler(FrameLink& top);

// Places and removes a clean-up registration (innermost last placed).
void LinkFrame(FrameLink& frame);
void UnlinkFrame(FrameLink& frame);

// Initialises the floating-point unit and loads `control` (x87 control
// word; the SSE unit, where arithmetic is done in it, gets the same masks).
void ResetFpu(std::uint16_t control);

// Address of the first byte of the program's code.
std::uintptr_t CodeStart();

// Shows a report where no console takes it: a message box on win32, a
// line on standard error on posix.
void ShowErrorBox(const char* text, const char* caption);

// The program's own file path, copied into buffer without a terminating
// zero. Returns the bytes copied: 0 on failure, `size` when it may not
// have fitted.
std::uint32_t ModuleFileName(char* buffer, std::uint32_t size);

// Ends the process. A non-zero status never reaches the system as 0.
[[noreturn]] void ExitProcess(std::uint32_t status);

}  // namespace os

// Called by the OS layer, implemented above it.
void ProgramMain();                              // the main block
void RunFrameCleanup(os::FrameLink& frame);      // a fault unwinds a frame
void ResetFloatingPoint();                       // the runtime's FPU settings
// A fault's run-time error number (runtime/terminate/error_numbers.h):
// win32 takes it from MapFault, posix from its own table of signals.
std::uint32_t MapFault(std::uint32_t exceptionCode);
// The run-time error `number` at `site`: the last-resort handler's way into
// Shutdown, with the faulting instruction as the site.
[[noreturn]] void RunTimeErrorAt(std::uint32_t number, std::uintptr_t site);
