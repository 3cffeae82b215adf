// Console text output: which bytes reach the system, and when, for each
// kind of standard output; and the codes a failing console leaves.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "recording_os.h"
#include "runtime/fileio/fileio.h"
#include "runtime/fileio/iostatus.h"
#include "runtime/textio/textio.h"

namespace {

using Calls = std::vector<std::string>;

constinit StringLiteral kOk{"Ok"};

// The bytes of each write that reached the system, in order.
std::vector<std::string> Written(const fake::RecordingOs& fakeOs) {
    std::vector<std::string> bytes;
    for (const fake::WriteCall& call : fakeOs.writes) {
        EXPECT_EQ(call.handle, fakeOs.stdHandle);
        bytes.push_back(call.bytes);
    }
    return bytes;
}

std::string Pattern(std::size_t length) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text.push_back(static_cast<char>('a' + i % 26));
    return text;
}

void Write(const std::string& text) {
    WriteBytes(ConsoleOut, text.data(), static_cast<std::int32_t>(text.size()));
}

std::string Waiting() {
    return std::string(ConsoleOut.BufferAddress,
                       static_cast<std::size_t>(ConsoleOut.BufferPosition));
}

}  // namespace

// --- When bytes reach the system -------------------------------------------

TEST(ConsoleOut, CharacterDeviceGetsEachLineAtItsLineEnd) {
    fake::RecordingOs fakeOs;
    fakeOs.fileType = os::FileType::Char;

    WriteText(ConsoleOut, kOk);
    EXPECT_EQ(Written(fakeOs), std::vector<std::string>{});
    WriteLineEnd(ConsoleOut);
    EXPECT_EQ(Written(fakeOs), std::vector<std::string>{"Ok\r\n"});

    CloseFileVar(ConsoleOut);  // nothing left to write
    EXPECT_EQ(Written(fakeOs), std::vector<std::string>{"Ok\r\n"});
    EXPECT_EQ(TakeIoStatus(), 0u);
    EXPECT_EQ(fakeOs.stdHandleRequests, std::vector<os::StdStream>{os::StdStream::Output});
}

TEST(ConsoleOut, DiskFileAndPipeGetNothingUntilClose) {
    for (os::FileType type : {os::FileType::Disk, os::FileType::Pipe}) {
        SCOPED_TRACE(testing::Message() << "file type " << static_cast<int>(type));
        fake::RecordingOs fakeOs;
        fakeOs.fileType = type;

        WriteText(ConsoleOut, kOk);
        WriteLineEnd(ConsoleOut);
        EXPECT_EQ(Written(fakeOs), std::vector<std::string>{});

        CloseFileVar(ConsoleOut);
        EXPECT_EQ(Written(fakeOs), std::vector<std::string>{"Ok\r\n"});
        EXPECT_EQ(TakeIoStatus(), 0u);
    }
}

TEST(ConsoleOut, BufferThatFillsIsWrittenAtOnce) {
    for (os::FileType type : {os::FileType::Char, os::FileType::Disk}) {
        SCOPED_TRACE(testing::Message() << "file type " << static_cast<int>(type));
        fake::RecordingOs fakeOs;
        fakeOs.fileType = type;
        const std::string text = Pattern(TextBufferSize);

        Write(text);

        EXPECT_EQ(Written(fakeOs), std::vector<std::string>{text});
        EXPECT_EQ(ConsoleOut.BufferPosition, 0);
    }
}

TEST(ConsoleOut, LineEndThatFillsBufferIsWrittenOnceWithTheLine) {
    fake::RecordingOs fakeOs;
    fakeOs.fileType = os::FileType::Char;
    const std::string text = Pattern(TextBufferSize - 2);

    Write(text);
    WriteLineEnd(ConsoleOut);  // the flush step then finds nothing

    EXPECT_EQ(Written(fakeOs), std::vector<std::string>{text + "\r\n"});
    EXPECT_EQ(TakeIoStatus(), 0u);
}

TEST(ConsoleOut, LongTextGoesOutInBufferSizedWrites) {
    fake::RecordingOs fakeOs;
    fakeOs.fileType = os::FileType::Disk;
    const std::string text = Pattern(300);

    Write(text);
    EXPECT_EQ(Written(fakeOs),
              (std::vector<std::string>{text.substr(0, 128), text.substr(128, 128)}));
    EXPECT_EQ(Waiting(), text.substr(256));

    CloseFileVar(ConsoleOut);
    EXPECT_EQ(Written(fakeOs).back(), text.substr(256));
    EXPECT_EQ(TakeIoStatus(), 0u);
}

