// Binary files: the record's state table, every status code, and the
// posix backend's open rules on real files.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "recording_os.h"
#include "runtime/fileio/fileio.h"
#include "runtime/fileio/iostatus.h"
#include "runtime/os/posix/calls.h"
#include "runtime/terminate/terminate.h"
#include "runtime/textio/textio.h"
#include "tests/common/files.h"

namespace {

using testfs::ReadWholeFile;
using testfs::TempDir;
using Calls = std::vector<std::string>;

// Values of State that mean "never bound": zero and the neighbours of the
// four valid values.
constexpr std::uint32_t kNeverBoundStates[] = {0, StateClosed - 1, StateInputOutput + 1,
                                               0xFFFFFFFFu};

constexpr std::uint8_t kKinds[] = {AccessRead, AccessWrite, AccessReadWrite};

std::string Pattern(std::size_t length) {
    std::string bytes;
    for (std::size_t i = 0; i < length; ++i) bytes.push_back(static_cast<char>('a' + i % 26));
    return bytes;
}

// A record bound to `name` and opened through the fake table.
void OpenNamed(FileVar& file, const char* name, std::uint32_t recordSize, std::uint8_t kind) {
    AssignName(file, name);
    OpenWithAccess(file, recordSize, kind);
    ASSERT_EQ(PeekIoStatus(), 0u);
}

// `file` bound to `path` and opened with `kind`, or through OpenExisting
// without one; the status is left for the test to take.
void OpenPath(FileVar& file, const std::string& path, std::uint32_t recordSize,
              std::optional<std::uint8_t> kind = std::nullopt) {
    AssignName(file, path.c_str());
    if (kind) {
        OpenWithAccess(file, recordSize, *kind);
    } else {
        OpenExisting(file, recordSize);
    }
}

// No access kind opens `path`: each stores `code` and leaves the record closed.
void ExpectEveryKindRefused(const std::string& path, std::uint32_t code) {
    for (std::uint8_t kind : kKinds) {
        SCOPED_TRACE(testing::Message() << "kind " << int{kind});
        FileVar file{};
        OpenPath(file, path, 1, kind);
        EXPECT_EQ(TakeIoStatus(), code);
        EXPECT_EQ(file.State, StateClosed);
    }
}

// Builds directories under `root` so that the returned path, a file that
// exists, is exactly `length` characters long.
std::string CreateFileWithPathLength(const std::string& root, std::size_t length) {
    if (root.size() + 2 > length) return "";
    std::string path = root;
    while (length - path.size() > 256) {  // components stay within NAME_MAX
        path += "/" + std::string(200, 'd');
        if (mkdir(path.c_str(), 0755) != 0) return "";
    }
    path += "/" + std::string(length - path.size() - 1, 'f');
    return testfs::WriteWholeFile(path, "prefix file") ? path : "";
}

}  // namespace

// --- The state table -------------------------------------------------------

TEST(FileRecord, OpenOfNeverBoundRecordStores102AndAsksNothing) {
    for (std::uint32_t state : kNeverBoundStates) {
        for (const char* name : {"data.bin", ""}) {
            SCOPED_TRACE(testing::Message()
                         << "State " << std::hex << state << " name '" << name << "'");
            fake::RecordingOs fakeOs;
            FileVar file{};
            file.State = state;
            std::strcpy(file.PathName, name);

            for (std::uint8_t kind : kKinds) {
                OpenWithAccess(file, 1, kind);
                EXPECT_EQ(TakeIoStatus(), StatusNeverBound);
            }
            OpenExisting(file, 1);
            EXPECT_EQ(TakeIoStatus(), StatusNeverBound);

            EXPECT_EQ(file.State, state);
            EXPECT_EQ(fakeOs.calls, Calls{});
        }
    }
}

TEST(FileRecord, TransferLengthAndCloseOfNeverBoundRecordStore103) {
    for (std::uint32_t state : kNeverBoundStates) {
        SCOPED_TRACE(testing::Message() << "State " << std::hex << state);
        fake::RecordingOs fakeOs;
        FileVar file{};
        file.State = state;
        file.RecordSize = 1;
        char buffer[4] = {};
        std::uint32_t moved = 77;

        EXPECT_EQ(ReadRecords(file, buffer, 1, &moved), 0u);
        EXPECT_EQ(TakeIoStatus(), StatusNotOpen);
        EXPECT_EQ(WriteRecords(file, buffer, 1, &moved), 0u);
        EXPECT_EQ(TakeIoStatus(), StatusNotOpen);
        EXPECT_EQ(moved, 77u);
        EXPECT_EQ(FileLength(file), FileLengthFailed);
        EXPECT_EQ(TakeIoStatus(), StatusNotOpen);
        CloseFileVar(file);
        EXPECT_EQ(TakeIoStatus(), StatusNotOpen);

        EXPECT_EQ(file.State, state);
        EXPECT_EQ(fakeOs.calls, Calls{});
    }
}

