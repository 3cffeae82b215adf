// Test-only program: drives the runtime end to end, one case per run.
// The case is the last word of the command line. Never installed.
#include <cstdint>

#include "runtime/base/checked_memory.h"
#include "runtime/base/cleanup.h"
#include "runtime/base/dynstring.h"
#include "runtime/fileio/fileio.h"
#include "runtime/fileio/iostatus.h"
#include "runtime/terminate/terminate.h"
#include "runtime/textio/textio.h"

namespace {

bool Is(const char* a, const char* b) {
    while (*a != 0 && *a == *b) ++a, ++b;
    return *a == *b;
}

const char* CaseName() {
    int count = 0;
    if (char** argv = os::ArgumentVector(&count); argv != nullptr) {
        return count > 1 ? argv[count - 1] : "";
    }
    const char* line = os::CommandLine();
    const char* last = line;
    for (const char* p = line; *p != 0; ++p) {
        if (*p == ' ' && p[1] != ' ' && p[1] != 0) last = p + 1;
    }
    return last;
}

void Say(const char* text) {
    WriteZText(ConsoleOut, text);
    WriteLineEnd(ConsoleOut);
}

// Hardware faults, free of anything a sanitizer would catch first.
__attribute__((noinline, no_sanitize("address,undefined"))) int ReadAt(std::uintptr_t address) {
    return *reinterpret_cast<volatile int*>(address);
}

void NullRead() {
    volatile std::uintptr_t zero = 0;
    (void)ReadAt(zero);
}

__attribute__((noinline, no_sanitize("undefined"))) unsigned Divide(unsigned a, unsigned b) {
    return a / b;
}

// Integer division by zero traps on x86, and 32-bit ARM's division
// routines raise the signal; elsewhere it gives a number and the case
// says so.
void DivideByZero() {
    volatile unsigned dividend = 1;
    volatile unsigned divisor = 0;
    volatile unsigned quotient = Divide(dividend, divisor);
    (void)quotient;
    Say("division by zero did not trap");
    Terminate(0);
}

void SayInner(void*) { Say("cleanup inner"); }
void SayOuter(void*) { Say("cleanup outer"); }
void FaultingCleanup(void*) {
    Say("cleanup faulting");
    NullRead();
}

volatile unsigned recursionLimit = ~0u;

__attribute__((noinline)) unsigned Recurse(unsigned depth) {
    volatile char pad[512];
    pad[0] = static_cast<char>(depth);
    if (depth == recursionLimit) return 0;
    return Recurse(depth + 1) + pad[0];
}

void NullCall() {
    void (*volatile target)() = nullptr;
    target();
}

void RunCase(const char* name) {
    if (Is(name, "ok")) {
        Say("hello");
        Terminate(0);
    }
    if (Is(name, "checkio")) {
        // A failing checked operation behind text without a line end.
        WriteZText(ConsoleOut, "partial ");
        FileVar missing{};
        AssignName(missing, "no-such-file.bin");
        OpenExisting(missing, 1);
        CheckIo();  // CHECK-SITE
        Say("not reached");
    }
    if (Is(name, "status1000")) {
        SetIoStatus(1000);
        CheckIo();
    }
    if (Is(name, "badfree")) {
        static char notFromHeap[32];
        FreeMemChecked(notFromHeap + 16);
    }
    if (Is(name, "box")) {
        ConsoleProgram = false;
        RunTimeError(217);
    }
    if (Is(name, "nullcall")) {
        CleanupFrame outer(SayOuter, nullptr);
        NullCall();
    }

    // The remaining cases run inside two nested clean-up frames.
    DynString text = DynString::FromBytes("owned", 5);
    CleanupFrame outer(SayOuter, nullptr);
    {
        CleanupFrame inner(Is(name, "cleanupfault") ? FaultingCleanup : SayInner, nullptr);
        if (Is(name, "null")) NullRead();
        if (Is(name, "divzero")) DivideByZero();
        if (Is(name, "stack")) Recurse(0);
        if (Is(name, "cleanupfault")) NullRead();
        if (Is(name, "direct")) RunTimeError(42);
        if (Is(name, "frames")) {
            Say("leaving inner");
        }
    }
    if (Is(name, "frames")) {
        Say("left inner");
        Terminate(0);
    }
    Say("unknown case");
    Terminate(1);
}

}  // namespace

void ProgramMain() {
    ConsoleMainBlock start;
    RunCase(CaseName());
}
