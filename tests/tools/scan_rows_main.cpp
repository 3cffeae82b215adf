// Test-only: runs the shared command-line rows through the splitter of the
// build it belongs to (win32 above all, where no unit-test framework runs)
// and prints "N passed, M failed"; the exit status is M.
#include "runtime/args/args.h"
#include "runtime/terminate/terminate.h"
#include "runtime/textio/textio.h"
#include "tests/common/scan_rows.h"

namespace {

bool Equal(const DynString& s, const char* expected) {
    std::uint32_t i = 0;
    for (; expected[i] != 0; ++i) {
        if (i >= s.Length() || s.Bytes()[i] != expected[i]) return false;
    }
    return i == s.Length();
}

bool RowHolds(const ScanRow& row) {
    if (CountArguments(row.commandLine) != row.count) return false;
    DynString argument;
    for (int i = 1; i <= row.count; ++i) {
        ArgumentAt(row.commandLine, i, argument);
        if (!Equal(argument, row.arguments[i - 1])) return false;
    }
    ArgumentAt(row.commandLine, row.count + 1, argument);
    if (!argument.Empty()) return false;
    ArgumentAt(row.commandLine, -1, argument);
    return argument.Empty();
}

void WriteNumber(std::uint32_t n) {
    char digits[11];
    int at = 10;
    digits[at] = 0;
    do {
        digits[--at] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    WriteZText(ConsoleOut, digits + at);
}

}  // namespace

void ProgramMain() {
    ConsoleMainBlock start;
    std::uint32_t passed = 0;
    std::uint32_t failed = 0;
    for (const ScanRow& row : kScanRows) {
        if (RowHolds(row)) {
            ++passed;
        } else {
            ++failed;
            WriteZText(ConsoleOut, "FAILED: ");
            WriteZText(ConsoleOut, row.name);
            WriteLineEnd(ConsoleOut);
        }
    }
    WriteNumber(passed);
    WriteZText(ConsoleOut, " passed, ");
    WriteNumber(failed);
    WriteZText(ConsoleOut, " failed");
    WriteLineEnd(ConsoleOut);
    Terminate(failed);
}
