// The posix process: its start-up settings, its per-thread data, its own
// image and name, the arguments it was given, and its end.
#include "runtime/os/os.h"
#include "runtime/os/posix/calls.h"

#include <elf.h>
#include <link.h>
#include <signal.h>
#include <unistd.h>

extern "C" const ElfW(Ehdr) __ehdr_start;  // provided by the linker

namespace os {
namespace {

constinit int argumentCount = 0;
constinit char** argumentVector = nullptr;

P5_PER_THREAD constinit ThreadBlock threadBlock{};

}  // namespace

ThreadBlock& CurrentThreadBlock() { return threadBlock; }

void StartUp() {
    // Blocked, all three with one call: a write to a pipe without reader
    // or past the file-size limit then fails with EPIPE or EFBIG instead of
    // ending the program, and the SIGIO that tells a lease holder another
    // open is waiting stays pending; the waiter gets the file at our close.
    sigset_t quiet;
    sigemptyset(&quiet);
    sigaddset(&quiet, SIGPIPE);
    sigaddset(&quiet, SIGXFSZ);
    sigaddset(&quiet, SIGIO);
    posixCalls.Sigprocmask(SIG_BLOCK, &quiet, nullptr);
}

std::uintptr_t CodeStart() {
    // The ELF header is mapped with the first loadable segment, so its
    // address gives the load bias without the dynamic linker's help.
    auto header = reinterpret_cast<std::uintptr_t>(&__ehdr_start);
    auto segments = reinterpret_cast<const ElfW(Phdr)*>(header + __ehdr_start.e_phoff);
    std::uintptr_t bias = header;
    for (std::size_t i = 0; i < __ehdr_start.e_phnum; ++i) {
        if (segments[i].p_type == PT_LOAD && segments[i].p_offset == 0) {
            bias = header - segments[i].p_vaddr;
            break;
        }
    }
    for (std::size_t i = 0; i < __ehdr_start.e_phnum; ++i) {
        if (segments[i].p_type == PT_LOAD && (segments[i].p_flags & PF_X)) {
            return bias + segments[i].p_vaddr;
        }
    }
    return 0;
}

std::uint32_t ModuleFileName(char* buffer, std::uint32_t size) {
    ssize_t n = posixCalls.Readlink("/proc/self/exe", buffer, size);
    if (n > 0) return static_cast<std::uint32_t>(n);
    // No /proc: the name the program was started by is the best there is.
    const char* name = argumentCount > 0 ? argumentVector[0] : nullptr;
    std::uint32_t copied = 0;
    while (name != nullptr && name[copied] != 0 && copied < size) {
        buffer[copied] = name[copied];
        ++copied;
    }
    return copied;
}

char** ArgumentVector(int* count) {
    *count = argumentCount;
    return argumentVector;
}

void SetArgumentVector(int count, char** vector) {
    argumentCount = count;
    argumentVector = vector;
}

void ExitProcess(std::uint32_t status) {
    // Eight bits reach the parent; keep every failure visible as one.
    _exit(status > 255 ? 255 : static_cast<int>(status));
}

}  // namespace os
