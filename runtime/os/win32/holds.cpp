// Holds on files on Windows: the files this process opened, which
// refusals another program's open causes, whether a name is a file this
// process holds itself, and the pause between two tries of an open.
#include "runtime/os/backend.h"
#include "runtime/os/win32/win32.h"

namespace os {

namespace {

constexpr int kMostOpened = 8;
constinit Opened opened[kMostOpened] = {};

}  // namespace

bool RememberOpened(HANDLE handle, const BY_HANDLE_FILE_INFORMATION& info) {
    for (Opened& file : opened) {
        if (file.handle != nullptr) continue;
        file = {handle, IdentityOf(info),
                (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow, true};
        return true;
    }
    return false;
}

Opened* FindOpened(HANDLE handle) {
    if (handle == nullptr) return nullptr;
    for (Opened& file : opened) {
        if (file.handle == handle) return &file;
    }
    return nullptr;
}

// A scanner, indexer or backup client that opened the file without sharing
// writing, or locked a range of it.
bool IsSharingError(Error error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// An open that asks for no access to the file's data is never refused for
// sharing, so the file held against this process can still be asked who
// it is. A standard handle on a disk file counts too.
bool backend::HeldHere(const char* path) {
    WCHAR wide[MAX_PATH];
    if (WidenPath(path, wide) != 0) return false;
    HANDLE probe = CreateFileW(wide, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool found = GetFileInformationByHandle(probe, &info) != 0;
    CloseHandle(probe);
    if (!found) return false;
    FileIdentity named = IdentityOf(info);
    for (const Opened& file : opened) {
        if (file.handle != nullptr && file.identity == named) return true;
    }
    static constexpr DWORD kStandard[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (DWORD which : kStandard) {
        HANDLE handle = ::GetStdHandle(which);
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE &&
            GetFileInformationByHandle(handle, &info) && IdentityOf(info) == named) {
            return true;
        }
    }
    return false;
}

void backend::Pause(std::uint32_t milliseconds) { Sleep(milliseconds); }

}  // namespace os
