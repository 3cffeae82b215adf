// The command-line splitter over arbitrary bytes: CountArguments,
// ArgumentAt and ScanArgument against each other, against the splitting
// rules written out again here, and against laws that hold for any line.
// The line is the input up to its first zero byte, copied to a heap block
// of exactly its length plus the zero, so that reading past the end is
// caught.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/args/args.h"
#include "runtime/base/dynstring.h"
#include "runtime/os/os.h"

namespace {

[[noreturn]] void Fail(const char* law, const std::string& line) {
    std::fprintf(stderr, "law broken: %s\nline (%zu bytes):", law, line.size());
    for (unsigned char c : line) std::fprintf(stderr, " %02X", c);
    std::fprintf(stderr, "\n");
    std::abort();
}

// Every check names its law and shows the line.
#define CHECK(condition, law)              \
    do {                                   \
        if (!(condition)) Fail(law, line); \
    } while (0)

bool Separates(unsigned char c) { return c >= 1 && c <= 32; }

std::string Text(const DynString& s) { return std::string(s.CStr(), s.Length()); }

// The rules, over a std::string: skip separators; while at a pair of
// quotes skip both and separators again; then collect bytes above 32, a
// quote opening a section copied verbatim up to the next quote or the end.
// Every token of the line, the program name first; the list ends at the
// first empty token.
std::vector<std::string> Reference(const std::string& line) {
    std::vector<std::string> tokens;
    std::size_t i = 0;
    auto at = [&](std::size_t k) -> unsigned char {
        return k < line.size() ? static_cast<unsigned char>(line[k]) : 0;
    };
    for (;;) {
        for (;;) {
            while (Separates(at(i))) ++i;
            if (at(i) == '"' && at(i + 1) == '"') {
                i += 2;
                continue;
            }
            break;
        }
        std::string token;
        while (at(i) > 32) {
            if (at(i) == '"') {
                ++i;
                while (i < line.size() && line[i] != '"') token += line[i++];
                if (i < line.size()) ++i;
            } else {
                token += line[i++];
            }
        }
        if (token.empty()) return tokens;
        tokens.push_back(token);
    }
}

// Without quotes the rules reduce to splitting on bytes 1 to 32.
std::vector<std::string> SplitOnSeparators(const std::string& line) {
    std::vector<std::string> tokens;
    std::string current;
    for (unsigned char c : line) {
        if (Separates(c)) {
            if (!current.empty()) tokens.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(c);
        }
    }
    if (!current.empty()) tokens.push_back(current);
    return tokens;
}

std::string ArgumentOf(const char* commandLine, std::int32_t index) {
    DynString result;
    ArgumentAt(commandLine, index, result);
    return Text(result);
}

void CheckLine(const std::string& line) {
    // Exactly the line and its zero: one byte more is outside the block.
    const std::size_t size = line.size() + 1;
    char* commandLine = static_cast<char*>(std::malloc(size));
    std::memcpy(commandLine, line.c_str(), size);
    const char* const end = commandLine + line.size();

    const std::vector<std::string> expected = Reference(line);

    // ScanArgument, token by token: the program name, then the arguments.
    std::vector<std::string> scanned;
    std::size_t totalLength = 0;
    const char* position = commandLine;
    for (;;) {
        DynString token;
        const char* next = ScanArgument(position, token);
        CHECK(next >= position, "the scan position never goes backwards");
        CHECK(next <= end, "the scan position stays within the line");
        CHECK(*next == 0 || Separates(static_cast<unsigned char>(*next)),
              "the scan stops on a separator or the terminating zero");
        CHECK(static_cast<std::size_t>(next - position) >= token.Length(),
              "a token is no longer than the bytes it was scanned from");
        if (!token.Empty()) {
            CHECK(token.Bytes()[token.Length()] == 0, "a token is followed by a zero byte");
            CHECK(std::memchr(token.Bytes(), '"', token.Length()) == nullptr,
                  "no token holds a double quote");
            CHECK(std::memchr(token.Bytes(), 0, token.Length()) == nullptr,
                  "no token holds a zero byte");
        }
        position = next;
        if (token.Empty()) break;
        totalLength += token.Length();
        scanned.push_back(Text(token));
    }
    CHECK(position == end, "the list ends at the terminating zero");
    {
        DynString again;
        CHECK(ScanArgument(position, again) == end && again.Empty(), "an ended list stays ended");
    }
    CHECK(totalLength <= line.size(), "the tokens are no longer than the line");
    CHECK(scanned == expected, "the tokens are those the rules give");
    if (line.find('"') == std::string::npos) {
        CHECK(scanned == SplitOnSeparators(line), "without quotes, the line splits on bytes 1-32");
    }

    // CountArguments and ArgumentAt agree with the scan.
    const std::int32_t count = CountArguments(commandLine);
    const std::size_t arguments = expected.empty() ? 0 : expected.size() - 1;
    CHECK(count >= 0 && static_cast<std::size_t>(count) == arguments,
          "CountArguments counts the tokens behind the program name");
    // Each ArgumentAt walks the line from its start, so a fixed few indexes
    // keep the checks linear in the line: both ends of the list, its
    // middle, and past its end (the scan above has checked every token).
    const std::int32_t indexes[] = {0, 1, count / 2, count, count + 1};
    for (std::int32_t i : indexes) {
        if (i < 0) continue;
        std::string argument = ArgumentOf(commandLine, i);
        if (i == 0) {
            CHECK(argument == (expected.empty() ? "" : expected[0]),
                  "index 0 gives the program name as written");
        } else if (i <= count) {
            CHECK(!argument.empty(), "every argument from 1 to the count is non-empty");
            CHECK(argument == expected[static_cast<std::size_t>(i)],
                  "ArgumentAt gives the token the scan gives");
        } else {
            CHECK(argument.empty(), "past the count the argument is empty");
        }
    }
    CHECK(ArgumentOf(commandLine, INT_MAX).empty(), "index INT_MAX is empty");
    CHECK(ArgumentOf(commandLine, INT_MIN).empty(), "a negative index, INT_MIN, is empty");

    std::free(commandLine);
}

// Tokens whose lengths need more than 16 bits are beyond the fuzzer's
// input sizes; they are checked once per process.
void CheckLongTokensOnce() {
    static bool done = false;
    if (done) return;
    done = true;
    const std::string bare(70000, 'x');
    std::string quoted = "\"" + std::string(70000, ' ') + "\"";
    CheckLine("prog " + bare);
    CheckLine("prog " + quoted + " " + bare);
    CheckLine("prog \"" + bare + " " + bare);  // unterminated
    CheckLine(bare + " a");
}

}  // namespace

// As a program's entry does: the heap reaches the system through the table.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    os::BindSystemCalls();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckLongTokensOnce();
    // An embedded zero ends the command line.
    std::size_t length = 0;
    while (length < size && data[length] != 0) ++length;
    CheckLine(std::string(reinterpret_cast<const char*>(data), length));
    return 0;
}
