// Run-time errors: the report line, the fault table, and how CheckIo,
// RunTimeError and Terminate end the process.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>

#include "recording_os.h"
#include "runtime/fileio/iostatus.h"
#include "runtime/terminate/terminate.h"
#include "runtime/textio/textio.h"

namespace {

constexpr std::uintptr_t kCodeStart = 0x55550000u;

std::string Fill(std::uint32_t number, std::uint64_t offset) {
    FillErrorLine(number, kCodeStart + static_cast<std::uintptr_t>(offset), kCodeStart);
    return std::string(ErrorLine);
}

// Inside a death test's child: the runtime as a console program starts
// it, with the console's output on the captured standard error.
void StartConsoleProgram() {
    InitRuntime();
    ConsoleProgram = true;
    fake::RouteConsoleToStderr();
}

// Writes to ConsoleOut where `function` lies, as the report shows sites.
void ShowOffsetOf(void (*function)()) {
    auto offset =
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(function) - os::CodeStart());
    char digits[9];
    for (int i = 7; i >= 0; --i, offset >>= 4) digits[i] = "0123456789ABCDEF"[offset & 15];
    digits[8] = 0;
    WriteZText(ConsoleOut, digits);
}

// Matches "<function offset>Runtime error ... at <site>\r\n" where the site
// lies a little way into the function: just behind a call it makes.
class SiteInsideFunction : public testing::MatcherInterface<const std::string&> {
public:
    bool MatchAndExplain(const std::string& output,
                         testing::MatchResultListener* listener) const override {
        unsigned function = 0;
        unsigned site = 0;
        char tail[3] = {};
        int fields =
            std::sscanf(output.c_str(), "%8xRuntime error %*u at %8x%2c", &function, &site, tail);
        if (fields != 3 || std::string(tail) != "\r\n") {
            *listener << "unexpected output";
            return false;
        }
        *listener << "site is " << (site - function) << " bytes into the function";
        return site > function && site - function < 256;
    }
    void DescribeTo(std::ostream* out) const override {
        *out << "a report sited inside the calling function";
    }
};

// A report line as it reaches the console, any site.
std::string ReportPattern(const char* numberField) {
    return std::string("Runtime") + numberField + " at [0-9A-F]{8}\r\n";
}

}  // namespace

// --- FillErrorLine ---------------------------------------------------------

TEST(ErrorLine, PlacesNumberRightAlignedAndSiteAsEightHexDigits) {
    struct Row {
        std::uint32_t number;
        std::uint64_t offset;  // site minus code start
        const char* line;
    };
    const Row rows[] = {
        {100, 0x3AC, "Runtime error 100 at 000003AC"},
        {2, 0x3AC, "Runtime error   2 at 000003AC"},
        {0, 0x3AC, "Runtime error   0 at 000003AC"},
        {1000, 0x3AC, "Runtime error1000 at 000003AC"},   // fills position 14
        {12345, 0x3AC, "Runtime erro12345 at 000003AC"},  // overwrites the last letter
        {4294967295u, 0x3AC, "Runtime4294967295 at 000003AC"},
        {216, 0, "Runtime error 216 at 00000000"},
        {216, 0xDEADBEEF, "Runtime error 216 at DEADBEEF"},
        {203, 0x100000000ull + 0x3AC, "Runtime error 203 at 000003AC"},  // 32-bit distance
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message()
                     << "number " << row.number << " offset " << std::hex << row.offset);
        EXPECT_EQ(Fill(row.number, row.offset), row.line);
        EXPECT_EQ(std::strlen(ErrorLine), ErrorLineLength);
    }
}

TEST(ErrorLine, SiteBelowCodeStartWrapsAround) {
    FillErrorLine(203, kCodeStart - 16, kCodeStart);
    EXPECT_STREQ(ErrorLine, "Runtime error 203 at FFFFFFF0");
}

TEST(ErrorLine, SecondFillLeavesNoDigitsOfTheFirst) {
    Fill(4294967295u, 0xFFFFFFFF);
    EXPECT_EQ(Fill(2, 0x3AC), "Runtime error   2 at 000003AC");
}

// --- MapFault --------------------------------------------------------------

TEST(MapFault, MapsEachExceptionCodeToItsErrorNumber) {
    struct Row {
        std::uint32_t exceptionCode;
        std::uint32_t number;
    };
    const Row rows[] = {
        {0xC0000005, 216},
        {0xC000008C, 201},
        {0xC000008D, 206},
        {0xC000008E, 200},
        {0xC000008F, 207},
        {0xC0000090, 207},
        {0xC0000091, 205},
        {0xC0000092, 207},
        {0xC0000093, 206},
        {0xC0000094, 200},
        {0xC0000095, 215},
        {0xC0000096, 218},
        {0xC00000FD, 202},
        {0xC000013A, 217},
        // Everything else, neighbours of the table included.
        {0, 217},
        {0xC000001D, 217},
        {0xC0000004, 217},
        {0xC0000006, 217},
        {0xC000008B, 217},
        {0xC0000097, 217},
        {0xC00000FC, 217},
        {0xC00000FE, 217},
        {0xFFFFFFFF, 217},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(MapFault(row.exceptionCode), row.number)
            << "exception code 0x" << std::hex << row.exceptionCode;
    }
}

