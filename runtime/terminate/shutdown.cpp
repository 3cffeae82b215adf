// The end of the process: Shutdown, and every way into it.
#include "runtime/base/heap.h"
#include "runtime/fileio/fileio.h"
#include "runtime/fileio/iostatus.h"
#include "runtime/terminate/terminate.h"
#include "runtime/textio/textio.h"

namespace {

void ReportRunTimeError() {
    FillErrorLine(ExitStatus, ErrorSite, os::CodeStart());
    if (ConsoleProgram) {
        // Behind whatever ConsoleOut holds; failures stay in IoStatus.
        WriteZText(ConsoleOut, ErrorLine);
        WriteLineEnd(ConsoleOut);
    } else {
        os::ShowErrorBox(ErrorLine, "Error");
    }
}

}  // namespace

// Every end of the process comes here, by one of three routes, and only
// RunTimeError's records an error site:
//   the program's own end:  Terminate -> Shutdown;
//   a failed check:         CheckIo -> RaiseReason -> RunTimeError -> Shutdown
//                           (the checked memory calls raise their reasons too);
//   a fault:                TopLevelHandler (OS layer, after the clean-up of
//                           every frame) -> RunTimeError -> Shutdown.
// The "At" forms carry a site taken further out: the caller of CheckIo, or
// the faulting instruction.
void Shutdown(std::uint32_t status) {
    ExitStatus = status;
    if (ErrorSite != 0) ReportRunTimeError();
    CloseFileVar(ConsoleIn);
    // Output to a file or a pipe goes out here. If it is lost (a full disk,
    // a reader gone), a run that would end with 0 ends with the write's
    // code: an unheard "Ok" is no success. Codes recorded before are not
    // looked at, and a run-time error keeps its number.
    bool outputOpen = ConsoleOut.State == StateOutput;
    TakeIoStatus();
    CloseFileVar(ConsoleOut);
    std::uint32_t lost = TakeIoStatus();
    if (ExitStatus == 0 && outputOpen) ExitStatus = lost;
    HeapReleaseAll();
    if (TopLevelRegistration != nullptr) os::RemoveTopLevelHandler(*TopLevelRegistration);
    os::ExitProcess(ExitStatus);
}

void Terminate(std::uint32_t status) {
    ErrorSite = 0;
    Shutdown(status);
}

void RunTimeErrorAt(std::uint32_t number, std::uintptr_t site) {
    ErrorSite = site;
    Shutdown(number);
}

__attribute__((noinline)) void RunTimeError(std::uint32_t number) {
    RunTimeErrorAt(number, P5_RETURN_ADDRESS());
}

void RaiseReasonAt(std::uint32_t reason, std::uintptr_t site) {
    std::uint32_t number = ErrorOtherException;
    switch (reason) {
    case ReasonIoStatus: number = PeekIoStatus(); break;
    case ReasonOutOfMemory: number = ErrorOutOfMemory; break;
    case ReasonInvalidRelease: number = ErrorInvalidRelease; break;
    }
    RunTimeErrorAt(number, site);
}

__attribute__((noinline)) void RaiseReason(std::uint32_t reason) {
    RaiseReasonAt(reason, P5_RETURN_ADDRESS());
}
