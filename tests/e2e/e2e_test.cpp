// The real programs, run as a user runs them: natively, and the Windows
// programs under Wine. Test names containing "Windows" need Wine.
#include <gtest/gtest.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "programs.h"
#include "run_program.h"
#include "tests/common/files.h"
#include "tests/common/scan_rows.h"

namespace {

using e2e::Matches;
using e2e::ProgramPath;
using e2e::Run;
using e2e::RunOptions;
using e2e::RunResult;
using e2e::StdinMode;
using e2e::StdoutMode;
using e2e::Visible;
using e2e::WithoutWineCursorCodes;

const std::string kSourceDir = P5_SOURCE_DIR;

// One run of the runtime driver: its arguments, how its standard handles
// are set, and what it must write and return. Native and Windows share a row.
// patch500's own rows are in patch_test.cpp.
struct Row {
    const char* name;
    std::vector<std::string> args;
    const char* expected;  // standard output, as a pattern
    int status;            // exit status
    StdoutMode out = StdoutMode::Pipe;
    StdinMode in = StdinMode::DevNull;
    std::optional<int> windowsStatus = std::nullopt;  // where Wine differs
    const char* windowsExpected = nullptr;             // where Windows differs
    const char* nativeStderr = "";  // nullptr: not checked
    const char* windowsStderr = "";
};

// Reports end "\r\n" on every build.
const Row kRows[] = {
    {.name = "ok", .args = {"ok"}, .expected = "hello\r\n", .status = 0},
    {.name = "checkio", .args = {"checkio"},
     .expected = "partial Runtime error   2 at ########\r\n", .status = 2},
    // Linux keeps eight bits: the program clamps to 255; Wine passes the low 8.
    {.name = "status1000", .args = {"status1000"},
     .expected = "Runtime error1000 at ########\r\n", .status = 255, .windowsStatus = 1000 & 0xFF},
    {.name = "badfree", .args = {"badfree"},
     .expected = "Runtime error 204 at ########\r\n", .status = 204},
    // Not a console program: the report goes to a box (standard error on
    // Linux; under Wine without a display the box may simply fail).
    {.name = "box", .args = {"box"}, .expected = "", .status = 217,
     .nativeStderr = "Runtime error 217 at ########\r\n", .windowsStderr = nullptr},
    // A fault with nothing but the outer frame: its clean-up runs, and
    // the error site 0 of a null call means no report.
    {.name = "nullcall", .args = {"nullcall"}, .expected = "cleanup outer\r\n", .status = 216},
    {.name = "null", .args = {"null"},
     .expected = "cleanup inner\r\ncleanup outer\r\nRuntime error 216 at ########\r\n",
     .status = 216},
    {.name = "divzero", .args = {"divzero"},
     .expected = P5_DIVISION_TRAPS
                     ? "cleanup inner\r\ncleanup outer\r\nRuntime error 200 at ########\r\n"
                     : "division by zero did not trap\r\n",
     .status = P5_DIVISION_TRAPS ? 200 : 0, .windowsStatus = 200,
     .windowsExpected = "cleanup inner\r\ncleanup outer\r\nRuntime error 200 at ########\r\n"},
    {.name = "stack", .args = {"stack"},
     .expected = "cleanup inner\r\ncleanup outer\r\nRuntime error 202 at ########\r\n",
     .status = 202},
    // A fault inside clean-up work does not enter that clean-up again.
    {.name = "cleanupfault", .args = {"cleanupfault"},
     .expected = "cleanup faulting\r\ncleanup outer\r\nRuntime error 216 at ########\r\n",
     .status = 216},
    // A direct run-time error runs no clean-up.
    {.name = "direct", .args = {"direct"},
     .expected = "Runtime error  42 at ########\r\n", .status = 42},
    {.name = "frames", .args = {"frames"},
     .expected = "leaving inner\r\ncleanup inner\r\nleft inner\r\n", .status = 0},
    {.name = "case_is_last_argument", .args = {"direct", "two words", "ok"},
     .expected = "hello\r\n", .status = 0},

    // The same bytes into a regular file and onto a terminal.
    {.name = "ok_file", .args = {"ok"}, .expected = "hello\r\n", .status = 0,
     .out = StdoutMode::File},
    {.name = "checkio_file", .args = {"checkio"},
     .expected = "partial Runtime error   2 at ########\r\n", .status = 2, .out = StdoutMode::File},
    {.name = "null_file", .args = {"null"},
     .expected = "cleanup inner\r\ncleanup outer\r\nRuntime error 216 at ########\r\n",
     .status = 216, .out = StdoutMode::File},
    {.name = "frames_file", .args = {"frames"},
     .expected = "leaving inner\r\ncleanup inner\r\nleft inner\r\n", .status = 0,
     .out = StdoutMode::File},
    {.name = "ok_terminal", .args = {"ok"}, .expected = "hello\r\n", .status = 0,
     .out = StdoutMode::Terminal},
    {.name = "checkio_terminal", .args = {"checkio"},
     .expected = "partial Runtime error   2 at ########\r\n", .status = 2,
     .out = StdoutMode::Terminal},
    {.name = "null_terminal", .args = {"null"},
     .expected = "cleanup inner\r\ncleanup outer\r\nRuntime error 216 at ########\r\n",
     .status = 216, .out = StdoutMode::Terminal},
    {.name = "frames_terminal", .args = {"frames"},
     .expected = "leaving inner\r\ncleanup inner\r\nleft inner\r\n", .status = 0,
     .out = StdoutMode::Terminal},

    // Output that cannot be written: the exit status still tells. Natively
    // the open fails, which "ok" does not check; under Wine the handle is
    // one on the folder, and the write at termination fails.
    {.name = "ok_stdout_closed", .args = {"ok"}, .expected = "", .status = 0,
     .out = StdoutMode::Closed, .windowsStatus = 6},
    {.name = "checkio_stdout_closed", .args = {"checkio"}, .expected = "", .status = 2,
     .out = StdoutMode::Closed},
    {.name = "ok_stdout_full", .args = {"ok"}, .expected = "", .status = 0,
     .out = StdoutMode::DevFull},
    {.name = "checkio_stdout_full", .args = {"checkio"}, .expected = "", .status = 2,
     .out = StdoutMode::DevFull},
    {.name = "ok_stdin_closed", .args = {"ok"}, .expected = "hello\r\n", .status = 0,
     .in = StdinMode::Closed},
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

void RunRow(bool windows, const Row& row) {
    testfs::TempDir dir;
    ASSERT_FALSE(dir.path().empty()) << "mkdtemp failed";
    RunOptions options;
    options.workDir = dir.path();
    options.out = row.out;
    options.in = row.in;
    RunResult result = Run(windows, "rtdemo", row.args, options);

    ASSERT_TRUE(result.exited) << Describe(result) << "\nstderr: " << Visible(result.err);
    int status = windows ? row.windowsStatus.value_or(row.status) : row.status;
    EXPECT_EQ(result.exitCode, status);

    std::string out = result.out;
    if (row.out == StdoutMode::Terminal) {
        // Text reaches a terminal line by line, never part of a line.
        std::vector<std::string> writes;
        if (windows) {
            // Wine shows each write apart: exactly one per line.
            out = WithoutWineCursorCodes(result.out, &writes);
            auto lines = static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n'));
            EXPECT_EQ(writes.size(), lines) << Visible(result.out);
        } else {
            // Reads may join writes here; still none may end inside a line.
            std::size_t at = 0;
            for (std::size_t size : result.outPieces) {
                writes.push_back(result.out.substr(at, size));
                at += size;
            }
        }
        for (const std::string& piece : writes) {
            EXPECT_EQ(piece.back(), '\n') << "a write ends inside a line: " << Visible(piece);
        }
    }
    EXPECT_MATCHES(windows && row.windowsExpected ? row.windowsExpected : row.expected, out);

    const char* err = windows ? row.windowsStderr : row.nativeStderr;
    if (err != nullptr) {
        EXPECT_MATCHES(err, result.err);
    }

    // Nothing is written anywhere else.
    EXPECT_TRUE(dir.Entries().empty()) << "left in the working folder: " << dir.Entries().front();
}

class ProgramRunNative : public testing::TestWithParam<Row> {};
class ProgramRunWindows : public testing::TestWithParam<Row> {};

TEST_P(ProgramRunNative, WritesExpectedBytesAndExitStatus) { RunRow(false, GetParam()); }
TEST_P(ProgramRunWindows, WritesExpectedBytesAndExitStatus) { RunRow(true, GetParam()); }

INSTANTIATE_TEST_SUITE_P(Rows, ProgramRunNative, testing::ValuesIn(kRows), e2e::RowName<Row>);
INSTANTIATE_TEST_SUITE_P(Rows, ProgramRunWindows, testing::ValuesIn(kRows), e2e::RowName<Row>);

// ---- The reported address is the real error site ----

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

std::vector<std::string> Lines(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

// The number in the first line of `toolOutput` that starts with `key`,
// read as hex from the word after it.
std::optional<std::uint64_t> HexAfter(const std::string& toolOutput, const std::string& key) {
    for (const std::string& line : Lines(toolOutput)) {
        std::vector<std::string> words = Words(line);
        if (words.size() >= 2 && words[0] == key) return std::stoull(words[1], nullptr, 16);
    }
    return std::nullopt;
}

// Line number of the source line marked "// CHECK-SITE" in rtdemo.cpp.
int CheckSiteLine() {
    std::ifstream source(kSourceDir + "/tests/e2e/rtdemo.cpp");
    int number = 0;
    for (std::string line; std::getline(source, line);) {
        ++number;
        if (line.find("// CHECK-SITE") != std::string::npos) return number;
    }
    return -1;
}

// The 8 address digits of the checkio case's report, from one run.
std::optional<std::uint64_t> CheckIoSite(bool windows) {
    testfs::TempDir dir;
    RunOptions options;
    options.workDir = dir.path();
    RunResult result = Run(windows, "rtdemo", {"checkio"}, options);
    EXPECT_TRUE(result.exited) << Describe(result);
    const std::string pattern = "partial Runtime error   2 at ########\r\n";
    EXPECT_MATCHES(pattern, result.out);
    if (!Matches(pattern, result.out)) return std::nullopt;
    return std::stoull(result.out.substr(pattern.find('#'), 8), nullptr, 16);
}

// addr2line's answer must be rtdemo.cpp at the CHECK-SITE line.
void ExpectCheckSite(const std::string& addr2line, const std::string& image,
                     std::uint64_t address) {
    char hex[32];
    std::snprintf(hex, sizeof hex, "0x%llx", static_cast<unsigned long long>(address));
    std::string problem;
    std::string answer = e2e::ToolOutput({addr2line, "-e", image, hex}, &problem);
    ASSERT_EQ(problem, "");
    answer = Lines(answer).at(0);
    answer = answer.substr(0, answer.find(" ("));  // "(discriminator n)"
    std::size_t colon = answer.rfind(':');
    ASSERT_NE(colon, std::string::npos) << answer;
    EXPECT_TRUE(answer.substr(0, colon).ends_with("/tests/e2e/rtdemo.cpp")) << answer;
    EXPECT_EQ(answer.substr(colon + 1), std::to_string(CheckSiteLine())) << answer;
}

TEST(RuntimeNative, ReportedAddressIsTheCheckSiteInEveryRun) {
    std::optional<std::uint64_t> first = CheckIoSite(false);
    std::optional<std::uint64_t> second = CheckIoSite(false);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*first, *second) << "the address must not depend on where the program is loaded";

    // Distance from the first executable segment, which starts the code.
    std::string image = ProgramPath(false, "rtdemo");
    std::string problem;
    std::string segments = e2e::ToolOutput({e2e::kReadelf, "-lW", image}, &problem);
    ASSERT_EQ(problem, "");
    std::optional<std::uint64_t> codeStart;
    for (const std::string& line : Lines(segments)) {
        std::vector<std::string> w = Words(line);
        if (w.size() < 8 || w[0] != "LOAD") continue;
        std::string flags;
        for (std::size_t i = 6; i + 1 < w.size(); ++i) flags += w[i];
        if (flags.find('E') != std::string::npos) {
            codeStart = std::stoull(w[2], nullptr, 16);
            break;
        }
    }
    ASSERT_TRUE(codeStart) << segments;
    // The site is a return address; one byte back is inside the call.
    ExpectCheckSite(e2e::kAddr2line, image, *codeStart + *first - 1);
}

TEST(RuntimeWindows, ReportedAddressIsTheCheckSiteInEveryRun) {
    std::optional<std::uint64_t> first = CheckIoSite(true);
    std::optional<std::uint64_t> second = CheckIoSite(true);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*first, *second) << "the address must not depend on where the program is loaded";

    std::string image = ProgramPath(true, "rtdemo");
    std::string problem;
    std::string headers = e2e::ToolOutput({e2e::WindowsTool("objdump"), "-p", image}, &problem);
    ASSERT_EQ(problem, "");
    std::optional<std::uint64_t> imageBase = HexAfter(headers, "ImageBase");
    std::optional<std::uint64_t> baseOfCode = HexAfter(headers, "BaseOfCode");
    ASSERT_TRUE(imageBase && baseOfCode) << headers;
    ExpectCheckSite(e2e::WindowsTool("addr2line"), image, *imageBase + *baseOfCode + *first - 1);
}

// ---- What the images are made of ----

std::string PeHeaders(const std::string& program) {
    std::string problem;
    std::string headers =
        e2e::ToolOutput({e2e::WindowsTool("objdump"), "-p", ProgramPath(true, program)}, &problem);
    EXPECT_EQ(problem, "");
    return headers;
}

// The command-line rows of the unit tests, run by the splitter as each
// build compiles it; on Windows no unit-test framework runs.
void RunScanRows(bool windows) {
    testfs::TempDir dir;
    ASSERT_FALSE(dir.path().empty()) << "mkdtemp failed";
    RunOptions options;
    options.workDir = dir.path();
    RunResult result = Run(windows, "scanrows", {}, options);
    ASSERT_TRUE(result.exited) << e2e::Describe(result);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_MATCHES(std::to_string(std::size(kScanRows)) + " passed, 0 failed\r\n", result.out);
}

TEST(CommandLineRowsNative, AllHold) { RunScanRows(false); }
TEST(CommandLineRowsWindows, AllHold) { RunScanRows(true); }

TEST(ImageWindows, ImportsFromKernel32Only) {
    for (const char* program : {"patch500", "rtdemo"}) {
        std::vector<std::string> dlls;
        for (const std::string& line : Lines(PeHeaders(program))) {
            std::size_t at = line.find("DLL Name:");
            if (at != std::string::npos) dlls.push_back(Words(line.substr(at + 9)).at(0));
        }
        ASSERT_EQ(dlls.size(), 1u) << program;
        EXPECT_TRUE(strcasecmp(dlls[0].c_str(), "KERNEL32.dll") == 0) << program << ": " << dlls[0];
    }
}

TEST(ImageWindows, IsDynamicBaseAndNxCompatible) {
    std::optional<std::uint64_t> flags = HexAfter(PeHeaders("patch500"), "DllCharacteristics");
    ASSERT_TRUE(flags);
    EXPECT_EQ(*flags & 0x40, 0x40u) << "dynamic base";
    EXPECT_EQ(*flags & 0x100, 0x100u) << "NX compatible";
}

// The resources of patch500.exe as windres reads them back from the image.
std::string ResourceScript() {
    std::string problem;
    std::string script = e2e::ToolOutput(
        {e2e::WindowsTool("windres"), "-i", ProgramPath(true, "patch500"), "-O", "rc"}, &problem);
    EXPECT_EQ(problem, "");
    return script;
}

// The manifest's text from the script, where it stands as quoted pieces,
// one per line, with every double quote doubled.
std::string ManifestText(const std::string& script) {
    std::size_t at = script.find("\n1 24 /* RT_MANIFEST */");
    if (at == std::string::npos) return "";
    std::string text;
    for (const std::string& line : Lines(script.substr(at))) {
        std::size_t open = line.find('"');
        if (line.starts_with("END")) break;
        if (open == std::string::npos) continue;
        std::string piece = line.substr(open + 1, line.rfind('"') - open - 1);
        for (std::size_t i = 0; i < piece.size(); ++i) {
            if (piece[i] == '"' && i + 1 < piece.size() && piece[i + 1] == '"') ++i;
            text += piece[i];
        }
    }
    return text;
}

// The caller's rights, so that no elevation is asked for a program whose
// name reads like an installer's; UTF-8 as the process's code page.
TEST(ImageWindows, ManifestAsksForCallersRightsAndUtf8) {
    std::string script = ResourceScript();
    std::string manifest = ManifestText(script);
    ASSERT_NE(manifest, "") << script;
    for (const char* setting :
         {"<requestedExecutionLevel level=\"asInvoker\"/>",
          "<activeCodePage xmlns=\"http://schemas.microsoft.com/SMI/2019/WindowsSettings\">"
          "UTF-8</activeCodePage>"}) {
        EXPECT_NE(manifest.find(setting), std::string::npos) << setting << "\n" << manifest;
    }
    std::size_t systems = 0;
    for (std::size_t at = 0; (at = manifest.find("<supportedOS ", at)) != std::string::npos; ++at) {
        ++systems;
    }
    EXPECT_EQ(systems, 5u) << "Vista to Windows 10/11";
}

// The project's version, and no text the installer guess looks for.
TEST(ImageWindows, VersionInformationReadsLikeNoInstaller) {
    std::vector<std::pair<std::string, std::string>> values;
    for (const std::string& line : Lines(ResourceScript())) {
        std::vector<std::string> w = Words(line);
        if (w.size() < 3 || w[0] != "VALUE" || w[1].front() != '"' || w[2].front() != '"') continue;
        const std::string between = "\", \"";
        std::size_t key = line.find('"') + 1, at = line.find(between, key);
        ASSERT_NE(at, std::string::npos) << line;
        std::size_t value = at + between.size();
        values.emplace_back(line.substr(key, at - key), line.substr(value, line.rfind('"') - value));
    }
    std::vector<std::string> keys;
    for (const auto& [key, value] : values) {
        keys.push_back(key);
        if (key == "FileVersion" || key == "ProductVersion") {
            EXPECT_EQ(value, P5_VERSION) << key;
        }
        std::string lower = value;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const char* word : {"patch", "setup", "install", "update", "upd"}) {
            EXPECT_EQ(lower.find(word), std::string::npos) << key << ": " << value;
        }
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"FileDescription", "FileVersion", "ProductName",
                                              "ProductVersion"}));
}