TEST(ConsoleOut, EmptyWriteOpensButWritesNothing) {
    fake::RecordingOs fakeOs;
    fakeOs.fileType = os::FileType::Char;

    WriteText(ConsoleOut, DynString());

    EXPECT_EQ(ConsoleOut.State, StateOutput);
    EXPECT_EQ(fakeOs.calls, (Calls{"GetStdHandle", "GetFileType"}));
    CloseFileVar(ConsoleOut);
    EXPECT_EQ(Written(fakeOs), std::vector<std::string>{});
    EXPECT_EQ(TakeIoStatus(), 0u);
}

// Closing the console leaves the standard handle and the state alone.
TEST(ConsoleOut, StaysOpenAfterCloseAndLaterWritesWork) {
    fake::RecordingOs fakeOs;
    fakeOs.fileType = os::FileType::Disk;

    WriteZText(ConsoleOut, "first");
    CloseFileVar(ConsoleOut);
    EXPECT_EQ(ConsoleOut.State, StateOutput);
    WriteZText(ConsoleOut, "second");
    CloseFileVar(ConsoleOut);

    EXPECT_EQ(Written(fakeOs), (std::vector<std::string>{"first", "second"}));
    EXPECT_TRUE(fakeOs.closes.empty());
    EXPECT_EQ(fakeOs.stdHandleRequests.size(), 1u);  // opened once only
    EXPECT_EQ(TakeIoStatus(), 0u);
}

TEST(ConsoleOut, ReopenWritesOutWaitingBytesFirst) {
    fake::RecordingOs fakeOs;
    fakeOs.fileType = os::FileType::Disk;
    WriteZText(ConsoleOut, "waiting");
    fakeOs.calls.clear();

    OpenTextWrite(ConsoleOut);

    EXPECT_EQ(fakeOs.calls, (Calls{"Write", "GetStdHandle", "GetFileType"}));
    EXPECT_EQ(Written(fakeOs), std::vector<std::string>{"waiting"});
    EXPECT_EQ(ConsoleOut.State, StateOutput);
    EXPECT_EQ(TakeIoStatus(), 0u);
}

// --- A console that cannot be used ------------------------------------------

TEST(ConsoleOut, UnknownTypeFailsOpenWith105AndClosesTheHandle) {
    fake::RecordingOs fakeOs;
    fakeOs.fileType = os::FileType::Unknown;

    OpenTextWrite(ConsoleOut);

    EXPECT_EQ(TakeIoStatus(), StatusNotOpenForOutput);
    EXPECT_EQ(ConsoleOut.State, StateClosed);
    EXPECT_EQ(fakeOs.calls, (Calls{"GetStdHandle", "GetFileType", "Close"}));
    EXPECT_EQ(fakeOs.closes, std::vector<os::Handle>{fakeOs.stdHandle});
}

// A line written to an unusable console: the text stores 105, the line
// end's bytes 105 again, and its flush step finds the record closed: 103.
TEST(ConsoleOut, LineToUnusableConsoleLeaves103) {
    struct Row {
        const char* what;
        os::FileType type;
        os::Error stdHandleError;
    };
    const Row rows[] = {{"unknown type", os::FileType::Unknown, 0},
                        {"no standard handle", os::FileType::Char, EBADF}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fake::RecordingOs fakeOs;
        fakeOs.fileType = row.type;
        fakeOs.stdHandleError = row.stdHandleError;

        WriteText(ConsoleOut, kOk);
        EXPECT_EQ(TakeIoStatus(), StatusNotOpenForOutput);
        WriteText(ConsoleOut, kOk);
        WriteLineEnd(ConsoleOut);
        EXPECT_EQ(TakeIoStatus(), StatusNotOpen);

        EXPECT_EQ(ConsoleOut.State, StateClosed);
        EXPECT_TRUE(fakeOs.writes.empty());
        EXPECT_EQ(fakeOs.stdHandleRequests.size(), 3u);  // every write tries the open again
    }
}

TEST(ConsoleOut, MissingStandardHandleStoresSystemCode) {
    fake::RecordingOs fakeOs;
    fakeOs.stdHandleError = EBADF;

    OpenTextWrite(ConsoleOut);

    EXPECT_EQ(TakeIoStatus(), static_cast<std::uint32_t>(EBADF));
    EXPECT_EQ(ConsoleOut.State, StateClosed);
    EXPECT_EQ(fakeOs.calls, Calls{"GetStdHandle"});
}

// --- Failing writes -----------------------------------------------------------

