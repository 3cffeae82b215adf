// Fault injection for the test program patch500_inject: the OS double over
// the real table, with its plan from the environment:
//
//   P5_INJECT_AT=N      the Nth call counted (from 1; 0 or absent: none)
//   P5_INJECT_CALL=Name counting only calls of this name (absent: all that can fail)
//   P5_INJECT_CODE=C    fails with error code C (not 0), the system untouched
//   P5_INJECT_SHORT=K   or, a Read or Write, asks the system for K bytes fewer
//
// The spoiled call is named on standard error, "injected: Write #2\n"
// (its ordinal among calls of its name; " short" added for a short
// transfer); a run that prints nothing was not touched. Nothing here needs
// a global constructor or a C library: the line goes out through the
// real table, on standard error's descriptor.
#include <cstdint>

#include "runtime/os/os.h"
#include "tests/double/os_double.h"

namespace {

constinit fake::Plan plan{};
constinit os::Calls real{};  // the system's own, for the line below

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

void SaySpoiled(const fake::Seen& seen) {
    if (seen.verdict == fake::Verdict::Pass) return;
    char digits[11] = {};
    char* first = digits + 10;
    std::uint32_t ordinal = seen.ordinal;
    do *--first = static_cast<char>('0' + ordinal % 10);
    while ((ordinal /= 10) != 0);
    char line[80];
    char* end = Put(Put(Put(Put(line, "injected: "), fake::CallName(seen.call)), " #"), first);
    if (seen.verdict == fake::Verdict::Short) end = Put(end, " short");
    *end++ = '\n';
    std::uint32_t written = 0;  // a lost line shows as a test failure
    real.Write(2, line, static_cast<std::uint32_t>(end - line), &written);
}

}  // namespace

// The linker sends the entry point's call of ProgramMain here
// (-Wl,--wrap=_Z11ProgramMainv), and the __real_ name to the main block.
extern "C" void __real__Z11ProgramMainv();

extern "C" void __wrap__Z11ProgramMainv() {
    ReadPlan();
    real = os::sys;
    fake::InstallDouble(real, plan, SaySpoiled);
    __real__Z11ProgramMainv();
}
