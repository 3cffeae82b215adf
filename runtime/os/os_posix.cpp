// POSIX backend of the OS layer (Linux first; plain POSIX where it can be).
//
// Windows semantics it reproduces: files open existing-only and shared for
// reading only, a file without any write permission bit is read-only even
// for root, only what can be patched in place opens (a regular file, or a
// block device that nothing has mounted or claimed), writes never end the
// program by a signal (SIGPIPE, SIGXFSZ), and the standard handles 0, 1, 2
// are never reused for a user file.
//
// Sharing: a Linux open declares no share mode, so every other open of the
// file, by any process and for reading or writing, counts as one that does
// not share writing, as a Windows reader sharing only reading would. A file
// lease says exactly that: the kernel grants a write lease only while no
// other open of the file exists anywhere, this process's standard handles
// included, and while it is held a later open elsewhere waits for our
// close. Where no lease can be had (a file the caller does not own without
// CAP_LEASE, a file system without leases) the open falls back to flock,
// which sees only other flock users, and compares the standard handles
// with the file itself.
#include "runtime/os/os.h"
#include "runtime/os/posix_calls.h"
#if defined(__x86_64__) || defined(__i386__)
#include "runtime/os/fpu_x86.h"
#endif
#include "runtime/terminate/error_numbers.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <ucontext.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/fs.h>
#endif

#include <cerrno>
#include <climits>

extern "C" const ElfW(Ehdr) __ehdr_start;  // provided by the linker

