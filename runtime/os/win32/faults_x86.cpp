// Faults on 32-bit Windows: the system's structured-exception chain, whose
// head is at fs:0. Clean-up frames are registrations in that same chain,
// and the last-resort handler has the system unwind them (RtlUnwind),
// innermost first, before the process shuts down.
#include "runtime/os/win32/win32.h"

namespace os {
namespace {

FrameLink* ChainHead() {
    FrameLink* head;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
    return head;
}

void SetChainHead(FrameLink* head) {
    __asm__ volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}

constexpr DWORD kUnwinding = EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND;

}  // namespace
}  // namespace os

// RtlUnwind continues at the address it is given, with the registers it
// found on entry; giving it its own return address makes "returns" and
// "continues there" the same thing. Written out so that no register the
// compiler relies on is left to chance.
extern "C" void P5UnwindTo(void* targetFrame, EXCEPTION_RECORD* record);
__asm__(
    ".text\n"
    ".globl _P5UnwindTo\n"
    "_P5UnwindTo:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl %ebx\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    "    pushl $0\n"          // return value
    "    pushl 12(%ebp)\n"    // exception record
    "    pushl $1f\n"         // continuation
    "    pushl 8(%ebp)\n"     // target frame
    "    call _RtlUnwind@16\n"
    "1:\n"
    "    leal -12(%ebp), %esp\n"
    "    popl %edi\n"
    "    popl %esi\n"
    "    popl %ebx\n"
    "    popl %ebp\n"
    "    ret\n");

namespace os {
namespace {

// Search pass: let the search go on. Unwind pass: run the block's clean-up.
extern "C" EXCEPTION_DISPOSITION __cdecl CleanupHandler(EXCEPTION_RECORD* record, void* frame,
                                                       CONTEXT*, void*) {
    if (record->ExceptionFlags & kUnwinding) RunFrameCleanup(*static_cast<FrameLink*>(frame));
    return ExceptionContinueSearch;
}

// No block handles a fault, so the search always ends here.
extern "C" EXCEPTION_DISPOSITION __cdecl TopLevelHandler(EXCEPTION_RECORD* record, void* frame,
                                                        CONTEXT*, void*) {
    if (record->ExceptionFlags & kUnwinding) return ExceptionContinueSearch;
    std::uint32_t code = record->ExceptionCode;
    auto address = reinterpret_cast<std::uintptr_t>(record->ExceptionAddress);
    ResetFloatingPoint();
    P5UnwindTo(frame, record);
    RunTimeErrorAt(MapFault(code), address);
}

}  // namespace

void InstallTopLevelHandler(FrameLink& top) {
    top.handler = reinterpret_cast<void*>(TopLevelHandler);
    top.prev = ChainHead();
    SetChainHead(&top);
}

void RemoveTopLevelHandler(FrameLink& top) {
    if (ChainHead() == &top) SetChainHead(top.prev);
}

void LinkFrame(FrameLink& frame) {
    frame.handler = reinterpret_cast<void*>(CleanupHandler);
    frame.prev = ChainHead();
    SetChainHead(&frame);
}

void UnlinkFrame(FrameLink& frame) {
    if (ChainHead() == &frame) SetChainHead(frame.prev);
}

}  // namespace os
