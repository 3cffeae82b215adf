// The Windows backend's files: opens shared for reading only, transfers,
// lengths, the standard handles, and how long a name the system takes.
#include "runtime/os/backend.h"
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

Error backend::OpenExisting(const char* path, Access access, Handle* handle) {
    static constexpr DWORD kDesired[] = {GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE};
    HANDLE file = CreateFileA(path, kDesired[static_cast<int>(access)], FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();

    // Only a disk file can be patched in place: devices such as NUL, CON
    // and COM1 have no attributes, and their query fails. A directory, or
    // a read-only file opened for writing, Windows refuses itself; Wine
    // running as root may not. The basic information is the attributes
    // alone (the full information would also fetch the volume's serial
    // number, which costs Wine a dozen round trips to its server).
    FILE_BASIC_INFO info;
    Error err = 0;
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &info, sizeof info)) {
        err = GetLastError();
    } else if ((info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
               ((info.FileAttributes & FILE_ATTRIBUTE_READONLY) && access != Access::Read)) {
        err = ERROR_ACCESS_DENIED;
    }
    if (err != 0) {
        CloseHandle(file);
        return err;
    }
    *handle = FromNative(file);
    return 0;
}

Error backend::GetStdHandle(StdStream which, Handle* handle) {
    static constexpr DWORD kWhich[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    HANDLE h = ::GetStdHandle(kWhich[static_cast<int>(which)]);
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
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
    DWORD moved = 0;
    if (!WriteFile(ToNative(handle), buffer, size, &moved, nullptr)) return GetLastError();
    *done = moved;
    return 0;
}

// The standard information: the length (and the same entry point as the
// attributes, one import fewer).
Error backend::FileSize(Handle handle, std::uint64_t* size) {
    FILE_STANDARD_INFO info;
    if (!GetFileInformationByHandleEx(ToNative(handle), FileStandardInfo, &info, sizeof info)) {
        return GetLastError();
    }
    *size = static_cast<std::uint64_t>(info.EndOfFile.QuadPart);
    return 0;
}

Error backend::Close(Handle handle) {
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

namespace {

// Bytes of the well-formed UTF-8 sequence at p (1 to 4), or 0. The name's
// terminating zero is never a continuation byte, so no sequence runs past it.
unsigned SequenceLength(const unsigned char* p) {
    unsigned lead = p[0];
    unsigned length = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3
                    : lead < 0xF5 ? 4 : 0;
    for (unsigned i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
    }
    // Overlong forms, surrogates, and code points above U+10FFFF.
    if ((lead == 0xE0 && p[1] < 0xA0) || (lead == 0xED && p[1] > 0x9F) ||
        (lead == 0xF0 && p[1] < 0x90) || (lead == 0xF4 && p[1] > 0x8F)) {
        return 0;
    }
    return length;
}

}  // namespace

// No code page spends less than a byte on a UTF-16 unit, so a name of up to
// 259 bytes fits without asking which one is active. In UTF-8, the code
// page the manifest asks for, a four-byte sequence is a surrogate pair and
// a byte that starts no sequence counts as a unit of its own, never fewer
// than the system makes of it. Other code pages count bytes, as before the
// manifest: exact in a single-byte one; in a double-byte one a name of
// more than 259 bytes is refused even with fewer characters, never cut.
bool NameWithinLimit(const char* name, std::size_t bytes) {
    constexpr std::size_t kLimit = MAX_PATH - 1;
    static_assert(PathCapacity == 3 * kLimit + 1);
    if (bytes <= kLimit) return true;
    if (GetACP() != CP_UTF8) return false;
    auto* p = reinterpret_cast<const unsigned char*>(name);
    std::size_t units = 0;
    for (std::size_t i = 0; i < bytes && units <= kLimit;) {
        unsigned length = SequenceLength(p + i);
        units += length == 4 ? 2 : 1;
        i += length == 0 ? 1 : length;
    }
    return units <= kLimit;
}

}  // namespace os
