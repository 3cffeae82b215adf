// The Windows process: its per-thread data in the image's static
// thread-local storage, its settings, its own image and name, its command
// line, the box for a report, and its end.
#include "runtime/os/backend.h"
#include "runtime/os/fpu_x86.h"
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

void StartUp() {}

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

std::uint32_t ModuleFileName(char* buffer, std::uint32_t size) {
    return GetModuleFileNameA(nullptr, buffer, size);
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