TEST(FileRecord, TransferLengthAndCloseOfClosedRecordStore103) {
    fake::RecordingOs fakeOs;
    FileVar justBound{};
    AssignName(justBound, "data.bin");
    FileVar closedAgain{};
    OpenNamed(closedAgain, "data.bin", 1, AccessReadWrite);
    CloseFileVar(closedAgain);
    ASSERT_EQ(TakeIoStatus(), 0u);
    fakeOs.calls.clear();

    for (FileVar* file : {&justBound, &closedAgain}) {
        char buffer[4] = {};
        EXPECT_EQ(ReadRecords(*file, buffer, 1, nullptr), 0u);
        EXPECT_EQ(TakeIoStatus(), StatusNotOpen);
        EXPECT_EQ(WriteRecords(*file, buffer, 1, nullptr), 0u);
        EXPECT_EQ(TakeIoStatus(), StatusNotOpen);
        EXPECT_EQ(FileLength(*file), ~std::uint64_t{0});
        EXPECT_EQ(TakeIoStatus(), StatusNotOpen);
        CloseFileVar(*file);
        EXPECT_EQ(TakeIoStatus(), StatusNotOpen);
        EXPECT_EQ(file->State, StateClosed);
    }
    EXPECT_EQ(fakeOs.calls, Calls{});
}

TEST(FileRecord, OpenSetsStateAndSystemAccessByKind) {
    struct Row {
        std::uint8_t kind;
        std::uint32_t state;
        os::Access access;
    };
    const Row rows[] = {
        {AccessRead, StateInput, os::Access::Read},
        {AccessWrite, StateOutput, os::Access::Write},
        {AccessReadWrite, StateInputOutput, os::Access::ReadWrite},
        {3, StateInputOutput, os::Access::ReadWrite},  // above 2 acts as 2
        {255, StateInputOutput, os::Access::ReadWrite},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "kind " << int{row.kind});
        fake::RecordingOs fakeOs;
        FileVar file{};
        AssignName(file, "data.bin");
        OpenWithAccess(file, 7, row.kind);

        EXPECT_EQ(TakeIoStatus(), 0u);
        EXPECT_EQ(file.State, row.state);
        EXPECT_EQ(file.SysHandle, 40u);
        EXPECT_EQ(file.RecordSize, 7u);
        ASSERT_EQ(fakeOs.opens.size(), 1u);
        EXPECT_EQ(fakeOs.opens[0].path, "data.bin");
        EXPECT_EQ(fakeOs.opens[0].access, row.access);
    }
}

TEST(FileRecord, OpenExistingOpensWithDefaultOpenMode) {
    struct Row {
        std::uint8_t mode;
        std::uint32_t state;
    };
    const Row rows[] = {{0, StateInput},
                        {1, StateOutput},
                        {2, StateInputOutput},
                        {3, StateInputOutput},
                        {200, StateInputOutput}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "DefaultOpenMode " << int{row.mode});
        fake::RecordingOs fakeOs;
        DefaultOpenMode = row.mode;
        FileVar file{};
        AssignName(file, "data.bin");
        OpenExisting(file, 1);
        EXPECT_EQ(TakeIoStatus(), 0u);
        EXPECT_EQ(file.State, row.state);
    }
}

TEST(FileRecord, FailedOpenLeavesClosedWithSystemCode) {
    fake::RecordingOs fakeOs;
    fakeOs.openError = ENOENT;
    ExpectEveryKindRefused("missing.bin", ENOENT);
}