// The 64-bit program carries unwind data for every routine, as its
// calling convention asks.
TEST(ImageWindows, StrippedProgramIsUnder16KiBOr20KiBFor64Bit) {
    testfs::TempDir dir;
    std::string stripped = dir.path() + "/patch500.exe";
    std::string problem;
    e2e::ToolOutput({e2e::WindowsTool("strip"), "-o", stripped, ProgramPath(true, "patch500")},
                    &problem);
    ASSERT_EQ(problem, "");
    std::ifstream file(stripped, std::ios::binary | std::ios::ate);
    ASSERT_TRUE(file);
    EXPECT_LT(static_cast<long long>(file.tellg()), e2e::kWindowsBuild == "win32" ? 16384 : 20480);
}

// Static, with no dynamic loader: a PIE where the toolchain can link one
// (a sanitizer build links dynamically).
TEST(ImageNative, IsStaticPieWithoutInterpreter) {
    if (e2e::kLinkage == "dynamic") GTEST_SKIP() << "this tree links dynamically";
    std::string problem;
    std::string image = ProgramPath(false, "patch500");
    std::string header = e2e::ToolOutput({e2e::kReadelf, "-hW", image}, &problem);
    std::string segments = e2e::ToolOutput({e2e::kReadelf, "-lW", image}, &problem);
    ASSERT_EQ(problem, "");
    std::optional<std::string> type;
    for (const std::string& line : Lines(header)) {
        std::vector<std::string> w = Words(line);
        if (w.size() >= 2 && w[0] == "Type:") type = w[1];
    }
    EXPECT_EQ(type, e2e::kLinkage == "static-pie" ? "DYN" : "EXEC") << "position-independent";
    for (const std::string& line : Lines(segments)) {
        std::vector<std::string> w = Words(line);
        EXPECT_FALSE(!w.empty() && w[0] == "INTERP") << "needs a dynamic loader: " << line;
    }
}

