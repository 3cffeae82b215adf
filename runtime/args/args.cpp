// The arguments by index: from the argument vector where the system
// splits them, from the command line where it hands over one string.
#include "runtime/args/args.h"

#include "runtime/base/checked_memory.h"
#include "runtime/base/text_length.h"
#include "runtime/os/os.h"

namespace {

// Where the system hands the arguments over split, an empty element is
// skipped as if absent: an empty name would otherwise bind a standard
// handle, and the command-line splitter never yields one either.
const char* SplitArgument(std::int32_t index) {
    int count = 0;
    char** vector = os::ArgumentVector(&count);
    std::int32_t seen = 0;
    for (int i = 1; i < count && index > 0; ++i) {
        if (vector[i][0] != 0 && ++seen == index) return vector[i];
    }
    return nullptr;
}

// The path is fetched whole: a longer one than the first buffer holds gets
// a buffer twice as large, until it fits or reaches the longest path the
// system has. The first takes the usual longest path, terminator included,
// and one byte more: a copy shorter than the buffer is known to be whole.
void ModulePath(DynString& result) {
    constexpr std::uint32_t kUsualLongestPath = 260;
    constexpr std::uint32_t kLongestPath = 32768;
    char first[kUsualLongestPath + 1];
    std::uint32_t copied = os::ModuleFileName(first, sizeof first);
    if (copied < sizeof first) {
        result.Assign(first, copied);
        return;
    }
    for (std::uint32_t size = 2 * sizeof first;; size *= 2) {
        auto* buffer = static_cast<char*>(GetMemChecked(size));
        copied = os::ModuleFileName(buffer, size);
        bool whole = copied < size || size >= kLongestPath;
        if (whole) result.Assign(buffer, copied);
        FreeMemChecked(buffer);
        if (whole) return;
    }
}

}  // namespace

std::int32_t CountArguments(const char* commandLine) {
    bool none = false;
    const char* p = SkipArgument(commandLine, &none);  // the program name
    std::int32_t count = 0;
    for (;;) {
        p = SkipArgument(p, &none);
        if (none) return count;
        ++count;
    }
}

void ArgumentAt(const char* commandLine, std::int32_t index, DynString& result) {
    // The first token is the program name. Tokens before the one asked for
    // are walked over, never copied; a negative index never reaches its
    // token and so runs to the end of the list.
    const char* p = commandLine;
    for (; index != 0; index = index > 0 ? index - 1 : index) {
        bool none = false;
        p = SkipArgument(p, &none);
        if (none) {
            result.Release();
            return;
        }
    }
    ScanArgument(p, result);
}

// The command line is asked for again on every call; nothing is cached.
std::int32_t ArgCount() {
    if (const char* line = os::CommandLine()) return CountArguments(line);
    std::int32_t count = 0;
    while (SplitArgument(count + 1) != nullptr) ++count;
    return count;
}

void ArgString(std::int32_t index, DynString& result) {
    if (index == 0) {
        ModulePath(result);
    } else if (const char* line = os::CommandLine()) {
        ArgumentAt(line, index, result);
    } else if (const char* argument = SplitArgument(index)) {
        result.Assign(argument, TextLength(argument));
    } else {
        result = DynString();
    }
}
