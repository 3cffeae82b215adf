// Fault injection over the OS layer, for the test program patch500_inject.
//
// Every call of os::sys that can fail is counted on its way to the real
// one. The environment picks one call to spoil:
//
//   P5_INJECT_AT=N      the Nth call counted (1-based; 0 or absent: none)
//   P5_INJECT_CALL=Name count only calls of this name (e.g. Write), so N is
//                       its ordinal; absent: every call counts
//   P5_INJECT_CODE=C    that call fails with error code C (not 0), the system
//                       untouched
//   P5_INJECT_SHORT=K   instead, a Read or Write asks the system for K bytes
//                       fewer and reports what it moved, without failing
//
// The spoiled call is named on standard error, "injected: Write #2\n"
// (name and ordinal among calls of that name; " short" added for a short
// transfer), so a test can tell which call it was; a run that prints
// nothing was not touched.
//
// The table is changed before the main block runs, from a wrapper the
// linker puts in place of ProgramMain (-Wl,--wrap=_Z11ProgramMainv): no
// global constructor is needed, and nothing here needs a C library beyond
// write(), so any start-up of the program works.
#include <unistd.h>

#include <cstdint>

#include "runtime/os/os.h"

namespace {

enum Call : std::uint32_t {
    kOpenExisting,
    kGetStdHandle,
    kRead,
    kWrite,
    kFileSize,
    kClose,
    kReserve,
    kCommit,
    kRelease,
    kCallKinds,
    kAnyCall = kCallKinds,
};

constexpr const char* kNames[kCallKinds] = {
    "OpenExisting", "GetStdHandle", "Read", "Write", "FileSize",
    "Close",        "Reserve",      "Commit", "Release",
};

struct Plan {
    std::uint32_t at = 0;
    Call only = kAnyCall;
    os::Error code = 0;
    std::uint32_t shortBy = 0;
};

constinit Plan plan{};
constinit os::Calls real{};
constinit std::uint32_t seen[kCallKinds] = {};
constinit std::uint32_t seenAll = 0;

// ---- Reading the plan, from the environment that follows argv ----

bool SameText(const char* a, const char* b) {
    while (*a != 0 && *a == *b) ++a, ++b;
    return *a == *b;
}

// The value of NAME in "NAME=value", or null.
const char* ValueOf(const char* entry, const char* name) {
    while (*name != 0 && *entry == *name) ++entry, ++name;
    return *name == 0 && *entry == '=' ? entry + 1 : nullptr;
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
        if (const char* v = ValueOf(*env, "P5_INJECT_AT")) plan.at = Number(v);
        if (const char* v = ValueOf(*env, "P5_INJECT_CODE")) plan.code = Number(v);
        if (const char* v = ValueOf(*env, "P5_INJECT_SHORT")) plan.shortBy = Number(v);
        if (const char* v = ValueOf(*env, "P5_INJECT_CALL")) {
            for (std::uint32_t c = 0; c < kCallKinds; ++c) {
                if (SameText(v, kNames[c])) plan.only = static_cast<Call>(c);
            }
        }
    }
    // A "failure" with code 0 would be a success that did nothing.
    if (plan.code == 0 && plan.shortBy == 0) plan.at = 0;
}

// ---- Counting ----

void Say(const char* name, std::uint32_t ordinal, bool isShort) {
    char line[80];
    std::uint32_t n = 0;
    for (const char* p = "injected: "; *p != 0;) line[n++] = *p++;
    for (const char* p = name; *p != 0;) line[n++] = *p++;
    line[n++] = ' ';
    line[n++] = '#';
    char digits[10];
    std::uint32_t d = 0;
    do digits[d++] = static_cast<char>('0' + ordinal % 10);
    while ((ordinal /= 10) != 0);
    while (d > 0) line[n++] = digits[--d];
    if (isShort) {
        for (const char* p = " short"; *p != 0;) line[n++] = *p++;
    }
    line[n++] = '\n';
    ssize_t ignored = write(2, line, n);
    (void)ignored;
}

enum class Verdict { Pass, Fail, Short };

Verdict Count(Call call) {
    std::uint32_t ordinal = ++seen[call];
    ++seenAll;
    if (plan.at == 0) return Verdict::Pass;
    if (plan.only != kAnyCall && plan.only != call) return Verdict::Pass;
    if ((plan.only == kAnyCall ? seenAll : ordinal) != plan.at) return Verdict::Pass;
    // A short transfer only means something for a transfer.
    bool transfer = call == kRead || call == kWrite;
    if (plan.shortBy != 0 && !transfer) return Verdict::Pass;
    Say(kNames[call], ordinal, plan.shortBy != 0);
    return plan.shortBy != 0 ? Verdict::Short : Verdict::Fail;
}

std::uint32_t Shortened(std::uint32_t size) { return size > plan.shortBy ? size - plan.shortBy : 0; }

// ---- The wrappers ----

os::Error OpenExisting(const char* path, os::Access access, os::Handle* handle) {
    if (Count(kOpenExisting) == Verdict::Fail) return plan.code;
    return real.OpenExisting(path, access, handle);
}

os::Error GetStdHandle(os::StdStream which, os::Handle* handle) {
    if (Count(kGetStdHandle) == Verdict::Fail) return plan.code;
    return real.GetStdHandle(which, handle);
}

os::Error Read(os::Handle handle, void* buffer, std::uint32_t size, std::uint32_t* done) {
    switch (Count(kRead)) {
    case Verdict::Fail: return plan.code;
    case Verdict::Short: return real.Read(handle, buffer, Shortened(size), done);
    case Verdict::Pass: break;
    }
    return real.Read(handle, buffer, size, done);
}

os::Error Write(os::Handle handle, const void* buffer, std::uint32_t size, std::uint32_t* done) {
    switch (Count(kWrite)) {
    case Verdict::Fail: return plan.code;
    case Verdict::Short: return real.Write(handle, buffer, Shortened(size), done);
    case Verdict::Pass: break;
    }
    return real.Write(handle, buffer, size, done);
}

os::Error FileSize(os::Handle handle, std::uint64_t* size) {
    if (Count(kFileSize) == Verdict::Fail) return plan.code;
    return real.FileSize(handle, size);
}

os::Error Close(os::Handle handle) {
    if (Count(kClose) == Verdict::Fail) return plan.code;
    return real.Close(handle);
}

os::Error Reserve(std::size_t size, void** base) {
    if (Count(kReserve) == Verdict::Fail) return plan.code;
    return real.Reserve(size, base);
}

os::Error Commit(void* address, std::size_t size) {
    if (Count(kCommit) == Verdict::Fail) return plan.code;
    return real.Commit(address, size);
}

os::Error Release(void* base, std::size_t size) {
    if (Count(kRelease) == Verdict::Fail) return plan.code;
    return real.Release(base, size);
}

void InstallInjection() {
    ReadPlan();
    real = os::sys;
    os::sys.OpenExisting = OpenExisting;
    os::sys.GetStdHandle = GetStdHandle;
    os::sys.Read = Read;
    os::sys.Write = Write;
    os::sys.FileSize = FileSize;
    os::sys.Close = Close;
    os::sys.Reserve = Reserve;
    os::sys.Commit = Commit;
    os::sys.Release = Release;
}

}  // namespace

// The linker sends the entry point's call of ProgramMain here, and the
// __real_ name to the main block itself.
extern "C" void __real__Z11ProgramMainv();

extern "C" void __wrap__Z11ProgramMainv() {
    InstallInjection();
    __real__Z11ProgramMainv();
}