// Another program's hold is waited out for half a second; a missing file,
// or one this process holds itself, is refused at once.
TEST(FileRecord, OpenWaitsOutAnotherProgramsBriefHoldOnly) {
    const Calls kWaited = {"OpenExisting", "HeldHere", "Pause", "OpenExisting", "Pause",
                           "OpenExisting", "Pause", "OpenExisting"};
    struct Row {
        const char* name;
        os::Error error;
        std::uint32_t failures;
        bool heldHere;
        std::uint32_t status;
        std::vector<std::uint32_t> pauses;
        std::size_t opens;
    };
    const Row rows[] = {
        {"released after three tries", EAGAIN, 3, false, 0, {10, 20, 40}, 4},
        {"held throughout", EAGAIN, UINT32_MAX, false, EAGAIN, {10, 20, 40, 80, 150, 200}, 7},
        {"held by this process", EAGAIN, UINT32_MAX, true, EAGAIN, {}, 1},
        {"missing", ENOENT, UINT32_MAX, false, ENOENT, {}, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fake::RecordingOs fakeOs;
        fakeOs.openError = row.error;
        fakeOs.openFailures = row.failures;
        fakeOs.heldHere = row.heldHere;
        FileVar file{};
        AssignName(file, "held.bin");
        OpenExisting(file, 1);
        EXPECT_EQ(TakeIoStatus(), row.status);
        EXPECT_EQ(fakeOs.pauses, row.pauses);
        EXPECT_EQ(fakeOs.opens.size(), row.opens);
        EXPECT_EQ(IsOpenState(file.State), row.status == 0);
        if (row.failures == 3) {
            EXPECT_EQ(fakeOs.calls, kWaited);
        }
    }
}

TEST(FileRecord, ReopenClosesOldHandleBeforeOpening) {
    fake::RecordingOs fakeOs;
    FileVar file{};
    OpenNamed(file, "data.bin", 1, AccessRead);
    fakeOs.calls.clear();

    OpenWithAccess(file, 4, AccessReadWrite);

    EXPECT_EQ(TakeIoStatus(), 0u);
    EXPECT_EQ(fakeOs.calls, (Calls{"Close", "OpenExisting"}));
    EXPECT_EQ(fakeOs.closes, std::vector<os::Handle>{40});
    EXPECT_EQ(file.SysHandle, 41u);
    EXPECT_EQ(file.State, StateInputOutput);
    EXPECT_EQ(file.RecordSize, 4u);
}

TEST(FileRecord, ReopenKeepsFailedCloseCodeAndStillOpens) {
    fake::RecordingOs fakeOs;
    FileVar file{};
    OpenNamed(file, "data.bin", 1, AccessReadWrite);
    fakeOs.closeError = EIO;

    OpenWithAccess(file, 1, AccessReadWrite);

    EXPECT_EQ(fakeOs.closes, std::vector<os::Handle>{40});
    EXPECT_EQ(file.SysHandle, 41u);
    EXPECT_EQ(file.State, StateInputOutput);
    EXPECT_EQ(TakeIoStatus(), static_cast<std::uint32_t>(EIO));
}

TEST(FileRecord, CloseOfNamedFileEndsClosedEvenWhenSystemCloseFails) {
    for (std::uint8_t kind : kKinds) {
        for (os::Error closeError : {0, EIO}) {
            SCOPED_TRACE(testing::Message()
                         << "kind " << int{kind} << " close error " << closeError);
            fake::RecordingOs fakeOs;
            FileVar file{};
            OpenNamed(file, "data.bin", 1, kind);
            fakeOs.closeError = closeError;

            CloseFileVar(file);

            EXPECT_EQ(file.State, StateClosed);
            EXPECT_EQ(fakeOs.closes, std::vector<os::Handle>{40});
            EXPECT_EQ(TakeIoStatus(), closeError);
        }
    }
}

// Only a record written since its open is flushed, just before its close;
// a failed flush is the close's code, and the handle is released anyway.
TEST(FileRecord, CloseFlushesWhatWasWrittenThenReleasesTheHandle) {
    struct Row {
        const char* name;
        bool write;
        os::Error flushError, closeError;
        Calls calls;
        std::uint32_t status;
    };
    const Row rows[] = {
        {"read only", false, 0, 0, {"Read", "Close"}, 0},
        {"written", true, 0, 0, {"Read", "Write", "FlushToDisk", "Close"}, 0},
        {"flush fails", true, EIO, 0, {"Read", "Write", "FlushToDisk", "Close"}, EIO},
        {"both fail", true, ENOSPC, EBADF, {"Read", "Write", "FlushToDisk", "Close"}, ENOSPC},
        {"close fails", true, 0, EBADF, {"Read", "Write", "FlushToDisk", "Close"}, EBADF},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fake::RecordingOs fakeOs;
        fakeOs.readData = "x";
        FileVar file{};
        OpenNamed(file, "data.bin", 1, AccessReadWrite);
        fakeOs.calls.clear();
        char byte = 0;
        ReadRecords(file, &byte, 1, nullptr);
        if (row.write) WriteRecords(file, &byte, 1, nullptr);
        fakeOs.flushError = row.flushError;
        fakeOs.closeError = row.closeError;

        CloseFileVar(file);

        EXPECT_EQ(fakeOs.calls, row.calls);
        EXPECT_EQ(fakeOs.flushes, row.write ? std::vector<os::Handle>{40} : std::vector<os::Handle>{});
        EXPECT_EQ(file.State, StateClosed);
        EXPECT_EQ(TakeIoStatus(), row.status);
    }
}

// The system is asked about an open record only: a closed one's handle
// may name anything by now.
TEST(FileRecord, RecheckNameAsksOnlyAboutAnOpenRecord) {
    fake::RecordingOs fakeOs;
    fakeOs.namesOpenFileError = ENOENT;
    FileVar file{};
    AssignName(file, "data.bin");
    RecheckName(file);
    EXPECT_EQ(TakeIoStatus(), StatusNotOpen);
    EXPECT_EQ(fakeOs.calls, Calls{});

    OpenNamed(file, "data.bin", 1, AccessReadWrite);
    RecheckName(file);
    EXPECT_EQ(TakeIoStatus(), static_cast<std::uint32_t>(ENOENT));
    EXPECT_EQ(fakeOs.calls, (Calls{"OpenExisting", "NamesOpenFile"}));
}

TEST(FileRecord, CloseOfClosedConsoleInIsSilentButOtherTextRecordsStore103) {
    fake::RecordingOs fakeOs;  // binds both consoles, closed

    CloseFileVar(ConsoleIn);
    EXPECT_EQ(TakeIoStatus(), 0u);
    EXPECT_EQ(ConsoleIn.State, StateClosed);

    ConsoleIn.State = 0;  // never bound: still passed over quietly
    CloseFileVar(ConsoleIn);
    EXPECT_EQ(TakeIoStatus(), 0u);

    CloseFileVar(ConsoleOut);
    EXPECT_EQ(TakeIoStatus(), StatusNotOpen);
    EXPECT_EQ(fakeOs.calls, Calls{});
}

TEST(FileRecord, EmptyNameOpensStandardInputForReadingAndWritingAndCloseKeepsIt) {
    for (const char* name : {"", static_cast<const char*>(nullptr)}) {
        for (std::uint8_t kind : kKinds) {
            SCOPED_TRACE(testing::Message() << "kind " << int{kind} << (name ? " empty" : " null"));
            fake::RecordingOs fakeOs;
            FileVar file{};
            AssignName(file, name);
            OpenWithAccess(file, 1, kind);

            EXPECT_EQ(TakeIoStatus(), 0u);
            EXPECT_EQ(fakeOs.stdHandleRequests, std::vector<os::StdStream>{os::StdStream::Input});
            EXPECT_TRUE(fakeOs.opens.empty());
            EXPECT_EQ(file.State, StateInputOutput);  // whatever the kind
            EXPECT_EQ(file.SysHandle, fakeOs.stdHandle);

            CloseFileVar(file);
            EXPECT_EQ(TakeIoStatus(), 0u);
            EXPECT_TRUE(fakeOs.closes.empty());
            EXPECT_EQ(file.State, StateInputOutput);
            EXPECT_EQ(file.SysHandle, fakeOs.stdHandle);
        }
    }
}

TEST(FileRecord, UnavailableStandardInputLeavesClosedWithSystemCode) {
    fake::RecordingOs fakeOs;
    fakeOs.stdHandleError = EBADF;
    FileVar file{};
    OpenPath(file, "", 1);
    EXPECT_EQ(TakeIoStatus(), static_cast<std::uint32_t>(EBADF));
    EXPECT_EQ(file.State, StateClosed);
}

TEST(FileRecord, AssignNameForgetsOpenHandleWithoutClosingIt) {
    fake::RecordingOs fakeOs;
    FileVar file{};
    OpenNamed(file, "first.bin", 1, AccessReadWrite);

    AssignName(file, "second.bin");

    EXPECT_TRUE(fakeOs.closes.empty());
    EXPECT_EQ(file.State, StateClosed);
    EXPECT_EQ(file.SysHandle, 0u);
    EXPECT_STREQ(file.PathName, "second.bin");
    EXPECT_EQ(TakeIoStatus(), 0u);
}

// --- Binding names ---------------------------------------------------------

// A never-bound record's fields are not its own: binding it gives nothing
// back, whatever they hold (giving back what the heap never handed out is
// a run-time error).
TEST(AssignName, NeverBoundRecordGivesNothingBack) {
    for (std::uint32_t state : kNeverBoundStates) {
        FileVar file{};
        file.State = state;
        file.LongPathName = file.PathName;
        AssignName(file, "data.bin");
        EXPECT_EQ(file.State, StateClosed);
        EXPECT_STREQ(file.PathName, "data.bin");
    }
}

TEST(AssignName, NullNameStoresEmptyPathName) {
    FileVar file{};
    AssignName(file, "was.bin");
    AssignName(file, nullptr);
    EXPECT_EQ(file.PathName[0], '\0');
    EXPECT_FALSE(file.PathTooLong);
    EXPECT_EQ(file.State, StateClosed);
}

TEST(AssignName, KeepsNameOfCapacityMinusOneCharactersWhole) {
    fake::RecordingOs fakeOs;
    const std::string name(os::PathCapacity - 1, 'n');
    FileVar file{};
    AssignName(file, name.c_str());

    EXPECT_FALSE(file.PathTooLong);
    EXPECT_EQ(std::string(BoundName(file)), name);
    OpenWithAccess(file, 1, AccessRead);
    EXPECT_EQ(TakeIoStatus(), 0u);
    ASSERT_EQ(fakeOs.opens.size(), 1u);
    EXPECT_EQ(fakeOs.opens[0].path, name);
}

TEST(AssignName, NeverTouchesIoStatus) {
    fake::CleanRuntime clean;
    const std::string tooLong(os::PathCapacity + 10, 'n');
    SetIoStatus(55);
    FileVar file{};
    for (const char* name : {"a.bin", "", static_cast<const char*>(nullptr), tooLong.c_str()}) {
        AssignName(file, name);
        EXPECT_EQ(PeekIoStatus(), 55u);
    }
}

// A name that does not fit is refused at every open; no prefix of it is
// ever handed to the system, since the prefix may name another file.
TEST(AssignName, TooLongNameFailsEveryOpenWithoutAskingTheSystem) {
    EXPECT_EQ(os::NameTooLongError, static_cast<os::Error>(ENAMETOOLONG));
    for (std::size_t length : {os::PathCapacity, os::PathCapacity + 1, 3 * os::PathCapacity}) {
        SCOPED_TRACE(testing::Message() << "length " << length);
        fake::RecordingOs fakeOs;
        const std::string name(length, 'n');
        FileVar file{};
        AssignName(file, name.c_str());
        EXPECT_TRUE(file.PathTooLong);

        for (int attempt = 0; attempt < 2; ++attempt) {
            for (std::uint8_t kind : kKinds) {
                OpenWithAccess(file, 1, kind);
                EXPECT_EQ(TakeIoStatus(), os::NameTooLongError);
                EXPECT_EQ(file.State, StateClosed);
            }
        }
        EXPECT_EQ(fakeOs.calls, Calls{});

        AssignName(file, "short.bin");  // a new name clears the mark
        OpenWithAccess(file, 1, AccessRead);
        EXPECT_EQ(TakeIoStatus(), 0u);
    }
}

// --- Transfers -------------------------------------------------------------

namespace {

// A row of a transfer table: the records asked for, the bytes the system
// moves, and how the call must end.
struct TransferRow {
    std::uint32_t recordSize;
    std::uint32_t systemBytes;  // a read: what the file still holds; a write: what it takes
    std::uint32_t count;
    bool withMoved;
    std::uint32_t result;
    std::uint32_t status;
};

testing::Message Described(const TransferRow& row) {
    return testing::Message() << "size " << row.recordSize << " system " << row.systemBytes
                              << " count " << row.count
                              << (row.withMoved ? " moved" : " no moved");
}

// One transfer of the row: `transfer` is given the moved count to fill,
// or none, and must end with the row's result and status.
template <typename Transfer>
void ExpectTransfer(const TransferRow& row, Transfer transfer) {
    std::uint32_t moved = 12345;
    EXPECT_EQ(transfer(row.withMoved ? &moved : nullptr), row.result);
    EXPECT_EQ(TakeIoStatus(), row.status);
    if (row.withMoved) {
        EXPECT_EQ(moved, row.result);
    }
}

}  // namespace

TEST(ReadRecords, MovesWholeRecordsInOneSystemReadAndReportsShortReads) {
    const TransferRow rows[] = {
        {1, 300, 500, false, 0, StatusShortRead},
        {1, 300, 500, true, 300, 0},
        {4, 10, 3, true, 2, 0},  // the trailing partial record is not counted
        {4, 10, 3, false, 0, StatusShortRead},
        {1, 500, 500, false, 500, 0},
        {500, 999, 1, false, 1, 0},
        {1, 0, 1, false, 0, StatusShortRead},  // end of file
        {1, 0, 1, true, 0, 0},
    };
    for (const TransferRow& row : rows) {
        SCOPED_TRACE(Described(row));
        fake::RecordingOs fakeOs;
        fakeOs.readData = Pattern(row.systemBytes);
        const std::string expected = fakeOs.readData;
        FileVar file{};
        OpenNamed(file, "data.bin", row.recordSize, AccessRead);

        std::vector<char> buffer(std::size_t{row.count} * row.recordSize + 1, '#');
        ExpectTransfer(row, [&](std::uint32_t* moved) {
            return ReadRecords(file, buffer.data(), row.count, moved);
        });
        ASSERT_EQ(fakeOs.reads.size(), 1u);
        EXPECT_EQ(fakeOs.reads[0].handle, 40u);
        EXPECT_EQ(fakeOs.reads[0].size, row.count * row.recordSize);
        // Whatever arrived is in the buffer, counted or not.
        std::size_t arrived = std::min<std::size_t>(row.systemBytes, buffer.size() - 1);
        EXPECT_EQ(std::string(buffer.data(), arrived), expected.substr(0, arrived));
        EXPECT_EQ(buffer[arrived], '#');
    }
}

TEST(ReadRecords, SystemFailureStoresItsCodeAndLeavesMovedAlone) {
    fake::RecordingOs fakeOs;
    fakeOs.readError = EIO;
    FileVar file{};
    OpenNamed(file, "data.bin", 1, AccessReadWrite);
    char buffer[8];
    std::uint32_t moved = 77;
    EXPECT_EQ(ReadRecords(file, buffer, 8, &moved), 0u);
    EXPECT_EQ(moved, 77u);
    EXPECT_EQ(TakeIoStatus(), static_cast<std::uint32_t>(EIO));
}

TEST(ReadRecords, AllowedInEveryOpenState) {
    for (std::uint8_t kind : kKinds) {
        SCOPED_TRACE(testing::Message() << "kind " << int{kind});
        fake::RecordingOs fakeOs;
        fakeOs.readData = "xy";
        FileVar file{};
        OpenNamed(file, "data.bin", 1, kind);
        char buffer[2];
        EXPECT_EQ(ReadRecords(file, buffer, 2, nullptr), 2u);
        EXPECT_EQ(TakeIoStatus(), 0u);
        EXPECT_EQ(fakeOs.reads.size(), 1u);
    }
}

TEST(WriteRecords, MovesWholeRecordsInOneSystemWriteAndReportsShortWrites) {
    const TransferRow rows[] = {
        {1, 3, 5, false, 0, StatusShortWrite},
        {1, 3, 5, true, 3, 0},
        {4, 10, 3, true, 2, 0},
        {4, 10, 3, false, 0, StatusShortWrite},
        {1, UINT32_MAX, 500, false, 500, 0},
        {1, 0, 1, true, 0, 0},
    };
    for (const TransferRow& row : rows) {
        SCOPED_TRACE(Described(row));
        fake::RecordingOs fakeOs;
        fakeOs.writeLimit = row.systemBytes;
        FileVar file{};
        OpenNamed(file, "data.bin", row.recordSize, AccessReadWrite);
        const std::string bytes = Pattern(std::size_t{row.count} * row.recordSize);

        ExpectTransfer(row, [&](std::uint32_t* moved) {
            return WriteRecords(file, bytes.data(), row.count, moved);
        });
        ASSERT_EQ(fakeOs.writes.size(), 1u);
        EXPECT_EQ(fakeOs.writes[0].handle, 40u);
        EXPECT_EQ(fakeOs.writes[0].bytes, bytes);
    }
}

TEST(WriteRecords, RefusedOnReadOnlyRecordWith103AndWritesNothing) {
    fake::RecordingOs fakeOs;
    FileVar file{};
    OpenNamed(file, "data.bin", 1, AccessRead);
    std::uint32_t moved = 77;
    EXPECT_EQ(WriteRecords(file, "abc", 3, &moved), 0u);
    EXPECT_EQ(TakeIoStatus(), StatusNotOpen);
    EXPECT_EQ(moved, 77u);
    EXPECT_TRUE(fakeOs.writes.empty());
    EXPECT_EQ(file.State, StateInput);
}

TEST(WriteRecords, SystemFailureStoresItsCode) {
    fake::RecordingOs fakeOs;
    fakeOs.writeError = ENOSPC;
    FileVar file{};
    OpenNamed(file, "data.bin", 1, AccessWrite);
    EXPECT_EQ(WriteRecords(file, "abc", 3, nullptr), 0u);
    EXPECT_EQ(TakeIoStatus(), static_cast<std::uint32_t>(ENOSPC));
}

// --- Length ----------------------------------------------------------------

TEST(FileLength, CountsWholeRecordsOfTheFull64BitSize) {
    constexpr std::uint64_t kFourGiBPlus500 = (std::uint64_t{1} << 32) + 500;
    struct Row {
        std::uint64_t size;
        std::uint32_t recordSize;
        std::uint64_t records;
    };
    const Row rows[] = {
        {999, 1, 999},
        {999, 500, 1},
        {1000, 500, 2},
        {499, 500, 0},
        {0, 1, 0},
        {kFourGiBPlus500, 1, 4294967796u},  // never taken for 500
        {kFourGiBPlus500, 500, 8589935},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message()
                     << "size " << row.size << " record size " << row.recordSize);
        fake::RecordingOs fakeOs;
        fakeOs.fileSize = row.size;
        FileVar file{};
        OpenNamed(file, "data.bin", row.recordSize, AccessRead);
        EXPECT_EQ(FileLength(file), row.records);
        EXPECT_EQ(TakeIoStatus(), 0u);
        EXPECT_EQ(fakeOs.fileSizeRequests, std::vector<os::Handle>{40});
    }
}

