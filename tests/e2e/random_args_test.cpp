// patch500 under random argument vectors, natively and the Windows programs
// under Wine. Whatever the arguments, it must end normally with status 0,
// print exactly the line they call for, and change nothing but the target
// of an "Ok". The seed is fixed and printed; P5_RANDOM_SEED replaces it.
// Test names containing "Windows" need Wine.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "programs.h"
#include "run_program.h"
#include "tests/common/files.h"

namespace e2e {
namespace {

constexpr std::uint32_t kDefaultSeed = 500500;
constexpr int kNativeRuns = 200;
constexpr int kWindowsRuns = 30;  // about a tenth of a second each under Wine
constexpr std::size_t kLongName = 5000;

const std::string kLines[] = {kNeed2, kCantFind1st, kCantFind2nd, kNo500, kBoth500, kOk};

std::uint32_t Seed() {
    const char* given = std::getenv("P5_RANDOM_SEED");
    if (given == nullptr || *given == 0) return kDefaultSeed;
    return static_cast<std::uint32_t>(std::strtoul(given, nullptr, 0));
}

// mt19937's sequence is fixed by the standard, its distributions are not:
// draws are made here so that a seed means the same runs everywhere.
class Random {
public:
    explicit Random(std::uint32_t seed) : engine_(seed) {}
    std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(engine_() % n); }
    bool Percent(std::uint32_t p) { return Below(100) < p; }
    template <typename T>
    const T& Pick(const std::vector<T>& items) {
        return items[Below(static_cast<std::uint32_t>(items.size()))];
    }

private:
    std::mt19937 engine_;
};

// ---- The folder each run starts with ----

struct Entry {
    std::string name;
    std::string bytes;
    bool folder = false;
};

// Where MakeEntries puts the 500-byte "src.bin", the 800-byte target and
// the empty file.
constexpr int kSource = 0;
constexpr int kTarget = 2;
constexpr int kEmpty = 3;

// Natively, argv reaches the program as it is: names may hold quotes,
// spaces and bytes above 127. Wine re-quotes argv into one command line,
// escaping quotes with backslashes the program's splitter does not know:
// there the names keep to spaces and plain ASCII.
std::vector<Entry> MakeEntries(bool windows, Random& random) {
    auto bytes = [&](std::size_t count) {
        std::string b(count, '\0');
        for (char& c : b) c = static_cast<char>(random.Below(256));
        return b;
    };
    if (windows) {
        return {{"src.bin", bytes(500)}, {"copy500.bin", bytes(500)},
                {"my target.bin", bytes(800)}, {"empty.bin", ""}, {"dir", "", true}};
    }
    return {{"src.bin", bytes(500)}, {"-copy 500", bytes(500)},
            {"my \"target\" \xe9.bin", bytes(800)}, {"empty", ""}, {"dir", "", true}};
}

bool MakeFolder(const testfs::TempDir& dir, const std::vector<Entry>& entries) {
    for (const Entry& entry : entries) {
        std::string path = dir.Path(entry.name);
        bool made = entry.folder ? mkdir(path.c_str(), 0755) == 0
                                 : testfs::WriteWholeFile(path, entry.bytes);
        if (!made) return false;
    }
    return true;
}

// ---- Arguments ----

struct Argument {
    std::string text;
    int entry = -1;  // the entry it names, or -1 for none
};

// Ways to name an entry, all reaching the same file.
std::vector<std::string> Spellings(bool windows, const std::string& name) {
    std::vector<std::string> ways = {name, "./" + name, "dir/../" + name};
    if (windows) ways.push_back("dir\\..\\" + name);
    return ways;
}

// A byte a random name may hold. Under Wine: printable ASCII without the
// quote (re-quoted), the backslash (doubled before a closing quote), and
// the path characters / and : (a name must stay in the folder).
char RandomByte(bool windows, Random& random) {
    if (!windows) return static_cast<char>(1 + random.Below(255));
    for (;;) {
        char c = static_cast<char>(32 + random.Below(95));
        if (c != '"' && c != '\\' && c != '/' && c != ':') return c;
    }
}

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// Whether Windows could take `name` for one of the entries or a device:
// it ignores case and trailing dots and spaces, and reserves device names
// with any extension.
bool WindowsMightResolve(const std::string& name, const std::vector<Entry>& entries) {
    std::string trimmed = Lower(name);
    while (!trimmed.empty() && (trimmed.back() == '.' || trimmed.back() == ' ')) trimmed.pop_back();
    for (const Entry& entry : entries) {
        if (trimmed == Lower(entry.name)) return true;
    }
    std::string base = trimmed.substr(0, trimmed.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    static const char* const kDevices[] = {"con", "prn", "aux", "nul", "conin$", "conout$", "clock$"};
    for (const char* device : kDevices) {
        if (base == device) return true;
    }
    return base.size() == 4 && (base.rfind("com", 0) == 0 || base.rfind("lpt", 0) == 0) &&
           base[3] >= '0' && base[3] <= '9';
}

// Random bytes that name no file: natively nothing but a folder may be
// there (".", "/"), and under Wine nothing Windows could read as an entry.
std::string RandomName(bool windows, std::size_t length, int root,
                       const std::vector<Entry>& entries, Random& random) {
    for (;;) {
        std::string name;
        for (std::size_t i = 0; i < length; ++i) name += RandomByte(windows, random);
        if (windows) {
            if (!WindowsMightResolve(name, entries)) return name;
            continue;
        }
        struct stat st;
        if (fstatat(root, name.c_str(), &st, 0) != 0 || S_ISDIR(st.st_mode)) return name;
    }
}

Argument RandomArgument(bool windows, int root, const std::vector<Entry>& entries, Random& random) {
    std::uint32_t kind = random.Below(100);
    if (kind < 60) {  // an entry, the folder included
        int index = static_cast<int>(random.Below(static_cast<std::uint32_t>(entries.size())));
        const std::string& name = entries[static_cast<std::size_t>(index)].name;
        return {random.Pick(Spellings(windows, name)), index};
    }
    if (kind < 70) return {""};  // skipped as if absent
    if (kind < 78) return {random.Pick(std::vector<std::string>{"none.bin", "src", "dir/none.bin"})};
    if (kind < 95) {
        return {RandomName(windows, 1 + random.Below(24), root, entries, random)};
    }
    // Too long for either platform: refused, even when it would name a file.
    switch (random.Below(3)) {
    case 0:
        return {std::string(kLongName, 'x')};
    case 1: {
        std::string path;
        while (path.size() + 2 + 7 <= kLongName) path += "./";
        return {path + entries[kSource].name};
    }
    default:
        return {RandomName(windows, kLongName, root, entries, random)};
    }
}

// Long arguments shown by their start and length.
std::string Shown(const std::vector<Argument>& args) {
    std::string shown;
    for (const Argument& arg : args) {
        if (!shown.empty()) shown += ' ';
        if (arg.text.size() > 60) {
            shown += Visible(arg.text.substr(0, 40)) + "...(" + std::to_string(arg.text.size()) +
                     " bytes)";
        } else {
            shown += Visible(arg.text);
        }
    }
    return "[" + shown + "]";
}

// ---- The model ----

struct Expected {
    std::string line;
    int source = -1;  // on "Ok": the 500-byte entry
    int target = -1;  // and the entry patched with it
};

// Empty arguments are skipped; a file is refused when it is missing, a
// folder, or the one already open.
Expected Expect(const std::vector<Argument>& args, const std::vector<Entry>& entries) {
    std::vector<const Argument*> given;
    for (const Argument& arg : args) {
        if (!arg.text.empty()) given.push_back(&arg);
    }
    if (given.size() != 2) return {kNeed2};
    auto opens = [&](int entry) {
        return entry >= 0 && !entries[static_cast<std::size_t>(entry)].folder;
    };
    int first = given[0]->entry;
    int second = given[1]->entry;
    if (!opens(first)) return {kCantFind1st};
    if (!opens(second) || second == first) return {kCantFind2nd};
    bool first500 = entries[static_cast<std::size_t>(first)].bytes.size() == 500;
    bool second500 = entries[static_cast<std::size_t>(second)].bytes.size() == 500;
    if (!first500 && !second500) return {kNo500};
    if (first500 && second500) return {kBoth500};
    return first500 ? Expected{kOk, first, second} : Expected{kOk, second, first};
}

std::vector<std::string> Names(const std::vector<Entry>& entries) {
    std::vector<std::string> names;
    for (const Entry& entry : entries) names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    return names;
}

// One run in a fresh folder; failures carry the run's arguments.
// `*line` gets the line expected.
void RunOnce(bool windows, int run, Random& random, std::string* line) {
    testfs::TempDir dir;
    ASSERT_FALSE(dir.path().empty()) << "mkdtemp failed";
    std::vector<Entry> entries = MakeEntries(windows, random);
    ASSERT_TRUE(MakeFolder(dir, entries)) << "could not fill " << dir.path();
    int root = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(root, 0);

    // The lines past the count are the ones worth reaching: two arguments
    // half the time, else 0, 1, 3 or 4; and in a quarter of the runs a
    // source and a target, in either order, between up to two empty ones.
    std::vector<Argument> args;
    if (random.Percent(25)) {
        Argument source{random.Pick(Spellings(windows, entries[kSource].name)), kSource};
        int other = random.Percent(50) ? kTarget : kEmpty;
        Argument target{random.Pick(Spellings(windows, entries[other].name)), other};
        args = random.Percent(50) ? std::vector<Argument>{source, target}
                                  : std::vector<Argument>{target, source};
        for (std::uint32_t n = random.Below(3); n > 0; --n) {
            args.insert(args.begin() + random.Below(static_cast<std::uint32_t>(args.size()) + 1),
                        Argument{""});
        }
    } else {
        static const std::uint32_t kOtherCounts[] = {0, 1, 3, 4};
        std::uint32_t count = random.Percent(50) ? 2 : kOtherCounts[random.Below(4)];
        for (std::uint32_t n = count; n > 0; --n) {
            args.push_back(RandomArgument(windows, root, entries, random));
        }
    }
    close(root);
    std::vector<std::string> argv;
    for (const Argument& arg : args) argv.push_back(arg.text);
    const Expected expected = Expect(args, entries);
    *line = expected.line;
    SCOPED_TRACE("run " + std::to_string(run) + ": " + Shown(args));

    e2e::RunOptions options;
    options.workDir = dir.path();
    e2e::RunResult result = e2e::Run(windows, "patch500", argv, options);

    ASSERT_EQ(result.failure, "");
    ASSERT_TRUE(result.exited) << e2e::Describe(result) << "\nstderr: " << Visible(result.err);
    EXPECT_EQ(result.exitCode, 0) << "stdout: " << Visible(result.out);
    EXPECT_NE(std::find(std::begin(kLines), std::end(kLines), result.out), std::end(kLines))
        << "not a line of patch500: " << Visible(result.out);
    EXPECT_EQ(Visible(result.out), Visible(expected.line));

    // Nothing made or removed; every file as it was but the target of "Ok".
    std::vector<std::string> found;
    for (const auto& item : std::filesystem::recursive_directory_iterator(dir.path())) {
        found.push_back(std::filesystem::relative(item.path(), dir.path()).string());
    }
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, Names(entries));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& entry = entries[i];
        if (entry.folder) continue;
        std::string now = testfs::ReadWholeFile(dir.Path(entry.name));
        std::string before = entry.bytes;
        if (static_cast<int>(i) == expected.target) {
            const std::string& source = entries[static_cast<std::size_t>(expected.source)].bytes;
            EXPECT_EQ(now.substr(0, 500), source) << Visible(entry.name) << ": not the source";
            before = source + (before.size() > 500 ? before.substr(500) : "");
        }
        EXPECT_TRUE(now == before) << Visible(entry.name) << " changed: " << now.size()
                                   << " bytes, was " << entry.bytes.size();
    }
}