// The buffered bytes are given up before the system call: a failed write
// never repeats them.
TEST(ConsoleOut, FailedWriteLosesBufferedBytesAndStaysOpen) {
    fake::RecordingOs fakeOs;
    fakeOs.fileType = os::FileType::Char;
    fakeOs.plan = {.at = 1, .only = fake::kWrite, .code = EIO};

    WriteZText(ConsoleOut, "Ok");
    WriteLineEnd(ConsoleOut);
    EXPECT_EQ(TakeIoStatus(), static_cast<std::uint32_t>(EIO));
    EXPECT_EQ(ConsoleOut.State, StateOutput);
    EXPECT_EQ(ConsoleOut.BufferPosition, 0);

    WriteZText(ConsoleOut, "Hi");
    WriteLineEnd(ConsoleOut);
    EXPECT_EQ(Written(fakeOs), (std::vector<std::string>{"Ok\r\n", "Hi\r\n"}));
    EXPECT_EQ(TakeIoStatus(), 0u);
}

TEST(ConsoleOut, FailedWriteOfFullBufferDropsTheRestOfTheText) {
    fake::RecordingOs fakeOs;
    fakeOs.fileType = os::FileType::Disk;
    fakeOs.writeError = EIO;

    Write(Pattern(300));

    EXPECT_EQ(fakeOs.writes.size(), 1u);
    EXPECT_EQ(ConsoleOut.BufferPosition, 0);
    EXPECT_EQ(TakeIoStatus(), static_cast<std::uint32_t>(EIO));
}

TEST(ConsoleOut, FailedWriteAtCloseStoresCode) {
    fake::RecordingOs fakeOs;
    fakeOs.fileType = os::FileType::Disk;
    WriteZText(ConsoleOut, "Ok");
    fakeOs.writeError = ENOSPC;

    CloseFileVar(ConsoleOut);

    EXPECT_EQ(TakeIoStatus(), static_cast<std::uint32_t>(ENOSPC));
    EXPECT_EQ(ConsoleOut.State, StateOutput);
    EXPECT_EQ(ConsoleOut.BufferPosition, 0);
}

// The count the system reports is not compared with what was asked.
// The bytes the system did not take are lost, so the line was not heard.
TEST(ConsoleOut, PartialSystemWriteIsAShortWrite) {
    fake::RecordingOs fakeOs;
    fakeOs.fileType = os::FileType::Char;
    fakeOs.writeLimit = 1;

    WriteZText(ConsoleOut, "Ok");
    WriteLineEnd(ConsoleOut);

    EXPECT_EQ(TakeIoStatus(), StatusShortWrite);
    EXPECT_EQ(ConsoleOut.BufferPosition, 0);
    EXPECT_EQ(Written(fakeOs), std::vector<std::string>{"Ok\r\n"});
}

// --- Other text records ---------------------------------------------------------

TEST(TextVar, AssignNamePointsBufferAtTheRecordsOwnTextBuffer) {
    TextVar text{};
    AssignName(text, "");
    EXPECT_EQ(text.BufferAddress, text.TextBuffer);
    EXPECT_EQ(text.RecordSize, TextBufferSize);
    EXPECT_EQ(text.BufferPosition, 0);
    EXPECT_EQ(text.State, StateClosed);

    fake::CleanRuntime clean;
    EXPECT_EQ(ConsoleOut.BufferAddress, ConsoleOut.TextBuffer);
    EXPECT_EQ(ConsoleIn.BufferAddress, ConsoleIn.TextBuffer);
}

// Only ConsoleOut opens itself on a write.
TEST(TextVar, WriteToUnopenedRecordStores105AndNeverOpensIt) {
    for (bool bound : {true, false}) {
        SCOPED_TRACE(bound ? "bound" : "never bound");
        fake::RecordingOs fakeOs;
        TextVar text{};
        if (bound) AssignName(text, "");

        WriteZText(text, "Ok");
        EXPECT_EQ(TakeIoStatus(), StatusNotOpenForOutput);
        EXPECT_EQ(text.BufferPosition, 0);
        EXPECT_EQ(fakeOs.calls, Calls{});
    }
}

TEST(TextVar, OpenOfNeverBoundRecordStores102) {
    fake::RecordingOs fakeOs;
    TextVar text{};
    OpenTextWrite(text);
    EXPECT_EQ(TakeIoStatus(), StatusNeverBound);
    EXPECT_EQ(text.State, 0u);
    EXPECT_EQ(fakeOs.calls, Calls{});
}

TEST(TextVar, LineFlushOnInputDoesNothingAndOnAnyOtherStateStores103) {
    fake::RecordingOs fakeOs;
    TextVar text{};
    AssignName(text, "");

    text.State = StateInput;
    TextLineFlush(text);
    EXPECT_EQ(TakeIoStatus(), 0u);

    for (std::uint32_t state : {std::uint32_t{StateClosed}, std::uint32_t{StateInputOutput}, 0u}) {
        text.State = state;
        TextLineFlush(text);
        EXPECT_EQ(TakeIoStatus(), StatusNotOpen) << "State " << std::hex << state;
    }
    EXPECT_EQ(fakeOs.calls, Calls{});
}