TEST(FileLength, SystemFailureReturnsAllBitsSetAndStoresItsCode) {
    fake::RecordingOs fakeOs;
    fakeOs.fileSizeError = EIO;
    FileVar file{};
    OpenNamed(file, "data.bin", 1, AccessReadWrite);
    EXPECT_EQ(FileLength(file), FileLengthFailed);
    EXPECT_EQ(TakeIoStatus(), static_cast<std::uint32_t>(EIO));
}

// --- The status itself -----------------------------------------------------

TEST(IoStatus, TakeReturnsCodeThenZero) {
    fake::CleanRuntime clean;
    SetIoStatus(StatusShortRead);
    EXPECT_EQ(PeekIoStatus(), StatusShortRead);  // peeking clears nothing
    EXPECT_EQ(TakeIoStatus(), StatusShortRead);
    EXPECT_EQ(TakeIoStatus(), 0u);
}

TEST(IoStatus, SuccessKeepsEarlierCodeAndLaterFailureReplacesIt) {
    fake::RecordingOs fakeOs;
    fakeOs.readData = "abcd";
    FileVar closed{};
    AssignName(closed, "closed.bin");
    FileVar open{};
    OpenNamed(open, "data.bin", 1, AccessReadWrite);

    FileLength(closed);
    char buffer[2];
    EXPECT_EQ(ReadRecords(open, buffer, 2, nullptr), 2u);
    EXPECT_EQ(PeekIoStatus(), StatusNotOpen);

    ReadRecords(open, buffer, 2, nullptr);  // only 2 bytes left: a short read
    ReadRecords(open, buffer, 2, nullptr);
    EXPECT_EQ(PeekIoStatus(), StatusShortRead);
    fakeOs.writeError = EIO;
    WriteRecords(open, "xy", 2, nullptr);
    EXPECT_EQ(TakeIoStatus(), static_cast<std::uint32_t>(EIO));
}

