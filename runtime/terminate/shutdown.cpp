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

void Shutdown(std::uint32_t status) {
    ExitStatus = status;
    if (ErrorSite != 0) ReportRunTimeError();
    CloseFileVar(ConsoleIn);
    CloseFileVar(ConsoleOut);
    HeapReleaseAll();
    if (TopLevelRegistration != nullptr) os::RemoveTopLevelHandler(*TopLevelRegistration);
    os::ExitProcess(ExitStatus);
}

void Terminate(std::uint32_t status) {
    ErrorSite = 0;
    Shutdown(status);
}

__attribute__((noinline)) void RunTimeError(std::uint32_t number) {
    ErrorSite = P5_RETURN_ADDRESS();
    Shutdown(number);
}

void RaiseReasonAt(std::uint32_t reason, std::uintptr_t site) {
    std::uint32_t number = ErrorOtherException;
    switch (reason) {
    case ReasonIoStatus: number = PeekIoStatus(); break;
    case ReasonOutOfMemory: number = ErrorOutOfMemory; break;
    case ReasonInvalidRelease: number = ErrorInvalidRelease; break;
    }
    ErrorSite = site;
    Shutdown(number);
}

__attribute__((noinline)) void RaiseReason(std::uint32_t reason) {
    RaiseReasonAt(reason, P5_RETURN_ADDRESS());
}

// The fault path's end: clean-up has run, the FPU is reset.
void FaultShutdown(std::uint32_t number, std::uintptr_t address) {
    ErrorSite = address;
    Shutdown(number);
}