namespace os {

const Error NameTooLongError = ENAMETOOLONG;

namespace {

// Bit n set: descriptor n was found closed (or was given up since) and now
// holds a read-only /dev/null only to keep its number from being handed to
// a user file. Found lazily: an open that returns a descriptor above 2
// proves that 0, 1 and 2 are all taken, since the system hands out the
// lowest free number; before that, asking for a standard handle checks.
constinit unsigned closedStandard = 0;
constinit bool standardTaken = false;

// The length each descriptor's regular file had when it was opened: from
// then on the file is held against every other open, so the length query
// need not ask the system again. A write or a close forgets it.
constexpr int kKnownLengths = 16;
constinit std::uint64_t knownLength[kKnownLengths] = {};
constinit std::uint32_t lengthKnown = 0;  // bit per descriptor

void ForgetLength(int fd) {
    if (fd >= 0 && fd < kKnownLengths) lengthKnown &= ~(1u << fd);
}

constinit int argumentCount = 0;
constinit char** argumentVector = nullptr;

constinit volatile sig_atomic_t handlerRemoved = 0;

P5_PER_THREAD constinit ThreadBlock threadBlock{};
P5_PER_THREAD constinit FrameLink* innermostFrame = nullptr;

alignas(16) P5_LAST_IN_MEMORY("2") constinit char alternateStack[64 * 1024] = {};

Error OccupyWithNull(int fd) {
    int placeholder = posixCalls.Open("/dev/null", O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (placeholder < 0) placeholder = posixCalls.Open("/", O_RDONLY | O_CLOEXEC | O_DIRECTORY);
    if (placeholder < 0) return errno;
    if (placeholder != fd) {
        if (posixCalls.Dup3(placeholder, fd, O_CLOEXEC) < 0) {
            Error err = errno;
            posixCalls.Close(placeholder);
            return err;
        }
        posixCalls.Close(placeholder);
    }
    closedStandard |= 1u << fd;
    return 0;
}

// True when standard input, output or error is this very file: the
// program's own standard handles count as other opens of it.
bool IsStandardHandle(const struct stat& file) {
    for (int fd = 0; fd <= 2; ++fd) {
        struct stat st;
        if (posixCalls.Fstat(fd, &st) == 0 && st.st_dev == file.st_dev && st.st_ino == file.st_ino) {
            return true;
        }
    }
    return false;
}

// Holds the open file against every other open of it until the descriptor
// is closed. EAGAIN: another open exists.
Error HoldAgainstOtherOpens(int fd, Access access, const struct stat& st) {
    if (posixCalls.Fcntl(fd, F_SETLEASE, access == Access::Read ? F_RDLCK : F_WRLCK) == 0) return 0;
    if (errno == EAGAIN) return EAGAIN;
    // No lease here (EACCES, EINVAL, ENOSYS): what flock and a look at our
    // own standard handles can see. A file system without locks goes on.
    if (posixCalls.Flock(fd, (access == Access::Read ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0 &&
        errno == EWOULDBLOCK) {
        return EWOULDBLOCK;
    }
    return IsStandardHandle(st) ? EAGAIN : 0;
}

// A user file never keeps a standard descriptor's number: it moves above
// 2, and the number it had is occupied, so no output meant for standard
// output or error can land in it.
Error MoveAboveStandard(int* fd) {
    if (*fd > 2) {
        standardTaken = true;
        return 0;
    }
    int moved = posixCalls.Fcntl(*fd, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return errno;
    if (OccupyWithNull(*fd) != 0) posixCalls.Close(*fd);  // gives up the low number
    *fd = moved;
    return 0;
}

// What can be patched in place: a regular file, or on Linux a block device
// (a disk, or a disk image attached as one). A FIFO, a socket or a
// character device would take the bytes and keep none of them in place.
bool CanPatchInPlace(mode_t mode) {
#if defined(__linux__)
    if (S_ISBLK(mode)) return true;
#endif
    return S_ISREG(mode);
}

// Without O_CREAT, Linux opens a block device exclusively for O_EXCL, and
// refuses it (EBUSY) while it is mounted or otherwise claimed: the kernel's
// own rule for a disk in use. Other files ignore the flag.
#if defined(__linux__)
constexpr int kExclusiveDevice = O_EXCL;
#else
constexpr int kExclusiveDevice = 0;
#endif

Error PosixOpenExisting(const char* path, Access access, Handle* handle) {
    int mode = access == Access::Read ? O_RDONLY : access == Access::Write ? O_WRONLY : O_RDWR;
    // O_NONBLOCK keeps a FIFO or a device without a peer from hanging the
    // open (it is refused right after), and makes an open of a file another
    // process holds a lease on fail at once (EWOULDBLOCK) instead of
    // waiting for that process to let go. Regular files and block devices
    // ignore it in reads and writes.
    int fd = posixCalls.Open(path, mode | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | kExclusiveDevice);
    if (fd < 0) return errno;
    if (Error err = MoveAboveStandard(&fd)) {
        posixCalls.Close(fd);
        return err;
    }

    struct stat st;
    Error err = 0;
    if (posixCalls.Fstat(fd, &st) != 0) {
        err = errno;
    } else if (S_ISDIR(st.st_mode)) {
        err = EISDIR;
    } else if (!CanPatchInPlace(st.st_mode)) {
        err = ENXIO;  // as an open of a socket fails
    } else if (access != Access::Read && (st.st_mode & 0222) == 0) {
        err = EACCES;  // read-only for everyone, root included
    } else {
        err = HoldAgainstOtherOpens(fd, access, st);
    }
    if (err != 0) {
        posixCalls.Close(fd);
        return err;
    }
    if (S_ISREG(st.st_mode) && fd < kKnownLengths) {
        knownLength[fd] = static_cast<std::uint64_t>(st.st_size);
        lengthKnown |= 1u << fd;
    }
    *handle = static_cast<Handle>(fd);
    return 0;
}

Error PosixGetStdHandle(StdStream which, Handle* handle) {
    int fd = which == StdStream::Input ? 0 : which == StdStream::Output ? 1 : 2;
    if (!standardTaken && !(closedStandard & (1u << fd)) && posixCalls.Fcntl(fd, F_GETFD, 0) < 0 &&
        errno == EBADF) {
        OccupyWithNull(fd);
    }
    if (closedStandard & (1u << fd)) return EBADF;
    *handle = static_cast<Handle>(fd);
    return 0;
}

Error PosixRead(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* done) {
    ssize_t n = posixCalls.Read(static_cast<int>(handle), buffer, size);
    if (n < 0) return errno;
    *done = static_cast<std::uint32_t>(n);
    return 0;
}

Error PosixWrite(Handle handle, const void* buffer, std::uint32_t size, std::uint32_t* done) {
    ForgetLength(static_cast<int>(handle));
    ssize_t n = posixCalls.Write(static_cast<int>(handle), buffer, size);
    if (n < 0) return errno;
    *done = static_cast<std::uint32_t>(n);
    return 0;
}

Error PosixFileSize(Handle handle, std::uint64_t* size) {
    int fd = static_cast<int>(handle);
    if (fd >= 0 && fd < kKnownLengths && (lengthKnown & (1u << fd))) {
        *size = knownLength[fd];
        return 0;
    }
    struct stat st;
    if (posixCalls.Fstat(fd, &st) != 0) return errno;
#if defined(__linux__)
    if (S_ISBLK(st.st_mode)) {
        std::uint64_t bytes = 0;  // a device's own size; st_size is 0
        if (posixCalls.Ioctl(fd, BLKGETSIZE64, &bytes) != 0) return errno;
        *size = bytes;
        return 0;
    }
#endif
    *size = static_cast<std::uint64_t>(st.st_size);
    return 0;
}

Error PosixClose(Handle handle) {
    int fd = static_cast<int>(handle);
    ForgetLength(fd);
    if (fd >= 0 && fd <= 2) return OccupyWithNull(fd);
    return posixCalls.Close(fd) == 0 ? 0 : errno;
}

FileType PosixGetFileType(Handle handle) {
    int fd = static_cast<int>(handle);
    struct stat st;
    if (handle == InvalidHandle || posixCalls.Fstat(fd, &st) != 0) return FileType::Unknown;
    if (fd <= 2 && (closedStandard & (1u << fd))) return FileType::Unknown;
    if (S_ISCHR(st.st_mode)) return FileType::Char;
    if (S_ISREG(st.st_mode)) return FileType::Disk;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return FileType::Pipe;
    int flags = posixCalls.Fcntl(fd, F_GETFL, 0);
    if (flags >= 0 && (flags & O_ACCMODE) != O_RDONLY) return FileType::Pipe;
    return FileType::Unknown;
}

// Linux commits anonymous pages on first touch, so a reservation is
// mapped readable and writable at once and Commit has nothing to do.
Error PosixReserve(std::size_t size, void** base) {
    void* p = posixCalls.Mmap(nullptr, size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return errno;
    *base = p;
    return 0;
}

Error PosixCommit(void*, std::size_t) { return 0; }

Error PosixRelease(void* base, std::size_t size) {
    return posixCalls.Munmap(base, size) == 0 ? 0 : errno;
}

std::uintptr_t ProgramCounter(const ucontext_t* context) {
#if defined(__x86_64__)
    return static_cast<std::uintptr_t>(context->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
    return static_cast<std::uintptr_t>(context->uc_mcontext.gregs[REG_EIP]);
#elif defined(__aarch64__)
    return static_cast<std::uintptr_t>(context->uc_mcontext.pc);
#elif defined(__arm__)
    return static_cast<std::uintptr_t>(context->uc_mcontext.arm_pc);
#elif defined(__riscv)
    return static_cast<std::uintptr_t>(context->uc_mcontext.__gregs[REG_PC]);
#else
#error "ProgramCounter: unsupported architecture"
#endif
}

std::uintptr_t StackPointer(const ucontext_t* context) {
#if defined(__x86_64__)
    return static_cast<std::uintptr_t>(context->uc_mcontext.gregs[REG_RSP]);
#elif defined(__i386__)
    return static_cast<std::uintptr_t>(context->uc_mcontext.gregs[REG_ESP]);
#elif defined(__aarch64__)
    return static_cast<std::uintptr_t>(context->uc_mcontext.sp);
#elif defined(__arm__)
    return static_cast<std::uintptr_t>(context->uc_mcontext.arm_sp);
#elif defined(__riscv)
    return static_cast<std::uintptr_t>(context->uc_mcontext.__gregs[REG_SP]);
#endif
}

// The run-time error number of each fault, by signal and si_code, as
// MapFault gives it on win32 for the fault of the same meaning. The first
// row that matches counts; a fault of no row is "any other exception".
constexpr int kAnyCode = INT_MIN;
struct FaultRow {
    int signal;
    int code;
    std::uint32_t number;
};
constexpr FaultRow kFaultRows[] = {
    {SIGSEGV, kAnyCode, ErrorAccessViolation},  // unless at the stack's guard
    {SIGBUS, kAnyCode, ErrorAccessViolation},
    {SIGFPE, FPE_INTDIV, ErrorDivisionByZero},
    {SIGFPE, FPE_FLTDIV, ErrorDivisionByZero},
    {SIGFPE, FPE_FLTSUB, ErrorArrayBounds},
    {SIGFPE, FPE_FLTOVF, ErrorFloatOverflow},
    {SIGFPE, FPE_FLTUND, ErrorFloatUnderflow},
    {SIGFPE, FPE_FLTINV, ErrorFloatInvalid},
    {SIGFPE, FPE_FLTRES, ErrorFloatInvalid},  // inexact result
    {SIGFPE, FPE_INTOVF, ErrorIntOverflow},
    {SIGILL, ILL_PRVOPC, ErrorPrivilegedInstruction},
    {SIGILL, ILL_PRVREG, ErrorPrivilegedInstruction},
#if defined(__arm__)
    // 32-bit ARM divides in software, and the division routines raise
    // SIGFPE themselves on a zero divisor.
    {SIGFPE, SI_TKILL, ErrorDivisionByZero},
#endif
};

std::uint32_t FaultNumberOf(int signal, const siginfo_t* info, const ucontext_t* context) {
    if (signal == SIGSEGV) {
        // An access just around the stack pointer is the stack running
        // into its guard; anything else is a plain access violation.
        constexpr std::uintptr_t kSlack = 64 * 1024;
        auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
        std::uintptr_t sp = StackPointer(context);
        if (address + kSlack >= sp && address <= sp + kSlack) return ErrorStackOverflow;
    }
    for (const FaultRow& row : kFaultRows) {
        if (row.signal == signal && (row.code == kAnyCode || row.code == info->si_code)) {
            return row.number;
        }
    }
    return ErrorOtherException;
}

// Runs on the alternate stack, so a stack overflow is caught too; from
// here on only async-signal-safe work is done.
void TopLevelHandler(int signal, siginfo_t* info, void* rawContext) {
    if (handlerRemoved) {
        // Returning runs the faulting instruction again, now with the
        // default action.
        struct sigaction fallback = {};
        fallback.sa_handler = SIG_DFL;
        posixCalls.Sigaction(signal, &fallback, nullptr);
        return;
    }
    // A fault during shutdown enters here again (SA_NODEFER); one that
    // keeps recurring must not run the alternate stack out.
    static constinit int depth = 0;
    if (++depth > 4) ExitProcess(ErrorOtherException);
    const auto* context = static_cast<const ucontext_t*>(rawContext);
    std::uint32_t number = FaultNumberOf(signal, info, context);
    ResetFloatingPoint();
    // Innermost first; each frame leaves the chain before its clean-up
    // runs, so a fault inside clean-up work never enters it again.
    while (FrameLink* frame = innermostFrame) {
        innermostFrame = frame->prev;
        RunFrameCleanup(*frame);
    }
    FaultShutdown(number, ProgramCounter(context));
}

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

}  // namespace

constinit Calls sys = {};

namespace {
int OpenCall(const char* path, int flags) { return open(path, flags); }
int FcntlCall(int fd, int command, int argument) { return fcntl(fd, command, argument); }
int IoctlCall(int fd, unsigned long request, void* argument) { return ioctl(fd, request, argument); }
}  // namespace

constinit PosixCalls posixCalls = {};

void BindSystemCalls() {
    sys.OpenExisting = PosixOpenExisting;
    sys.GetStdHandle = PosixGetStdHandle;
    sys.Read = PosixRead;
    sys.Write = PosixWrite;
    sys.FileSize = PosixFileSize;
    sys.Close = PosixClose;
    sys.GetFileType = PosixGetFileType;
    sys.Reserve = PosixReserve;
    sys.Commit = PosixCommit;
    sys.Release = PosixRelease;
    posixCalls = {
        .Open = OpenCall,
        .Fstat = fstat,
        .Fcntl = FcntlCall,
        .Flock = flock,
        .Ioctl = IoctlCall,
        .Dup3 = dup3,
        .Close = close,
        .Read = read,
        .Write = write,
        .Mmap = mmap,
        .Munmap = munmap,
        .Readlink = readlink,
        .Sigprocmask = sigprocmask,
        .Sigaltstack = sigaltstack,
        .Sigaction = sigaction,
    };
}

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

void InstallTopLevelHandler(FrameLink& top) {
    top.prev = nullptr;
    stack_t stack = {};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    posixCalls.Sigaltstack(&stack, nullptr);

    struct sigaction action = {};
    action.sa_sigaction = TopLevelHandler;
    // SA_NODEFER: a fault during shutdown enters the handler again.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int signal : kFaultSignals) posixCalls.Sigaction(signal, &action, nullptr);
}

// Marked rather than unregistered: the process ends right after, and four
// system calls would cost more than the rest of shutdown. A fault from here
// on gets the system's default action, as with no handler at all.
void RemoveTopLevelHandler(FrameLink&) { handlerRemoved = true; }

void LinkFrame(FrameLink& frame) {
    frame.prev = innermostFrame;
    innermostFrame = &frame;
}

void UnlinkFrame(FrameLink& frame) {
    if (innermostFrame == &frame) innermostFrame = frame.prev;
}

// The x87 control word's exception masks (bit clear: the exception traps),
// as trap-enable bits of an ARM floating-point control register: invalid,
// division by zero, overflow, underflow, inexact, denormal.
[[maybe_unused]] std::uint32_t ArmTrapEnables(std::uint16_t control) {
    constexpr struct { std::uint16_t mask; std::uint32_t enable; } kBits[] = {
        {1u << 0, 1u << 8}, {1u << 2, 1u << 9}, {1u << 3, 1u << 10},
        {1u << 4, 1u << 11}, {1u << 5, 1u << 12}, {1u << 1, 1u << 15},
    };
    std::uint32_t enables = 0;
    for (const auto& bit : kBits) {
        if ((control & bit.mask) == 0) enables |= bit.enable;
    }
    return enables;
}

// Rounding to nearest everywhere, pending flags cleared. Trapping is what
// the platform allows: x87 and SSE trap as the control word says; ARM
// cores mostly ignore the trap-enable bits, and RISC-V has none.
void ResetFpu(std::uint16_t control) {
#if defined(__x86_64__) || defined(__i386__)
    LoadX86FpuControl(control);
#elif defined(__aarch64__)
    std::uint64_t fpcr = 0;
    __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
    fpcr &= ~std::uint64_t{(3u << 22) | 0x9F00u};
    fpcr |= ArmTrapEnables(control);
    __asm__ volatile("msr fpcr, %0\n\tmsr fpsr, xzr" : : "r"(fpcr));
#elif defined(__arm__) && defined(__ARM_FP)
    std::uint32_t fpscr = 0;
    __asm__ volatile("vmrs %0, fpscr" : "=r"(fpscr));
    fpscr &= ~((3u << 22) | 0x9F00u | 0x9Fu);
    fpscr |= ArmTrapEnables(control);
    __asm__ volatile("vmsr fpscr, %0" : : "r"(fpscr));
#elif defined(__riscv) && defined(__riscv_flen)
    (void)control;
    __asm__ volatile("csrw fcsr, zero");
#else
    (void)control;
#endif
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

void ShowErrorBox(const char* text, const char*) {
    if (closedStandard & 4u) return;
    char line[128];
    std::size_t n = 0;
    while (text[n] != 0 && n < sizeof line - 2) {
        line[n] = text[n];
        ++n;
    }
    line[n++] = '\r';
    line[n++] = '\n';
    ssize_t ignored = posixCalls.Write(2, line, n);
    (void)ignored;
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

// PATH_MAX counts bytes, and every name a record holds is within it.
bool NameWithinLimit(const char*, std::size_t) { return true; }

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
