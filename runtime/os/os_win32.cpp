// Windows backend of the OS layer: kernel32 called directly, no C runtime,
// for the 32-bit and the 64-bit program alike. How faults reach the
// runtime differs between the two processors: os_win32_x86.cpp and
// os_win32_x64.cpp. The per-thread block is the module's static
// thread-local storage.
#include "runtime/os/os_win32.h"
#include "runtime/os/fpu_x86.h"

// --- Static thread-local storage -----------------------------------------
// The loader copies the .tls image for every thread and puts its address at
// index _tls_index of the thread's array of TLS slots.

extern "C" {
__attribute__((section(".tls$AAA"), used)) char _tls_start = 0;
__attribute__((section(".tls$ZZZ"), used)) char _tls_end = 0;
__attribute__((section(".tls$BBB"), used)) os::PerThread perThreadImage = {};
ULONG _tls_index = 0;
__attribute__((used)) PIMAGE_TLS_CALLBACK tlsCallbacks[] = {nullptr};
extern const IMAGE_TLS_DIRECTORY _tls_used;
__attribute__((used)) const IMAGE_TLS_DIRECTORY _tls_used = {
    reinterpret_cast<ULONG_PTR>(&_tls_start), reinterpret_cast<ULONG_PTR>(&_tls_end),
    reinterpret_cast<ULONG_PTR>(&_tls_index), reinterpret_cast<ULONG_PTR>(tlsCallbacks), 0, {0}};
}

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

Error Win32OpenExisting(const char* path, Access access, Handle* handle) {
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

Error Win32GetStdHandle(StdStream which, Handle* handle) {
    static constexpr DWORD kWhich[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    HANDLE h = GetStdHandle(kWhich[static_cast<int>(which)]);
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
    *handle = FromNative(h);
    return 0;
}

Error Win32Read(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* done) {
    DWORD moved = 0;
    if (!ReadFile(ToNative(handle), buffer, size, &moved, nullptr)) return GetLastError();
    *done = moved;
    return 0;
}

Error Win32Write(Handle handle, const void* buffer, std::uint32_t size, std::uint32_t* done) {
    DWORD moved = 0;
    if (!WriteFile(ToNative(handle), buffer, size, &moved, nullptr)) return GetLastError();
    *done = moved;
    return 0;
}

// The standard information: the length (and the same entry point as the
// attributes, one import fewer).
Error Win32FileSize(Handle handle, std::uint64_t* size) {
    FILE_STANDARD_INFO info;
    if (!GetFileInformationByHandleEx(ToNative(handle), FileStandardInfo, &info, sizeof info)) {
        return GetLastError();
    }
    *size = static_cast<std::uint64_t>(info.EndOfFile.QuadPart);
    return 0;
}

Error Win32Close(Handle handle) {
    return CloseHandle(ToNative(handle)) ? 0 : GetLastError();
}

FileType Win32GetFileType(Handle handle) {
    switch (GetFileType(ToNative(handle)) & ~FILE_TYPE_REMOTE) {
    case FILE_TYPE_DISK: return FileType::Disk;
    case FILE_TYPE_CHAR: return FileType::Char;
    case FILE_TYPE_PIPE: return FileType::Pipe;
    default: return FileType::Unknown;
    }
}

Error Win32Reserve(std::size_t size, void** base) {
    void* p = VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
    if (p == nullptr) return GetLastError();
    *base = p;
    return 0;
}

Error Win32Commit(void* address, std::size_t size) {
    return VirtualAlloc(address, size, MEM_COMMIT, PAGE_READWRITE) != nullptr ? 0 : GetLastError();
}

Error Win32Release(void* base, std::size_t) {
    return VirtualFree(base, 0, MEM_RELEASE) ? 0 : GetLastError();
}

}  // namespace

constinit Calls sys = {};

void BindSystemCalls() {
    sys.OpenExisting = Win32OpenExisting;
    sys.GetStdHandle = Win32GetStdHandle;
    sys.Read = Win32Read;
    sys.Write = Win32Write;
    sys.FileSize = Win32FileSize;
    sys.Close = Win32Close;
    sys.GetFileType = Win32GetFileType;
    sys.Reserve = Win32Reserve;
    sys.Commit = Win32Commit;
    sys.Release = Win32Release;
}

PerThread& CurrentPerThread() {
    char* base = TlsSlots()[_tls_index];
    std::ptrdiff_t offset = reinterpret_cast<char*>(&perThreadImage) - &_tls_start;
    return *reinterpret_cast<PerThread*>(base + offset);
}

ThreadBlock& CurrentThreadBlock() { return CurrentPerThread().block; }

void StartUp() {}

void ResetFpu(std::uint16_t control) { LoadX86FpuControl(control); }

std::uintptr_t CodeStart() {
    // The image as loaded: headers first, the code section at BaseOfCode.
    const char* base = &__ImageBase;
    __asm__("" : "+r"(base));  // an image, not the one-byte object declared
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    return reinterpret_cast<std::uintptr_t>(base) + nt->OptionalHeader.BaseOfCode;
}

// user32 is loaded only here: loading it at start-up would double the
// start-up time of every run for a box that is almost never shown.
void ShowErrorBox(const char* text, const char* caption) {
    HMODULE user32 = LoadLibraryA("user32.dll");
    if (user32 == nullptr) return;
    using MessageBoxFn = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);
    auto messageBox = reinterpret_cast<MessageBoxFn>(
        reinterpret_cast<void*>(GetProcAddress(user32, "MessageBoxA")));
    if (messageBox != nullptr) messageBox(nullptr, text, caption, 0);
}

std::uint32_t ModuleFileName(char* buffer, std::uint32_t size) {
    return GetModuleFileNameA(nullptr, buffer, size);
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

// The system keeps the command line in one place for the whole run, so
// it is asked for once.
const char* CommandLine() {
    static constinit const char* line = nullptr;
    if (line == nullptr) line = GetCommandLineA();
    return line;
}

void ExitProcess(std::uint32_t status) {
    ::ExitProcess(status);
}

}  // namespace os
