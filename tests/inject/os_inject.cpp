// Fault injection for the test program patch500_inject: the OS double over
// the real table, with a plan from the environment:
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
#include "tests/double/os_double.h"

namespace {

constinit fake::Plan plan{};

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
            fake::Call call = fake::CallNamed(v);
            if (call < fake::kFailingCalls) plan.only = call;
        }
    }
    // A "failure" with code 0 would be a success that did nothing.
    if (plan.code == 0 && plan.shortBy == 0) plan.at = 0;
}

void SaySpoiled(const fake::Seen& seen) {
    if (seen.verdict == fake::Verdict::Pass) return;
    char line[80];
    std::uint32_t n = 0;
    for (const char* p = "injected: "; *p != 0;) line[n++] = *p++;
    for (const char* p = fake::CallName(seen.call); *p != 0;) line[n++] = *p++;
    line[n++] = ' ';
    line[n++] = '#';
    char digits[10];
    std::uint32_t d = 0;
    std::uint32_t ordinal = seen.ordinal;
    do digits[d++] = static_cast<char>('0' + ordinal % 10);
    while ((ordinal /= 10) != 0);
    while (d > 0) line[n++] = digits[--d];
    if (seen.verdict == fake::Verdict::Short) {
        for (const char* p = " short"; *p != 0;) line[n++] = *p++;
    }
    line[n++] = '\n';
    ssize_t ignored = write(2, line, n);
    (void)ignored;
}

}  // namespace

// The linker sends the entry point's call of ProgramMain here, and the
// __real_ name to the main block itself.
extern "C" void __real__Z11ProgramMainv();

extern "C" void __wrap__Z11ProgramMainv() {
    ReadPlan();
    fake::InstallDouble(os::sys, plan, SaySpoiled);
    __real__Z11ProgramMainv();
}