TEST(IoStatusDeathTest, CheckIoAfterLaterSuccessEndsWithFirstCode) {
    EXPECT_EXIT(
        {
            fake::RecordingOs fakeOs;  // the report goes to the fake console
            ConsoleProgram = true;
            FileVar closed{};
            AssignName(closed, "closed.bin");
            FileLength(closed);  // 103
            FileVar open{};
            OpenNamed(open, "data.bin", 1, AccessReadWrite);
            WriteRecords(open, "x", 1, nullptr);  // succeeds
            CheckIo();
        },
        testing::ExitedWithCode(103), "");
}

// --- Real files on the posix backend ---------------------------------------

// Each test starts from a clean runtime in a fresh folder.
class PosixFile : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.ok()); }

    fake::CleanRuntime clean;
    TempDir dir;
};

TEST_F(PosixFile, OpenNeverCreatesAMissingFile) {
    const std::string path = dir.Path("missing.bin");
    ExpectEveryKindRefused(path, ENOENT);
    EXPECT_FALSE(std::filesystem::exists(path));
}

// Reading is shared, writing is not: a second open that asks to write, or
// any open while a writer holds the file, fails; closing ends the hold.
TEST_F(PosixFile, SharesForReadingOnly) {
    struct Row {
        std::uint8_t first;
        std::uint8_t second;
        bool refused;
    };
    const Row rows[] = {
        // clang-format off
        {AccessRead,      AccessRead,      false},
        {AccessRead,      AccessWrite,     true},
        {AccessRead,      AccessReadWrite, true},
        {AccessWrite,     AccessRead,      true},
        {AccessWrite,     AccessWrite,     true},
        {AccessReadWrite, AccessRead,      true},
        {AccessReadWrite, AccessReadWrite, true},
        // clang-format on
    };
    const std::string path = dir.File("shared.bin", "0123456789");
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message()
                     << "first " << int{row.first} << " second " << int{row.second});
        fake::CleanRuntime clean;
        FileVar holder{};
        OpenPath(holder, path, 1, row.first);
        ASSERT_EQ(TakeIoStatus(), 0u);

        FileVar other{};
        OpenPath(other, path, 1, row.second);
        if (row.refused) {
            std::uint32_t code = TakeIoStatus();
            EXPECT_TRUE(code == EWOULDBLOCK || code == EAGAIN) << "code " << code;
            EXPECT_EQ(other.State, StateClosed);

            CloseFileVar(holder);
            OpenWithAccess(other, 1, row.second);
        }
        EXPECT_EQ(TakeIoStatus(), 0u);
        EXPECT_TRUE(IsOpenState(other.State));
        CloseFileVar(other);
        if (IsOpenState(holder.State)) CloseFileVar(holder);
        EXPECT_EQ(TakeIoStatus(), 0u);
    }
}

