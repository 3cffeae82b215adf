// The few C library calls the posix backend makes, as direct Linux system
// calls (x86-64 and arm64), for programs linked without any C library. The
// backend itself stays plain POSIX; elsewhere it links the system's libc.
//
// Failures set errno and return -1, as the C library does.
#include <signal.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <sys/mman.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <time.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "runtime/os/posix/linux_syscall.h"

namespace {

constinit int errorNumber = 0;  // no second thread can exist

long Result(long value) {
    if (value < 0 && value > -4096) {
        errorNumber = static_cast<int>(-value);
        return -1;
    }
    return value;
}

// The kernel's sigaction record, which differs from the C library's.
struct KernelSigaction {
    void* handler;
    unsigned long flags;
    void (*restorer)();
    unsigned long mask;
};

constexpr unsigned long kSaRestorer = 0x04000000;

}  // namespace

// Where a handler returns to: back into the kernel to resume the thread.
extern "C" void P5RestoreSignal();
#if defined(__x86_64__)
__asm__(
    ".text\n"
    ".globl P5RestoreSignal\n"
    ".hidden P5RestoreSignal\n"
    "P5RestoreSignal:\n"
    "    movq $15, %rax\n"  // rt_sigreturn
    "    syscall\n");
#elif defined(__aarch64__)
__asm__(
    ".text\n"
    ".globl P5RestoreSignal\n"
    ".hidden P5RestoreSignal\n"
    "P5RestoreSignal:\n"
    "    mov x8, #139\n"  // rt_sigreturn
    "    svc #0\n");
#endif

constexpr long kAtCurrentFolder = -100;