// --- Ending the process ----------------------------------------------------
// Each runs in a child process; the console's output is checked on its
// captured standard error.

TEST(CheckIoDeathTest, ReturnsWhenStatusIsZero) {
    EXPECT_EXIT(
        {
            StartConsoleProgram();
            CheckIo();
            _exit(42);
        },
        testing::ExitedWithCode(42), testing::Eq(std::string()));
}

TEST(CheckIoDeathTest, EndsWithStatusAsExitCodeAndReportsIt) {
    EXPECT_EXIT(
        {
            StartConsoleProgram();
            SetIoStatus(5);
            CheckIo();
        },
        testing::ExitedWithCode(5), testing::MatchesRegex(ReportPattern(" error   5")));
}

// The report shows the whole code; the exit status is all the system
// passes on, and a non-zero one never arrives as 0.
TEST(CheckIoDeathTest, ReportsCodeAboveByteRangeWhole) {
    EXPECT_EXIT(
        {
            StartConsoleProgram();
            SetIoStatus(1000);
            CheckIo();
        },
        testing::ExitedWithCode(255), testing::MatchesRegex(ReportPattern(" error1000")));
    EXPECT_EXIT(
        {
            StartConsoleProgram();
            SetIoStatus(256);
            CheckIo();
        },
        testing::ExitedWithCode(255), testing::MatchesRegex(ReportPattern(" error 256")));
}

__attribute__((noinline)) void CallCheckIo() { CheckIo(); }
__attribute__((noinline)) void CallRunTimeError() { RunTimeError(2); }

TEST(CheckIoDeathTest, SiteIsJustBehindTheCallInTheCaller) {
    EXPECT_EXIT(
        {
            StartConsoleProgram();
            ShowOffsetOf(CallCheckIo);
            SetIoStatus(5);
            CallCheckIo();
        },
        testing::ExitedWithCode(5), testing::MakeMatcher(new SiteInsideFunction));
}

TEST(RunTimeErrorDeathTest, SiteIsJustBehindTheCallInTheCaller) {
    EXPECT_EXIT(
        {
            StartConsoleProgram();
            ShowOffsetOf(CallRunTimeError);
            CallRunTimeError();
        },
        testing::ExitedWithCode(2), testing::MakeMatcher(new SiteInsideFunction));
}

TEST(CheckIoDeathTest, ReportContinuesAnUnfinishedLine) {
    EXPECT_EXIT(
        {
            StartConsoleProgram();
            WriteZText(ConsoleOut, "Ok");
            SetIoStatus(2);
            CheckIo();
        },
        testing::ExitedWithCode(2), testing::MatchesRegex("Ok" + ReportPattern(" error   2")));
}

TEST(CheckIoDeathTest, FailingConsoleKeepsTheErrorNumber) {
    EXPECT_EXIT(
        {
            StartConsoleProgram();
            fake::RecordingOs fakeOs;
            fakeOs.writeError = EIO;
            SetIoStatus(5);
            CheckIo();
        },
        testing::ExitedWithCode(5), testing::Eq(std::string()));
}

TEST(RunTimeErrorDeathTest, ReportsNumberOnConsole) {
    EXPECT_EXIT(
        {
            StartConsoleProgram();
            RunTimeError(216);
        },
        testing::ExitedWithCode(216), testing::MatchesRegex(ReportPattern(" error 216")));
}

// Without ConsoleProgram the report is the posix stand-in for a message
// box: one line on standard error; ConsoleOut gets nothing.
TEST(RunTimeErrorDeathTest, WithoutConsoleProgramReportsInErrorBox) {
    EXPECT_EXIT(
        {
            StartConsoleProgram();  // a stray console line would show too
            ConsoleProgram = false;
            RunTimeError(204);
        },
        testing::ExitedWithCode(204), testing::MatchesRegex(ReportPattern(" error 204")));
}

TEST(TerminateDeathTest, ExitsWithStatusWithoutReport) {
    EXPECT_EXIT(
        {
            StartConsoleProgram();
            ErrorSite = 0x1234;  // Terminate is never a run-time error
            Terminate(7);
        },
        testing::ExitedWithCode(7), testing::Eq(std::string()));
}

TEST(TerminateDeathTest, WritesOutPendingConsoleOutput) {
    EXPECT_EXIT(
        {
            StartConsoleProgram();
            WriteZText(ConsoleOut, "Ok");
            WriteLineEnd(ConsoleOut);
            Terminate(0);
        },
        testing::ExitedWithCode(0), testing::Eq(std::string("Ok\r\n")));
}

TEST(TerminateDeathTest, FailingFinalWriteKeepsExitStatus) {
    EXPECT_EXIT(
        {
            StartConsoleProgram();
            fake::RecordingOs fakeOs;
            fakeOs.fileType = os::FileType::Disk;
            WriteZText(ConsoleOut, "Ok");
            fakeOs.writeError = EIO;
            Terminate(3);
        },
        testing::ExitedWithCode(3), testing::Eq(std::string()));
}