TEST_F(PosixFile, HardLinkSharesTheWriterHold) {
    const std::string path = dir.File("original.bin", "abc");
    const std::string alias = dir.Path("alias.bin");
    ASSERT_EQ(link(path.c_str(), alias.c_str()), 0);

    FileVar first{};
    OpenPath(first, path, 1);
    ASSERT_EQ(TakeIoStatus(), 0u);
    FileVar second{};
    OpenPath(second, alias, 1);
    std::uint32_t code = TakeIoStatus();
    EXPECT_TRUE(code == EWOULDBLOCK || code == EAGAIN) << "code " << code;
    EXPECT_EQ(second.State, StateClosed);
    CloseFileVar(first);
    EXPECT_EQ(TakeIoStatus(), 0u);
}

// The lease refused for a conflict is a sharing refusal. Refused for want
// of support, the open falls back: another flock holder and the program's
// own standard input are still seen.
namespace lease {
int error = 0;
int (*realFcntl)(int, int, int) = nullptr;
int Refused(int fd, int command, int argument) {
    if (command != F_SETLEASE) return realFcntl(fd, command, argument);
    errno = error;
    return -1;
}
}  // namespace lease

TEST_F(PosixFile, LeaseRefusedForConflictRefusesAndForWantOfSupportFallsBack) {
    const std::string path = dir.File("leased.bin", "abc");
    const os::PosixCalls saved = os::posixCalls;
    lease::realFcntl = saved.Fcntl;
    os::posixCalls.Fcntl = lease::Refused;
    for (int error : {EAGAIN, EACCES, EINVAL, ENOSYS}) {
        SCOPED_TRACE(testing::Message() << "lease error " << error);
        fake::CleanRuntime clean;
        lease::error = error;
        FileVar file{};
        OpenPath(file, path, 1);
        if (error == EAGAIN) {
            EXPECT_EQ(TakeIoStatus(), static_cast<std::uint32_t>(EAGAIN));
            EXPECT_EQ(file.State, StateClosed);
            continue;
        }
        ASSERT_EQ(TakeIoStatus(), 0u);
        int other = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_NE(flock(other, LOCK_SH | LOCK_NB), 0) << "the fallback took no flock";
        close(other);
        CloseFileVar(file);

        int savedInput = dup(0);
        int input = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(dup2(input, 0), 0);
        OpenExisting(file, 1);
        EXPECT_EQ(TakeIoStatus(), static_cast<std::uint32_t>(EAGAIN)) << "standard input not seen";
        dup2(savedInput, 0);
        close(savedInput);
        close(input);
    }
    os::posixCalls = saved;
}

