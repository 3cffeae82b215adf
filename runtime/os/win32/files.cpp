// The Windows backend's files: opens shared for reading only, by names it
// converts to UTF-16 itself, transfers, lengths, the standard handles, and
// how long a name the system takes.
#include "runtime/base/text_length.h"
#include "runtime/os/backend.h"
#include "runtime/os/win32/wide_names.h"
#include "runtime/os/win32/win32.h"

namespace os {

const Error NameTooLongError = ERROR_FILENAME_EXCED_RANGE;

namespace {

// Handles fit in 32 bits, and a 64-bit process takes them back sign-extended,
// so INVALID_HANDLE_VALUE survives the round trip.
HANDLE ToNative(Handle handle) {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(static_cast<std::int32_t>(handle)));
}

Handle FromNative(HANDLE handle) {
    return static_cast<Handle>(reinterpret_cast<std::uintptr_t>(handle));
}

}  // namespace

// One pass in the usual case; the name is measured again only to tell a
// long name from an ill-formed one.
Error WidenPath(const char* path, WCHAR (&out)[MAX_PATH]) {
    static_assert(sizeof(WCHAR) == sizeof(char16_t));
    std::size_t bytes = TextLength(path);
    if (ToWide(path, bytes, reinterpret_cast<char16_t*>(out), MAX_PATH) != kNotConvertible) {
        return 0;
    }
    return WideLength(path, bytes) == kNotConvertible ? ERROR_INVALID_NAME
                                                       : ERROR_FILENAME_EXCED_RANGE;
}

// The name goes to the system as typed, in UTF-16: CreateFileA would
// convert it through the ANSI code page, whose best-fit replacements can
// make it name another file.
Error backend::OpenExisting(const char* path, Access access, Handle* handle) {
    static constexpr DWORD kDesired[] = {GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE};
    WCHAR wide[MAX_PATH];
    if (Error err = WidenPath(path, wide); err != 0) return err;
    HANDLE file = CreateFileW(wide, kDesired[static_cast<int>(access)], FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();

    // Only a disk file can be patched in place: not a device such as NUL,
    // CON or COM1, nor a pipe. A directory, or a read-only file opened for
    // writing, Windows refuses itself; Wine running as root may not. The
    // calls are those of every Windows since XP; the information also gives
    // the file's identity, and its length, which holds while it is open.
    BY_HANDLE_FILE_INFORMATION info;
    Error err = 0;
    if ((::GetFileType(file) & ~FILE_TYPE_REMOTE) != FILE_TYPE_DISK) {
        err = ERROR_INVALID_FUNCTION;
    } else if (!GetFileInformationByHandle(file, &info)) {
        err = GetLastError();
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
               ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) && access != Access::Read)) {
        err = ERROR_ACCESS_DENIED;
    } else if (!RememberOpened(file, info)) {
        err = ERROR_TOO_MANY_OPEN_FILES;
    }
    if (err != 0) {
        CloseHandle(file);
        return err;
    }
    *handle = FromNative(file);
    return 0;
}

// A launcher may pass a standard handle that the process never received
// (not inheritable); its number may since have been given to a file opened
// here, which is then no standard handle of this process.
Error backend::GetStdHandle(StdStream which, Handle* handle) {
    static constexpr DWORD kWhich[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    HANDLE h = ::GetStdHandle(kWhich[static_cast<int>(which)]);
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
    if (FindOpened(h) != nullptr) return ERROR_INVALID_HANDLE;
    *handle = FromNative(h);
    return 0;
}

Error backend::Read(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* done) {
    DWORD moved = 0;
    if (!ReadFile(ToNative(handle), buffer, size, &moved, nullptr)) return GetLastError();
    *done = moved;
    return 0;
}

Error backend::Write(Handle handle, const void* buffer, std::uint32_t size, std::uint32_t* done) {
    if (Opened* file = FindOpened(ToNative(handle))) file->lengthKnown = false;
    DWORD moved = 0;
    if (!WriteFile(ToNative(handle), buffer, size, &moved, nullptr)) return GetLastError();
    *done = moved;
    return 0;
}

Error backend::FileSize(Handle handle, std::uint64_t* size) {
    if (Opened* file = FindOpened(ToNative(handle)); file != nullptr && file->lengthKnown) {
        *size = file->length;
        return 0;
    }
    LARGE_INTEGER length;
    if (!GetFileSizeEx(ToNative(handle), &length)) return GetLastError();
    *size = static_cast<std::uint64_t>(length.QuadPart);
    return 0;
}

Error backend::FlushToDisk(Handle handle) {
    return FlushFileBuffers(ToNative(handle)) ? 0 : GetLastError();
}

// Every open here leaves out FILE_SHARE_DELETE, so while the file is open
// the system refuses to remove it or to rename anything over its name.
Error backend::NamesOpenFile(const char*, Handle) { return 0; }

// Only what OpenExisting opened is closed. A standard handle may be null,
// or a number this process never received: closing either raises an
// exception under strict handle checking, and such a number may by then
// name another handle of the process.
Error backend::Close(Handle handle) {
    Opened* file = FindOpened(ToNative(handle));
    if (file == nullptr) return ERROR_INVALID_HANDLE;
    file->handle = nullptr;
    return CloseHandle(ToNative(handle)) ? 0 : GetLastError();
}

FileType backend::GetFileType(Handle handle) {
    switch (::GetFileType(ToNative(handle)) & ~FILE_TYPE_REMOTE) {
    case FILE_TYPE_DISK: return FileType::Disk;
    case FILE_TYPE_CHAR: return FileType::Char;
    case FILE_TYPE_PIPE: return FileType::Pipe;
    default: return FileType::Unknown;
    }
}

// Each UTF-16 unit takes at least one byte, so a name of up to 259 bytes
// fits without counting. An ill-formed name counts as fitting: the open
// refuses it.
bool NameWithinLimit(const char* name, std::size_t bytes) {
    constexpr std::size_t kLimit = MAX_PATH - 1;
    static_assert(PathCapacity == 3 * kLimit + 1);
    if (bytes <= kLimit) return true;
    std::size_t units = WideLength(name, bytes);
    return units == kNotConvertible || units <= kLimit;
}

}  // namespace os
