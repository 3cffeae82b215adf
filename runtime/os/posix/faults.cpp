// How a fault reaches the runtime on posix: the fault signals' handler on
// an alternate stack, the table that gives each signal its run-time error
// number, and the thread's chain of clean-up frames it runs.
#include "runtime/os/os.h"
#include "runtime/os/posix/calls.h"
#include "runtime/terminate/error_numbers.h"

#include <signal.h>
#include <ucontext.h>

#include <climits>

namespace os {
namespace {

constinit volatile sig_atomic_t handlerRemoved = 0;

P5_PER_THREAD constinit FrameLink* innermostFrame = nullptr;

alignas(16) P5_LAST_IN_MEMORY("2") constinit char alternateStack[64 * 1024] = {};

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
    RunTimeErrorAt(number, ProgramCounter(context));
}

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

}  // namespace

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

}  // namespace os
