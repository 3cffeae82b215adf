// The patch command: which of the two named files is the source, the
// checks that refuse a run, and the one read and one write of a patch.
#include "app/patch_command.h"

#include "app/messages.h"
#include "runtime/args/args.h"
#include "runtime/base/cleanup.h"
#include "runtime/base/dynstring.h"
#include "runtime/fileio/fileio.h"
#include "runtime/fileio/iostatus.h"
#include "runtime/terminate/terminate.h"
#include "runtime/textio/textio.h"

namespace {

constinit FileVar FirstFile = {};
constinit FileVar SecondFile = {};
constinit char PatchBuffer[PatchSize] = {};

constexpr StringLiteral kNeedTwoParameters{message::NeedTwoParameters};
constexpr StringLiteral kCantFindFirst{message::CantFindFirst};
constexpr StringLiteral kCantFindSecond{message::CantFindSecond};
constexpr StringLiteral kNoFileOfPatchSize{message::NoFileOfPatchSize};
constexpr StringLiteral kBothOfPatchSize{message::BothOfPatchSize};
constexpr StringLiteral kOk{message::Ok};

// Prints the refusal and ends the program with status 0. Holds its own
// reference to the message while it runs.
[[noreturn]] void FailWith(DynString message) {
    CleanupFrame frame(ReleaseStringWork, &message);
    WriteText(ConsoleOut, message);
    WriteLineEnd(ConsoleOut);
    CheckIo();
    Terminate(0);
}

// Binds and opens one argument; the status of the open is the caller's.
void OpenArgument(FileVar& file, const DynString& argument) {
    AssignName(file, argument.CStr());
    OpenExisting(file, ByteRecords);
}

}  // namespace

void RunPatchCommand() {
    DynString argument;
    CleanupFrame frame(ReleaseStringWork, &argument);

    if (ArgCount() != 2) FailWith(kNeedTwoParameters);

    ArgString(1, argument);
    OpenArgument(FirstFile, argument);
    if (TakeIoStatus() != 0) FailWith(kCantFindFirst);

    ArgString(2, argument);
    OpenArgument(SecondFile, argument);
    if (TakeIoStatus() != 0) FailWith(kCantFindSecond);
    // While the second file was waited for, the first name may have passed
    // to a new file saved over it, or gone: the file held is not the one named.
    if (WaitedForHold(SecondFile)) {
        RecheckName(FirstFile);
        if (TakeIoStatus() != 0) FailWith(kCantFindFirst);
    }

    // Full lengths: a file of 4 GiB + 500 bytes is not a 500-byte file.
    std::uint64_t firstLength = FileLength(FirstFile);
    CheckIo();
    std::uint64_t secondLength = FileLength(SecondFile);
    CheckIo();
    if (firstLength != PatchSize && secondLength != PatchSize) FailWith(kNoFileOfPatchSize);
    if (firstLength == PatchSize && secondLength == PatchSize) FailWith(kBothOfPatchSize);

    FileVar& source = firstLength == PatchSize ? FirstFile : SecondFile;
    FileVar& target = firstLength == PatchSize ? SecondFile : FirstFile;

    // Both were just opened: the read takes the whole source from offset 0
    // and the write lands on the first 500 bytes of the target.
    ReadRecords(source, PatchBuffer, PatchSize, nullptr);
    CheckIo();
    WriteRecords(target, PatchBuffer, PatchSize, nullptr);
    CheckIo();

    CloseFileVar(FirstFile);
    CheckIo();
    CloseFileVar(SecondFile);
    CheckIo();

    WriteText(ConsoleOut, kOk);
    WriteLineEnd(ConsoleOut);
    CheckIo();
}