void RunMany(bool windows, int runs) {
    const std::uint32_t seed = Seed();
    std::printf("random arguments: seed %u, %d runs (P5_RANDOM_SEED=N replaces the seed)\n", seed,
                runs);
    testing::Test::RecordProperty("seed", std::to_string(seed));
    Random random(seed);
    int tally[std::size(kLines)] = {};
    const auto start = std::chrono::steady_clock::now();
    for (int run = 0; run < runs; ++run) {
        std::string line;
        RunOnce(windows, run, random, &line);
        if (testing::Test::HasFailure()) return;  // one failing run says it all
        ++tally[std::find(std::begin(kLines), std::end(kLines), line) - std::begin(kLines)];
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::printf("random arguments: %d runs passed in %lld ms;", runs,
                static_cast<long long>(elapsed.count()));
    for (std::size_t i = 0; i < std::size(kLines); ++i) {
        std::printf(" %d %s", tally[i], Visible(kLines[i]).c_str());
    }
    std::printf("\n");
}

TEST(RandomArgumentsNative, EndWithTheLineTheArgumentsCallFor) { RunMany(false, kNativeRuns); }
TEST(RandomArgumentsWindows, EndWithTheLineTheArgumentsCallFor) { RunMany(true, kWindowsRuns); }

}  // namespace
}  // namespace e2e