// Mode 0444 means read-only for everyone; the tests run as root, whom the
// system itself would let write.
TEST_F(PosixFile, ReadOnlyFileRefusesWriteAccessEvenToRoot) {
    const std::string path = dir.File("readonly.bin", "abc");
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);

    struct Row {
        std::uint8_t kind;
        std::uint32_t code;
        std::uint32_t state;
    };
    const Row rows[] = {{AccessRead, 0, StateInput},
                        {AccessWrite, EACCES, StateClosed},
                        {AccessReadWrite, EACCES, StateClosed}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "kind " << int{row.kind});
        FileVar file{};
        OpenPath(file, path, 1, row.kind);
        EXPECT_EQ(TakeIoStatus(), row.code);
        EXPECT_EQ(file.State, row.state);
        if (IsOpenState(file.State)) CloseFileVar(file);
    }
    EXPECT_EQ(ReadWholeFile(path), "abc");
}

TEST_F(PosixFile, DirectoryDoesNotOpen) { ExpectEveryKindRefused(dir.path(), EISDIR); }

// Nothing written to these would stay in place.
TEST_F(PosixFile, CharacterDeviceOrFifoDoesNotOpen) {
    ExpectEveryKindRefused("/dev/zero", ENXIO);
    const std::string fifo = dir.Path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ExpectEveryKindRefused(fifo, ENXIO);
}

