// Command-line splitting and the argument operations on both sources: one
// command-line string, and the argument vector that posix hands over.
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "runtime/args/args.h"
#include "runtime/os/os.h"
#include "tests/common/scan_rows.h"

namespace {

std::string Text(const DynString& s) { return std::string(s.CStr(), s.Length()); }

std::string ArgumentOf(const char* line, std::int32_t index) {
    DynString result;
    ArgumentAt(line, index, result);
    return Text(result);
}

// Installs an argument vector for one test and puts the real one back.
class ArgumentVectorScope {
public:
    explicit ArgumentVectorScope(std::initializer_list<const char*> arguments) {
        saved_ = os::ArgumentVector(&savedCount_);
        for (const char* a : arguments) storage_.emplace_back(a);
        for (std::string& s : storage_) pointers_.push_back(s.data());
        pointers_.push_back(nullptr);
        os::SetArgumentVector(static_cast<int>(storage_.size()), pointers_.data());
    }
    ~ArgumentVectorScope() { os::SetArgumentVector(savedCount_, saved_); }

private:
    std::vector<std::string> storage_;
    std::vector<char*> pointers_;
    char** saved_ = nullptr;
    int savedCount_ = 0;
};

}  // namespace

TEST(CommandLine, SplitsEveryRowExactly) {
    for (const ScanRow& row : kScanRows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(CountArguments(row.commandLine), row.count);
        for (int i = 1; i <= row.count; ++i) {
            EXPECT_EQ(ArgumentOf(row.commandLine, i), row.arguments[i - 1]) << "argument " << i;
        }
        // The list ends with the empty string, and stays ended.
        EXPECT_EQ(ArgumentOf(row.commandLine, row.count + 1), "");
        EXPECT_EQ(ArgumentOf(row.commandLine, row.count + 5), "");
        EXPECT_EQ(ArgumentOf(row.commandLine, -1), "");
        EXPECT_EQ(ArgumentOf(row.commandLine, INT_MIN), "");
    }
}

TEST(CommandLine, ScanStopsOnTheSeparatorBehindTheArgument) {
    const char line[] = "  \"a b\"c\td";
    DynString token;
    const char* p = ScanArgument(line, token);
    EXPECT_EQ(Text(token), "a bc");
    EXPECT_EQ(p, line + 8);  // on the tab, not past it
    p = ScanArgument(p, token);
    EXPECT_EQ(Text(token), "d");
    EXPECT_EQ(*p, 0);
    p = ScanArgument(p, token);
    EXPECT_TRUE(token.Empty());
    EXPECT_EQ(*p, 0);
}

TEST(CommandLine, TakesTokensOfAnyLengthWhole) {
    for (std::size_t length : {255u, 256u, 257u, 5000u, 70000u}) {
        SCOPED_TRACE(length);
        std::string path(length, 'p');
        path[length / 2] = ' ';
        std::string line = "prog \"" + path + "\" " + std::string(length, 'q');
        EXPECT_EQ(CountArguments(line.c_str()), 2);
        EXPECT_EQ(ArgumentOf(line.c_str(), 1), path);
        EXPECT_EQ(ArgumentOf(line.c_str(), 2), std::string(length, 'q'));
    }
}

TEST(CommandLine, ResultReplacesAndReleasesThePreviousValue) {
    DynString result = DynString::FromBytes("old", 3);
    DynString shared = result;
    ASSERT_EQ(shared.RefCount(), 2);
    ArgumentAt("prog new", 1, result);
    EXPECT_EQ(Text(result), "new");
    EXPECT_EQ(shared.RefCount(), 1);
}

TEST(ArgumentVector, SkipsEmptyElementsAsIfAbsent) {
    ArgumentVectorScope scope{"prog", "", "a.bin", "", "b c", ""};
    EXPECT_EQ(ArgCount(), 2);
    DynString argument;
    ArgString(1, argument);
    EXPECT_EQ(Text(argument), "a.bin");
    ArgString(2, argument);
    EXPECT_EQ(Text(argument), "b c");
    for (std::int32_t index : {3, 4, 100, -1, INT_MIN}) {
        ArgString(index, argument);
        EXPECT_TRUE(argument.Empty()) << "index " << index;
    }
}

TEST(ArgumentVector, IndexZeroIsTheProgramsOwnFile) {
    ArgumentVectorScope scope{"typed-name"};
    char expected[4096];
    ssize_t n = readlink("/proc/self/exe", expected, sizeof expected);
    ASSERT_GT(n, 0);
    DynString path;
    ArgString(0, path);
    EXPECT_EQ(Text(path), std::string(expected, static_cast<std::size_t>(n)));
    EXPECT_EQ(ArgCount(), 0);
}
