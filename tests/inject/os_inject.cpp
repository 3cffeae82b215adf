// Fault injection for the test program patch500_inject: the OS double over
// the real table, with its plan from the environment:
//
//   P5_INJECT_AT=N      the Nth call counted (from 1; 0 or absent: none)
//   P5_INJECT_CALL=Name counting only calls of this name (absent: all that can fail)
//   P5_INJECT_CODE=C    fails with error code C (not 0), the system untouched
//   P5_INJECT_SHORT=K   or, a Read or Write, asks the system for K bytes fewer
//   P5_INJECT_LAYER=system  counts the backend's system calls instead (its
//                       own call table, from the first one the program
//                       makes); the Nth fails with errno C
//
// The spoiled call is named on standard error, "injected: Write #2\n"
// (its ordinal among calls of its name; " short" added for a short
// transfer); a run that prints nothing was not touched. Nothing here needs
// a global constructor or a C library: the line goes out through the
// system's own write, on standard error's descriptor.
#include <sys/mman.h>

#include <cerrno>
#include <cstdint>

#include "runtime/os/os.h"
#include "runtime/os/posix/calls.h"
#include "tests/double/os_double.h"

namespace {

constinit fake::Plan plan{};
constinit bool systemLayer = false;
constinit os::PosixCalls realSystem{};  // also for the line below

// What follows `prefix` in `text`, or null.
const char* After(const char* text, const char* prefix) {
    while (*prefix != 0 && *text == *prefix) ++text, ++prefix;
    return *prefix == 0 ? text : nullptr;
}

std::uint32_t Number(const char* text) {
    std::uint32_t n = 0;
    while (*text >= '0' && *text <= '9') n = n * 10 + static_cast<std::uint32_t>(*text++ - '0');
    return n;
}

void ReadPlan() {
    int count = 0;
    char** argv = os::ArgumentVector(&count);
    if (argv == nullptr) return;
    // The process's environment lies right behind the argument vector.
    for (char** env = argv + count + 1; *env != nullptr; ++env) {
        if (const char* v = After(*env, "P5_INJECT_AT=")) plan.at = Number(v);
        if (const char* v = After(*env, "P5_INJECT_CODE=")) plan.code = Number(v);
        if (const char* v = After(*env, "P5_INJECT_SHORT=")) plan.shortBy = Number(v);
        if (const char* v = After(*env, "P5_INJECT_LAYER=")) systemLayer = *After(v, "system") == 0;
        if (const char* v = After(*env, "P5_INJECT_CALL=")) {
            for (std::uint32_t c = 0; c < fake::kGetFileType; ++c) {
                const char* rest = After(v, fake::CallName(static_cast<fake::Call>(c)));
                if (rest != nullptr && *rest == 0) plan.only = static_cast<fake::Call>(c);
            }
        }
    }
    // A "failure" with code 0 would be a success that did nothing.
    if (plan.code == 0 && plan.shortBy == 0) plan.at = 0;
}

char* Put(char* at, const char* text) {
    while (*text != 0) *at++ = *text++;
    return at;
}

void Say(const char* call, std::uint32_t ordinal, bool shortened) {
    char digits[11] = {};
    char* first = digits + 10;
    do *--first = static_cast<char>('0' + ordinal % 10);
    while ((ordinal /= 10) != 0);
    char line[80];
    char* end = Put(Put(Put(Put(line, "injected: "), call), " #"), first);
    if (shortened) end = Put(end, " short");
    *end++ = '\n';
    // A lost line shows as a test failure.
    (void)realSystem.Write(2, line, static_cast<std::size_t>(end - line));
}

void SaySpoiled(const fake::Seen& seen) {
    if (seen.verdict == fake::Verdict::Pass) return;
    Say(fake::CallName(seen.call), seen.ordinal, seen.verdict == fake::Verdict::Short);
}

// ---- The system layer: every slot of the backend's call table ----

enum SystemCall : std::uint32_t {
    kOpen, kFstat, kStat, kFcntl, kFlock, kIoctl, kDup3, kClose, kRead, kWrite, kFdatasync, kPoll,
    kMmap, kMunmap, kReadlink, kSigprocmask, kSigaltstack, kSigaction, kNanosleep, kSystemCalls,
};
constexpr const char* kSystemNames[kSystemCalls] = {
    "Open", "Fstat", "Stat", "Fcntl", "Flock", "Ioctl", "Dup3", "Close", "Read", "Write",
    "Fdatasync", "Poll", "Mmap", "Munmap", "Readlink", "Sigprocmask", "Sigaltstack", "Sigaction", "Nanosleep"};
constinit std::uint32_t systemCounted = 0;
constinit std::uint32_t systemOrdinal[kSystemCalls] = {};

// Counts the call; true when the plan fails it, with errno set.
bool SystemCallFails(SystemCall call) {
    ++systemOrdinal[call];
    if (++systemCounted != plan.at) return false;
    Say(kSystemNames[call], systemOrdinal[call], false);
    errno = static_cast<int>(plan.code);
    return true;
}

#define P5_SPOILABLE(Slot, failed) \
    [](auto... a) { return SystemCallFails(k##Slot) ? (failed) : realSystem.Slot(a...); }

void InstallSystemLayer() {
    os::posixCalls = {
        .Open = P5_SPOILABLE(Open, -1),
        .Fstat = P5_SPOILABLE(Fstat, -1),
        .Stat = P5_SPOILABLE(Stat, -1),
        .Fcntl = P5_SPOILABLE(Fcntl, -1),
        .Flock = P5_SPOILABLE(Flock, -1),
        .Ioctl = P5_SPOILABLE(Ioctl, -1),
        .Dup3 = P5_SPOILABLE(Dup3, -1),
        .Close = P5_SPOILABLE(Close, -1),
        .Read = P5_SPOILABLE(Read, -1),
        .Write = P5_SPOILABLE(Write, -1),
        .Fdatasync = P5_SPOILABLE(Fdatasync, -1),
        .Poll = P5_SPOILABLE(Poll, -1),
        .Mmap = P5_SPOILABLE(Mmap, MAP_FAILED),
        .Munmap = P5_SPOILABLE(Munmap, -1),
        .Readlink = P5_SPOILABLE(Readlink, -1),
        .Sigprocmask = P5_SPOILABLE(Sigprocmask, -1),
        .Sigaltstack = P5_SPOILABLE(Sigaltstack, -1),
        .Sigaction = P5_SPOILABLE(Sigaction, -1),
        .Nanosleep = P5_SPOILABLE(Nanosleep, -1),
    };
}

}  // namespace

// The linker sends the entry point's call of ProgramMain here
// (-Wl,--wrap=_Z11ProgramMainv), and the __real_ name to the main block.
extern "C" void __real__Z11ProgramMainv();

extern "C" void __wrap__Z11ProgramMainv() {
    ReadPlan();
    realSystem = os::posixCalls;
    if (systemLayer) {
        if (plan.code != 0) InstallSystemLayer();
    } else {
        static constinit os::Calls real{};
        real = os::sys;
        fake::InstallDouble(real, plan, SaySpoiled);
    }
    __real__Z11ProgramMainv();
}