TEST_F(PosixFile, DescriptorIsCloseOnExec) {
    const std::string path = dir.File("data.bin", "abc");
    for (std::uint8_t kind : kKinds) {
        FileVar file{};
        OpenPath(file, path, 1, kind);
        ASSERT_EQ(TakeIoStatus(), 0u);
        int flags = fcntl(static_cast<int>(file.SysHandle), F_GETFD);
        EXPECT_NE(flags & FD_CLOEXEC, 0) << "kind " << int{kind};
        CloseFileVar(file);
    }
}

TEST_F(PosixFile, ReadOnWriteOnlyRecordStoresSystemCodeNot103) {
    FileVar file{};
    OpenPath(file, dir.File("data.bin", "abc"), 1, AccessWrite);
    ASSERT_EQ(file.State, StateOutput);
    char buffer[3];
    std::uint32_t moved = 77;
    EXPECT_EQ(ReadRecords(file, buffer, 3, &moved), 0u);
    EXPECT_EQ(TakeIoStatus(), static_cast<std::uint32_t>(EBADF));
    EXPECT_EQ(moved, 77u);
    CloseFileVar(file);
}

TEST_F(PosixFile, TransfersStartAtZeroAndAdvance) {
    const std::string path = dir.File("data.bin", "0123456789");
    FileVar file{};
    OpenPath(file, path, 4);
    ASSERT_EQ(TakeIoStatus(), 0u);

    char buffer[9] = {};
    EXPECT_EQ(ReadRecords(file, buffer, 1, nullptr), 1u);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    std::uint32_t moved = 0;
    EXPECT_EQ(ReadRecords(file, buffer, 2, &moved), 1u);  // six bytes were left
    EXPECT_EQ(std::string(buffer, 6), "456789");
    EXPECT_EQ(WriteRecords(file, "abcd", 1, nullptr), 1u);
    EXPECT_EQ(FileLength(file), 3u);  // 14 bytes
    EXPECT_EQ(TakeIoStatus(), 0u);
    CloseFileVar(file);
    EXPECT_EQ(TakeIoStatus(), 0u);
    EXPECT_EQ(ReadWholeFile(path), "0123456789abcd");
}

TEST_F(PosixFile, LengthOf999ByteFileInRecords) {
    const std::string path = dir.File("data.bin", std::string(999, 'x'));
    for (auto [recordSize, records] : {std::pair{1u, 999u}, std::pair{500u, 1u}}) {
        FileVar file{};
        OpenPath(file, path, recordSize);
        EXPECT_EQ(FileLength(file), records) << "record size " << recordSize;
        EXPECT_EQ(TakeIoStatus(), 0u);
        CloseFileVar(file);
    }
}

TEST_F(PosixFile, FailedSystemCloseStillLeavesRecordClosed) {
    FileVar file{};
    OpenPath(file, dir.File("data.bin", "abc"), 1);
    ASSERT_EQ(TakeIoStatus(), 0u);
    ASSERT_GT(file.SysHandle, 2u);
    ASSERT_EQ(close(static_cast<int>(file.SysHandle)), 0);  // behind the record's back

    CloseFileVar(file);
    EXPECT_EQ(TakeIoStatus(), static_cast<std::uint32_t>(EBADF));
    EXPECT_EQ(file.State, StateClosed);
}

// The first PathCapacity-1 characters of the too-long name name a real
// file; the record must fail rather than open it.
TEST_F(PosixFile, TooLongNameNeverOpensFileNamedByItsPrefix) {
    const std::string prefix = CreateFileWithPathLength(dir.path(), os::PathCapacity - 1);
    ASSERT_EQ(prefix.size(), os::PathCapacity - 1) << "could not build the deep path";

    FileVar reachable{};
    OpenPath(reachable, prefix, 1, AccessRead);
    ASSERT_EQ(TakeIoStatus(), 0u) << "the prefix file itself must open";
    CloseFileVar(reachable);

    ExpectEveryKindRefused(prefix + "x", ENAMETOOLONG);
    EXPECT_EQ(ReadWholeFile(prefix), "prefix file");
}