extern "C" {

int* __errno_location() { return &errorNumber; }

int open(const char* path, int flags, ...) {
    unsigned mode = 0;
    if (flags & O_CREAT) {
        va_list arguments;
        va_start(arguments, flags);
        mode = va_arg(arguments, unsigned);
        va_end(arguments);
    }
    return static_cast<int>(
        Result(p5sys::Call(p5sys::kOpenat, kAtCurrentFolder, reinterpret_cast<long>(path), flags, mode)));
}

int __open_2(const char* path, int flags) { return open(path, flags); }

ssize_t read(int fd, void* buffer, size_t size) {
    return Result(p5sys::Call(p5sys::kRead, fd, reinterpret_cast<long>(buffer), static_cast<long>(size)));
}

ssize_t __read_chk(int fd, void* buffer, size_t size, size_t) { return read(fd, buffer, size); }

ssize_t write(int fd, const void* buffer, size_t size) {
    return Result(p5sys::Call(p5sys::kWrite, fd, reinterpret_cast<long>(buffer), static_cast<long>(size)));
}

int fdatasync(int fd) { return static_cast<int>(Result(p5sys::Call(p5sys::kFdatasync, fd))); }

// poll through ppoll, which both architectures have; no signal mask.
int poll(struct pollfd* fds, nfds_t count, int timeoutMs) {
    struct timespec timeout = {timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
    return static_cast<int>(Result(p5sys::Call(p5sys::kPpoll, reinterpret_cast<long>(fds),
                                               static_cast<long>(count),
                                               timeoutMs < 0 ? 0 : reinterpret_cast<long>(&timeout),
                                               0, sizeof(unsigned long))));
}

int close(int fd) { return static_cast<int>(Result(p5sys::Call(p5sys::kClose, fd))); }

int fstat(int fd, struct stat* status) {
    return static_cast<int>(Result(p5sys::Call(p5sys::kFstat, fd, reinterpret_cast<long>(status))));
}

int stat(const char* path, struct stat* status) {
    return static_cast<int>(Result(p5sys::Call(p5sys::kNewfstatat, kAtCurrentFolder,
                                               reinterpret_cast<long>(path),
                                               reinterpret_cast<long>(status), 0)));
}

int nanosleep(const struct timespec* duration, struct timespec* left) {
    return static_cast<int>(Result(p5sys::Call(p5sys::kNanosleep, reinterpret_cast<long>(duration),
                                               reinterpret_cast<long>(left))));
}

int flock(int fd, int operation) {
    return static_cast<int>(Result(p5sys::Call(p5sys::kFlock, fd, operation)));
}

int fcntl(int fd, int command, ...) {
    va_list arguments;
    va_start(arguments, command);
    long argument = va_arg(arguments, long);
    va_end(arguments);
    return static_cast<int>(Result(p5sys::Call(p5sys::kFcntl, fd, command, argument)));
}

int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    long argument = va_arg(arguments, long);
    va_end(arguments);
    return static_cast<int>(Result(p5sys::Call(p5sys::kIoctl, fd, static_cast<long>(request), argument)));
}

int dup3(int from, int to, int flags) {
    return static_cast<int>(Result(p5sys::Call(p5sys::kDup3, from, to, flags)));
}

ssize_t readlink(const char* path, char* buffer, size_t size) {
    return Result(p5sys::Call(p5sys::kReadlinkat, kAtCurrentFolder, reinterpret_cast<long>(path),
                              reinterpret_cast<long>(buffer), static_cast<long>(size)));
}

ssize_t __readlink_chk(const char* path, char* buffer, size_t size, size_t) {
    return readlink(path, buffer, size);
}

void* mmap(void* address, size_t size, int protection, int flags, int fd, off_t offset) {
    long result = Result(p5sys::Call(p5sys::kMmap, reinterpret_cast<long>(address), static_cast<long>(size),
                                     protection, flags, fd, offset));
    return reinterpret_cast<void*>(result);
}

int munmap(void* address, size_t size) {
    return static_cast<int>(Result(p5sys::Call(p5sys::kMunmap, reinterpret_cast<long>(address), static_cast<long>(size))));
}

int sigemptyset(sigset_t* set) {
    auto* bytes = reinterpret_cast<unsigned char*>(set);
    for (std::size_t i = 0; i < sizeof(sigset_t); ++i) bytes[i] = 0;
    return 0;
}

int sigaction(int signal, const struct sigaction* action, struct sigaction* previous) {
    KernelSigaction in = {};
    KernelSigaction out = {};
    if (action != nullptr) {
        in.handler = reinterpret_cast<void*>(action->sa_handler);
        in.flags = static_cast<unsigned long>(action->sa_flags) | kSaRestorer;
        in.restorer = P5RestoreSignal;
        __builtin_memcpy(&in.mask, &action->sa_mask, sizeof in.mask);
    }
    long result = Result(p5sys::Call(p5sys::kRtSigaction, signal, action ? reinterpret_cast<long>(&in) : 0,
                                     previous ? reinterpret_cast<long>(&out) : 0, sizeof in.mask));
    if (result == 0 && previous != nullptr) {
        *previous = {};
        previous->sa_handler = reinterpret_cast<void (*)(int)>(out.handler);
        previous->sa_flags = static_cast<int>(out.flags & ~kSaRestorer);
        __builtin_memcpy(&previous->sa_mask, &out.mask, sizeof out.mask);
    }
    return static_cast<int>(result);
}

int sigaddset(sigset_t* set, int signal) {
    auto* words = reinterpret_cast<unsigned long*>(set);
    words[(signal - 1) / 64] |= 1ul << ((signal - 1) % 64);
    return 0;
}

int sigprocmask(int how, const sigset_t* set, sigset_t* previous) {
    return static_cast<int>(Result(p5sys::Call(p5sys::kRtSigprocmask, how, reinterpret_cast<long>(set),
                                               reinterpret_cast<long>(previous), sizeof(unsigned long))));
}

int sigaltstack(const stack_t* stack, stack_t* previous) {
    return static_cast<int>(Result(p5sys::Call(p5sys::kSigaltstack, reinterpret_cast<long>(stack),
                                               reinterpret_cast<long>(previous))));
}

[[noreturn]] void _exit(int status) {
    for (;;) p5sys::Call(p5sys::kExitGroup, status);
}

[[noreturn]] void __stack_chk_fail() {
    static const char message[] = "stack smashing detected\n";
    p5sys::Call(p5sys::kWrite, 2, reinterpret_cast<long>(message), sizeof message - 1);
    _exit(134);
}

}  // extern "C"
