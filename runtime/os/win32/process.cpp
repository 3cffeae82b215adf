// The Windows process: its per-thread data in the image's static
// thread-local storage, its settings, its own image and name, its command
// line, the box for a report, and its end.
#include "runtime/os/backend.h"
#include "runtime/os/fpu_x86.h"
#include "runtime/os/win32/wide_names.h"
#include "runtime/os/win32/win32.h"

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

PerThread& CurrentPerThread() {
    char* base = TlsSlots()[_tls_index];
    std::ptrdiff_t offset = reinterpret_cast<char*>(&perThreadImage) - &_tls_start;
    return *reinterpret_cast<PerThread*>(base + offset);
}

ThreadBlock& CurrentThreadBlock() { return CurrentPerThread().block; }

// A drive without a medium, or a file whose image cannot be paged in,
// fails the call instead of stopping the run at a modal box.
void StartUp() { SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX); }

// kernel32 is called directly: the backend keeps no table of its own.
void backend::BindOwnCalls() {}

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

namespace {

// The longest text the system keeps for a process (a 16-bit byte count):
// a command line, a module's path.
constexpr std::size_t kLongestText = 32767;

}  // namespace

// Fetched in UTF-16 and converted here, as the command line is. Each unit
// makes at least one byte, so a path of more units than `size` could not
// fit anyway; a conversion that leaves no room for a zero may not have.
std::uint32_t ModuleFileName(char* buffer, std::uint32_t size) {
    static constinit char16_t wide[kLongestText + 1] = {};
    DWORD units = size < kLongestText + 1 ? size : kLongestText + 1;
    DWORD got = GetModuleFileNameW(nullptr, reinterpret_cast<WCHAR*>(wide), units);
    if (got == 0) return 0;
    if (got >= units) return size;  // cut short
    std::size_t bytes = ToWtf8(wide, got, buffer, size);
    return bytes == kNotConvertible ? size : static_cast<std::uint32_t>(bytes);
}

// Taken in UTF-16 and converted here: GetCommandLineA converts through the
// ANSI code page, whose best-fit replacements (fullwidth solidus to '/',
// fullwidth quote to '"') would change what the arguments name and how
// they split. Converted once, into room for the longest command line with
// every unit at its three bytes (zero data costs the image nothing).
const char* CommandLine() {
    static constinit const char* line = nullptr;
    static constinit char text[3 * kLongestText + 1] = {};
    if (line == nullptr) {
        auto* wide = reinterpret_cast<const char16_t*>(GetCommandLineW());
        std::size_t units = 0;
        while (wide[units] != 0) ++units;
        // Fits within the system's limit; past it, an empty line asks for
        // no file rather than a cut one for the wrong file.
        if (ToWtf8(wide, units, text, sizeof text) == kNotConvertible) text[0] = 0;
        line = text;
    }
    return line;
}

void ExitProcess(std::uint32_t status) {
    ::ExitProcess(status);
}

}  // namespace os