TEST(ImageNative, ContainsNoStandardLibrarySymbols) {
    if (e2e::kLinkage == "dynamic") GTEST_SKIP() << "sanitizer runtimes bring their own";
    for (const char* program : {"patch500", "rtdemo"}) {
        std::string problem;
        std::string symbols = e2e::ToolOutput({e2e::kNm, "-C", ProgramPath(false, program)}, &problem);
        ASSERT_EQ(problem, "");
        for (const std::string& line : Lines(symbols)) {
            EXPECT_EQ(line.find("std::"), std::string::npos) << program << ": " << line;
        }
    }
}

// No pointer the start-up relocates stays writable: the relocated data is
// read-only before the program runs (full RELRO; a static image that is no
// PIE has no dynamic section to say so), or, on x86-64 without a C
// library, there are no relocations at all. The stack guard is in, and no
// segment is both writable and executable.
TEST(ImageNative, IsHardened) {
    if (e2e::kLinkage == "dynamic") GTEST_SKIP() << "hardening applies to the release programs";
    std::string problem;
    std::string image = ProgramPath(false, "patch500");
    std::string segments = e2e::ToolOutput({e2e::kReadelf, "-lW", image}, &problem);
    std::string dynamic = e2e::ToolOutput({e2e::kReadelf, "-dW", image}, &problem);
    std::string relocations = e2e::ToolOutput({e2e::kReadelf, "-rW", image}, &problem);
    std::string symbols = e2e::ToolOutput({e2e::kNm, image}, &problem);
    ASSERT_EQ(problem, "");
    if (relocations.find("There are no relocations") == std::string::npos) {
        EXPECT_NE(segments.find("GNU_RELRO"), std::string::npos);
        if (e2e::kLinkage == "static-pie") {
            EXPECT_NE(dynamic.find("BIND_NOW"), std::string::npos);
        }
    }
    EXPECT_NE(symbols.find(" __stack_chk_fail"), std::string::npos);
    EXPECT_EQ(segments.find(" RWE "), std::string::npos) << "a segment both writable and executable";
}

}  // namespace
