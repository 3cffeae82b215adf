// The project's own programs as the end-to-end tests run them: natively
// from the tree under test, or a Windows build under Wine; and how their
// output is compared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/messages.h"
#include "run_program.h"

namespace e2e {

// patch500's lines as they reach its standard output.
inline const std::string kNeed2 = std::string(message::NeedTwoParameters) + "\r\n";
inline const std::string kCantFind1st = std::string(message::CantFindFirst) + "\r\n";
inline const std::string kCantFind2nd = std::string(message::CantFindSecond) + "\r\n";
inline const std::string kNo500 = std::string(message::NoFileOfPatchSize) + "\r\n";
inline const std::string kBoth500 = std::string(message::BothOfPatchSize) + "\r\n";
inline const std::string kOk = std::string(message::Ok) + "\r\n";

// The Windows build under test, as the environment's P5_WINDOWS names it:
// "win64" (the default) or "win32".
extern const std::string kWindowsBuild;

// build/native/<program>, or build/<Windows build>/<program>.exe.
std::string ProgramPath(bool windows, const std::string& program);

// A binary tool of the MinGW-w64 toolchain that built the Windows program,
// e.g. "objdump".
std::string WindowsTool(const std::string& tool);

// A Windows program (a path, or one of Wine's own such as "cmd") with
// `args`, under Wine with the project's settings (tools/wine).
std::vector<std::string> WineCommand(const std::string& exe, const std::vector<std::string>& args);

// The command that runs a native program of this tree with `args`: the
// program itself, or in a cross build the emulator that runs it.
std::vector<std::string> NativeCommand(const std::string& program,
                                       const std::vector<std::string>& args);

// The binary tools that read this tree's native images.
extern const std::string kReadelf;
extern const std::string kNm;
extern const std::string kAddr2line;

// How the native programs are linked: "static-pie", "static" or "dynamic".
extern const std::string kLinkage;

// One run of a program of this project, with the settings each build needs
// (Wine's; faults reaching the program's own handler under the sanitizers).
RunResult Run(bool windows, const std::string& program, const std::vector<std::string>& args,
              RunOptions options);

// Control characters made visible, for failure messages.
std::string Visible(const std::string& bytes);

// Pseudo-random but fixed bytes, so that a failure can be reproduced.
std::string Bytes(std::size_t count, std::uint32_t seed);

// The patch's source: 500 bytes with those a text-minded copy would mangle
// (NUL, CR, LF, Ctrl-Z) at the start, in the middle and at the end.
std::string SourceBytes();
inline const std::string kSource = SourceBytes();
inline const std::string k800 = Bytes(800, 5);  // the usual target

// `bytes` over the start of `target`, whose tail stays.
std::string Over(const std::string& target, const std::string& bytes);

// A target after a good run.
inline std::string Patched(const std::string& target) { return Over(target, kSource); }

// A row's test name: its own `name`.
template <typename Row>
std::string RowName(const testing::TestParamInfo<Row>& info) {
    return info.param.name;
}

// '#' in a pattern stands for one upper-case hex digit of an address.
bool Matches(const std::string& pattern, const std::string& text);

// The report line of run-time error `number` (up to four digits), with
// its line end, as a pattern for Matches.
std::string ReportLine(std::uint32_t number);

// Wine's console host wraps each write to a terminal in hide-cursor and
// show-cursor codes. They are removed here; the text between them is one
// write of the program, appended to *writes.
std::string WithoutWineCursorCodes(const std::string& raw, std::vector<std::string>* writes);

}  // namespace e2e

#define EXPECT_MATCHES(pattern, text)       \
    EXPECT_TRUE(e2e::Matches(pattern, text)) \
        << "expected " << e2e::Visible(pattern) << "\n  actual " << e2e::Visible(text)
