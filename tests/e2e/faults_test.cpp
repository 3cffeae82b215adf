// Faults on patch500's way, and how each one ends:
//  - every OS call made to fail in turn, or come back short, through
//    patch500_inject (tests/inject/os_inject.cpp);
//  - rival runs on one target, and a target replaced between runs,
//    natively and under Wine;
//  - memcheck over a few ordinary runs.
// Test names containing "Windows" need Wine; "Memcheck" ones need valgrind.
#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "programs.h"
#include "run_program.h"
#include "tests/common/files.h"

namespace e2e {
namespace {

using testfs::ErrnoText;
using testfs::ReadWholeFile;
using testfs::WriteWholeFile;

// ---- Contents and files ----

// Where two byte strings first differ, for failure messages.
std::string Difference(const std::string& expected, const std::string& actual) {
    if (expected == actual) return "same";
    std::size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
    return "differ from offset " + std::to_string(at) + " (expected " +
           std::to_string(expected.size()) + " bytes, found " + std::to_string(actual.size()) + ")";
}

#define EXPECT_BYTES(expected, actual) \
    EXPECT_TRUE((expected) == (actual)) << #actual << ": " << Difference(expected, actual)

// Linux keeps eight bits of an exit status; the program clamps to 255.
int NativeStatus(std::uint32_t number) { return number > 255 ? 255 : static_cast<int>(number); }

// Names never mangled by a shell or Wine; the folder holds nothing else.
const std::string kSourceName = "src.bin";
const std::string kTargetName = "tgt.bin";

std::vector<std::string> PatchArgs(bool sourceFirst) {
    return sourceFirst ? std::vector<std::string>{kSourceName, kTargetName}
                       : std::vector<std::string>{kTargetName, kSourceName};
}

const char* OrderName(bool sourceFirst) { return sourceFirst ? "source first" : "target first"; }

const char* ModeName(StdoutMode mode) {
    switch (mode) {
    case StdoutMode::Pipe: return "pipe";
    case StdoutMode::File: return "file";
    case StdoutMode::Terminal: return "terminal";
    case StdoutMode::DevFull: return "/dev/full";
    case StdoutMode::Closed: return "closed";
    case StdoutMode::AppendToFile: return "appended";
    case StdoutMode::ReadWriteFile: return "read-write";
    case StdoutMode::FullNonBlockingPipe: return "full non-blocking pipe";
    case StdoutMode::BrokenPipe: return "broken pipe";
    }
    return "?";
}

// =====================================================================
// Every OS call, and every system call beneath, failing in turn
// (patch500_inject)
// =====================================================================

constexpr std::uint32_t kEio = 5;
constexpr std::uint32_t kLargeCode = 1000;  // reported whole; exits 255 natively

// How a run ends when the call of a row fails or comes back short.
enum class Ends {
    Unharmed,     // as if nothing had failed: the flow's own line, exit 0
    CantFind1st,  // the refusal of its position, exit 0
    CantFind2nd,
    OutOfMemory,  // run-time error 203
    Reported,     // run-time error numbered with the injected code
    ShortRead,    // run-time error 100
    ShortWrite,   // run-time error 101
    LineLost,     // nothing on standard output, the failed write's code as exit status
    LineCut,      // the line less its last byte, and a short write's 101 as exit status
    OpenRetried,  // one failed open of standard output: the line's text is lost
                  // (105), the line end opens it anew and goes out, then the report
    NoStdout,     // standard output taken as closed: run-time error 103, no line
};

enum class TargetAfter { Untouched, Patched, First499Patched };

// One call of a flow, by name and ordinal among calls of that name
// (0: any ordinal), and what its failure leads to. A flush is checked with
// the close of the target, and reports that close's site.
struct Point {
    const char* call;
    int ordinal;
    Ends ends;
    TargetAfter target;
    bool atTargetClose = false;
};

struct Flow {
    const char* name;
    const char* sites;  // flows with the same code path share error sites
    std::vector<std::string> args;
    std::string line;               // what it prints when nothing fails
    int targetClose;                // the ordinal of the target's close
    TargetAfter target;             // and the target afterwards
    std::vector<Point> failing;     // every call the flow makes
    std::vector<Point> shortened;   // every Read and Write
    std::vector<Point> system;      // every system call beneath them
};

// The patch itself, in either order. The heap's calls may or may not come
// up (small strings need no memory from the system); when they do, they
// come before the opens.
const std::vector<Point> kPatchFailing = {
    {"Reserve", 0, Ends::OutOfMemory, TargetAfter::Untouched},
    {"Commit", 0, Ends::OutOfMemory, TargetAfter::Untouched},
    {"OpenExisting", 1, Ends::CantFind1st, TargetAfter::Untouched},
    {"OpenExisting", 2, Ends::CantFind2nd, TargetAfter::Untouched},
    {"FileSize", 1, Ends::Reported, TargetAfter::Untouched},
    {"FileSize", 2, Ends::Reported, TargetAfter::Untouched},
    {"Read", 1, Ends::Reported, TargetAfter::Untouched},   // the source
    {"Write", 1, Ends::Reported, TargetAfter::Untouched},  // the target: nothing reached it
    {"FlushToDisk", 1, Ends::Reported, TargetAfter::Patched, true},
    {"Close", 1, Ends::Reported, TargetAfter::Patched},
    {"Close", 2, Ends::Reported, TargetAfter::Patched},
    // Opening standard output for "Ok", after both files were closed.
    {"GetStdHandle", 1, Ends::OpenRetried, TargetAfter::Patched},
    // "Ok" goes out at termination: lost, it is the run's exit status.
    {"Write", 2, Ends::LineLost, TargetAfter::Patched},
    {"Release", 0, Ends::Unharmed, TargetAfter::Patched},  // at termination: ignored
};

const std::vector<Point> kPatchShortened = {
    {"Read", 1, Ends::ShortRead, TargetAfter::Untouched},
    {"Write", 1, Ends::ShortWrite, TargetAfter::First499Patched},
    {"Write", 2, Ends::LineCut, TargetAfter::Patched},
};

// A first name far too long for a path: it takes a string larger than the
// heap holds without asking the system, so the memory calls come up, and
// the name is refused without an open.
const std::string kOverlongName(70000, 'n');

const std::vector<Point> kOverlongFailing = {
    {"Reserve", 0, Ends::OutOfMemory, TargetAfter::Untouched},
    {"Commit", 0, Ends::OutOfMemory, TargetAfter::Untouched},
    {"GetStdHandle", 1, Ends::OpenRetried, TargetAfter::Untouched},
    {"Write", 1, Ends::LineLost, TargetAfter::Untouched},
    {"Release", 0, Ends::Unharmed, TargetAfter::Untouched},
};

const std::vector<Point> kOverlongShortened = {
    {"Write", 1, Ends::LineCut, TargetAfter::Untouched},
};

// The system calls beneath. Start-up goes on without a signal setting it
// could not make; a failed lease falls back to flock; standard output whose
// type cannot be asked counts as closed.
const std::vector<Point> kStartUpSystemCalls = {
    {"Sigprocmask", 1, Ends::Unharmed, TargetAfter::Patched},
    {"Sigaltstack", 1, Ends::Unharmed, TargetAfter::Patched},
    {"Sigaction", 0, Ends::Unharmed, TargetAfter::Patched},
};

std::vector<Point> WithStartUp(std::vector<Point> points, TargetAfter unharmed) {
    for (Point point : kStartUpSystemCalls) {
        point.target = unharmed;
        points.push_back(point);
    }
    return points;
}

const std::vector<Point> kPatchSystem = WithStartUp(
    {
        {"Open", 1, Ends::CantFind1st, TargetAfter::Untouched},
        {"Fstat", 1, Ends::CantFind1st, TargetAfter::Untouched},
        {"Fcntl", 1, Ends::Unharmed, TargetAfter::Patched},  // the lease
        {"Open", 2, Ends::CantFind2nd, TargetAfter::Untouched},
        {"Fstat", 2, Ends::CantFind2nd, TargetAfter::Untouched},
        {"Fcntl", 2, Ends::Unharmed, TargetAfter::Patched},
        {"Read", 1, Ends::Reported, TargetAfter::Untouched},
        {"Write", 1, Ends::Reported, TargetAfter::Untouched},
        {"Fdatasync", 1, Ends::Reported, TargetAfter::Patched, true},
        {"Close", 1, Ends::Reported, TargetAfter::Patched},
        {"Close", 2, Ends::Reported, TargetAfter::Patched},
        {"Fstat", 3, Ends::NoStdout, TargetAfter::Patched},  // standard output's type
        {"Write", 2, Ends::LineLost, TargetAfter::Patched},
    },
    TargetAfter::Patched);

const std::vector<Point> kOverlongSystem = WithStartUp(
    {
        {"Mmap", 1, Ends::OutOfMemory, TargetAfter::Untouched},
        {"Fcntl", 1, Ends::Unharmed, TargetAfter::Untouched},  // is standard output open?
        {"Fstat", 1, Ends::NoStdout, TargetAfter::Untouched},
        {"Write", 1, Ends::LineLost, TargetAfter::Untouched},
        {"Munmap", 1, Ends::Unharmed, TargetAfter::Untouched},
    },
    TargetAfter::Untouched);

const Flow kFlows[] = {
    {"source_first", "patch", PatchArgs(true), kOk, 2, TargetAfter::Patched, kPatchFailing,
     kPatchShortened, kPatchSystem},
    {"target_first", "patch", PatchArgs(false), kOk, 1, TargetAfter::Patched, kPatchFailing,
     kPatchShortened, kPatchSystem},
    {"overlong_first_name", "overlong", {kOverlongName, kTargetName}, kCantFind1st, 0,
     TargetAfter::Untouched, kOverlongFailing, kOverlongShortened, kOverlongSystem},
};

// What the shim said it spoiled; empty call: nothing.
struct Injected {
    std::string call;
    int ordinal = 0;
};

// "injected: Write #2" or "injected: Write #2 short"; anything else on
// standard error is a failure.
Injected ParseInjected(const std::string& err) {
    Injected injected;
    if (err.empty()) return injected;
    char call[32] = {};
    int ordinal = 0;
    char tail[16] = {};
    int fields = std::sscanf(err.c_str(), "injected: %31s #%d%15[^\n]", call, &ordinal, tail);
    std::string expected = "injected: " + std::string(call) + " #" + std::to_string(ordinal) +
                           std::string(tail) + "\n";
    EXPECT_TRUE(fields >= 2 && err == expected) << "standard error: " << Visible(err);
    injected.call = call;
    injected.ordinal = ordinal;
    return injected;
}

const Point* FindPoint(const std::vector<Point>& points, const Injected& injected) {
    for (const Point& point : points) {
        if (injected.call == point.call && (point.ordinal == 0 || point.ordinal == injected.ordinal)) {
            return &point;
        }
    }
    return nullptr;
}

// One sweep: the kind of spoiling, and the run's settings.
struct Sweep {
    const Flow* flow;
    StdoutMode out;
    std::uint32_t code = 0;       // failing calls with this code, or
    const char* shortCall = nullptr;  // this call moving one byte fewer
    bool system = false;              // the system calls beneath instead
};

std::string SweepName(const Sweep& sweep) {
    if (sweep.shortCall != nullptr) return std::string("short ") + sweep.shortCall;
    return (sweep.system ? "system, code " : "code ") + std::to_string(sweep.code);
}

struct Observed {
    RunResult result;
    Injected injected;
    std::string source;
    std::string target;
    std::vector<std::string> entries;
};

Observed RunInjected(const Sweep& sweep, int at) {
    Observed seen;
    testfs::TempDir dir;
    EXPECT_FALSE(dir.path().empty());
    EXPECT_TRUE(WriteWholeFile(dir.Path(kSourceName), kSource));
    EXPECT_TRUE(WriteWholeFile(dir.Path(kTargetName), k800));
    RunOptions options;
    options.workDir = dir.path();
    options.out = sweep.out;
    options.timeout = std::chrono::seconds(20);
    options.setEnv = {"P5_INJECT_AT=" + std::to_string(at)};
    if (sweep.shortCall != nullptr) {
        options.setEnv.push_back(std::string("P5_INJECT_CALL=") + sweep.shortCall);
        options.setEnv.push_back("P5_INJECT_SHORT=1");
    } else {
        options.setEnv.push_back("P5_INJECT_CODE=" + std::to_string(sweep.code));
    }
    if (sweep.system) options.setEnv.push_back("P5_INJECT_LAYER=system");
    seen.result = e2e::Run(false, "patch500_inject", sweep.flow->args, options);
    seen.injected = ParseInjected(seen.result.err);
    seen.source = ReadWholeFile(dir.Path(kSourceName));
    seen.target = ReadWholeFile(dir.Path(kTargetName));
    seen.entries = dir.Entries();
    return seen;
}

std::string TargetBytes(TargetAfter target) {
    switch (target) {
    case TargetAfter::Untouched: return k800;
    case TargetAfter::Patched: return Patched(k800);
    case TargetAfter::First499Patched: return Over(k800, kSource.substr(0, 499));
    }
    return {};
}

// Standard output and exit status a point must end with.
struct Ending {
    std::string out;  // pattern
    int status;
};

Ending EndingOf(Ends ends, const Sweep& sweep) {
    switch (ends) {
    case Ends::Unharmed: return {sweep.flow->line, 0};
    case Ends::CantFind1st: return {kCantFind1st, 0};
    case Ends::CantFind2nd: return {kCantFind2nd, 0};
    case Ends::OutOfMemory: return {ReportLine(203), 203};
    case Ends::Reported: return {ReportLine(sweep.code), NativeStatus(sweep.code)};
    case Ends::ShortRead: return {ReportLine(100), 100};
    case Ends::ShortWrite: return {ReportLine(101), 101};
    case Ends::LineLost: return {"", NativeStatus(sweep.code)};
    case Ends::LineCut: return {sweep.flow->line.substr(0, sweep.flow->line.size() - 1), 101};
    case Ends::OpenRetried: return {"\r\n" + ReportLine(105), 105};
    case Ends::NoStdout: return {"", 103};
    }
    return {};
}

// Error site of each point seen so far. The same call reports the same
// address whatever the order, code, standard output or kind of failure;
// two calls checked apart never share one, so a missing check shows as its
// call reported at the next check's address. (The memory calls share the
// site of the allocation they serve.)
struct SiteMap {
    std::map<std::string, std::string> siteOf;  // by call
    std::map<std::string, std::string> callAt;  // by site
};

void ExpectOwnSite(SiteMap& sites, const std::string& call, Ends ends, const std::string& out) {
    std::size_t report = out.find("Runtime error");
    std::size_t at = out.find(" at ", report);
    if (report == std::string::npos || at == std::string::npos || ends == Ends::OutOfMemory) return;
    std::string site = out.substr(at + 4);
    auto [entry, fresh] = sites.siteOf.emplace(call, site);
    EXPECT_TRUE(fresh || entry->second == site)
        << call << " reported at " << Visible(site) << ", before at " << Visible(entry->second);
    auto [other, first] = sites.callAt.emplace(site, call);
    EXPECT_TRUE(first || other->second == call)
        << call << " reported at the site of " << other->second << ": " << Visible(site);
}

// Runs N = 1, 2, ... until a run is left alone; each spoiled call must end
// as its point says. Returns the points covered.
int RunSweep(const Sweep& sweep, SiteMap& sites) {
    const std::vector<Point>& points = sweep.system                ? sweep.flow->system
                                       : sweep.shortCall != nullptr ? sweep.flow->shortened
                                                                    : sweep.flow->failing;
    constexpr int kMostPoints = 64;  // far above any flow: a bound, not a guess
    int covered = 0;
    for (int at = 1; at <= kMostPoints; ++at) {
        SCOPED_TRACE(std::string(sweep.flow->name) + ", stdout " + ModeName(sweep.out) + ", " +
                     SweepName(sweep) + ", N=" + std::to_string(at));
        Observed seen = RunInjected(sweep, at);
        const RunResult& result = seen.result;
        // Never a crash or a hang, whatever failed.
        if (!result.exited) {
            ADD_FAILURE() << e2e::Describe(result) << "\nstdout " << Visible(result.out)
                          << "\nstderr " << Visible(result.err);
            return covered;
        }
        EXPECT_BYTES(kSource, seen.source);
        EXPECT_EQ(std::set<std::string>(seen.entries.begin(), seen.entries.end()),
                  (std::set<std::string>{kSourceName, kTargetName}));

        if (seen.injected.call.empty()) {
            // Past the last call: the flow as it is without faults.
            EXPECT_EQ(result.exitCode, 0);
            EXPECT_EQ(result.out, sweep.flow->line);
            EXPECT_BYTES(TargetBytes(sweep.flow->target), seen.target);
            return covered;
        }
        ++covered;
        const Point* point = FindPoint(points, seen.injected);
        if (point == nullptr) {
            ADD_FAILURE() << "no row for " << seen.injected.call << " #" << seen.injected.ordinal
                          << "; it ended " << e2e::Describe(result) << " with "
                          << Visible(result.out);
            continue;
        }
        SCOPED_TRACE(seen.injected.call + " #" + std::to_string(seen.injected.ordinal));
        EXPECT_BYTES(TargetBytes(point->target), seen.target);
        Ending ending = EndingOf(point->ends, sweep);
        EXPECT_EQ(result.exitCode, ending.status);
        EXPECT_MATCHES(ending.out, result.out);
        std::string call = point->atTargetClose ? "Close #" + std::to_string(sweep.flow->targetClose)
                                                : seen.injected.call + " #" +
                                                      std::to_string(seen.injected.ordinal);
        ExpectOwnSite(sites, std::string(sweep.flow->sites) + " " + call, point->ends, result.out);
    }
    ADD_FAILURE() << "still injecting after " << kMostPoints << " calls";
    return covered;
}

std::vector<Sweep> AllSweeps() {
    std::vector<Sweep> sweeps;
    for (const Flow& flow : kFlows) {
        for (StdoutMode out : {StdoutMode::Pipe, StdoutMode::File}) {
            for (std::uint32_t code : {kEio, kLargeCode}) sweeps.push_back({&flow, out, code});
            for (const char* call : {"Read", "Write"}) sweeps.push_back({&flow, out, 0, call});
        }
        sweeps.push_back({&flow, StdoutMode::Pipe, kEio, nullptr, true});
    }
    return sweeps;
}

// The system calls strace sees in a plain run of patch500 on the flow, less
// those no sweep can reach: execve (the kernel's, before the program),
// arch_prctl (start-up setting the thread pointer, before the call table
// exists) and exit_group (the end, which cannot fail). -1, and why, where
// strace cannot tell: not installed, not permitted, or a run that is not
// the program's alone (a C library's or a sanitizer's start-up, an emulator).
int StraceCount(const Flow& flow, std::string* why) {
#if !defined(P5_OWN_START)
    *why = "the program starts with a C library or a sanitizer";
    return -1;
#endif
    testfs::TempDir dir;
    EXPECT_TRUE(WriteWholeFile(dir.Path(kSourceName), kSource));
    EXPECT_TRUE(WriteWholeFile(dir.Path(kTargetName), k800));
    RunOptions options;
    options.workDir = dir.path();
    std::vector<std::string> command = {"strace", "-qq", "-o", dir.Path("trace"),
                                        e2e::ProgramPath(false, "patch500")};
    command.insert(command.end(), flow.args.begin(), flow.args.end());
    RunResult result = e2e::RunProgram(command, options);
    std::string trace = ReadWholeFile(dir.Path("trace"));
    if (!result.exited || result.out != flow.line || trace.empty()) {
        *why = "strace did not run it: " + e2e::Describe(result) + " " + Visible(result.err);
        return -1;
    }
    int count = 0;  // a line per call: "name(arguments) = result"
    for (std::size_t at = 0, end = 0; at < trace.size(); at = end + 1) {
        end = std::min(trace.find('\n', at), trace.size());
        std::string call = trace.substr(at, trace.find('(', at) - at);
        count += call != "execve" && call != "arch_prctl" && call != "exit_group";
    }
    return count;
}

TEST(FaultInjection, EveryOsCallFailureEndsAsDesigned) {
    SiteMap sites;
    int total = 0;
    std::string summary;
    for (const Sweep& sweep : AllSweeps()) {
        int covered = RunSweep(sweep, sites);
        total += covered;
        char line[160];
        std::snprintf(line, sizeof line, "  %-20s stdout %-4s  %-18s %2d injection points\n",
                      sweep.flow->name, ModeName(sweep.out), SweepName(sweep).c_str(), covered);
        summary += line;
        if (!sweep.system) continue;
        // Every system call of a plain run was failed once.
        std::string why;
        int seen = StraceCount(*sweep.flow, &why);
        if (seen >= 0) {
            EXPECT_EQ(covered, seen) << sweep.flow->name << ": strace saw " << seen;
        }
        summary += seen >= 0 ? "    = the system calls strace sees in a plain run, less execve, "
                               "arch_prctl and exit_group: " + std::to_string(seen) + "\n"
                             : "    not compared with strace: " + why + "\n";
    }
    std::printf("injection points covered:\n%s  total %d runs with an injection\n",
                summary.c_str(), total);
    RecordProperty("injection_points", total);
}

// =====================================================================
// "Ok" only once the patch is on stable storage: the calls of a plain run
// in order, natively from strace, under Wine from its relay log
// =====================================================================

// The index of the first call in `calls` from `from` on that starts with
// `prefix` and contains `part`; calls.size() when there is none.
std::size_t Find(const std::vector<std::string>& calls, std::size_t from, const std::string& prefix,
                 const std::string& part = "") {
    for (std::size_t i = from; i < calls.size(); ++i) {
        if (calls[i].starts_with(prefix) && calls[i].find(part) != std::string::npos) return i;
    }
    return calls.size();
}

// The same for a call whose first argument is `handle`.
std::size_t FindOn(const std::vector<std::string>& calls, std::size_t from, const std::string& name,
                   const std::string& handle) {
    for (std::size_t i = from; i < calls.size(); ++i) {
        i = Find(calls, i, name + handle);
        if (i < calls.size() && std::string(",)").find(calls[i][name.size() + handle.size()]) !=
                                    std::string::npos) {
            return i;
        }
    }
    return calls.size();
}

std::size_t CountOf(const std::vector<std::string>& calls, const std::string& prefix) {
    return static_cast<std::size_t>(std::count_if(calls.begin(), calls.end(), [&](const auto& c) {
        return c.starts_with(prefix);
    }));
}

std::vector<std::string> LinesOf(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0, end = 0; at < text.size(); at = end + 1) {
        end = std::min(text.find('\n', at), text.size());
        lines.push_back(text.substr(at, end - at));
    }
    return lines;
}

// The target's one write, then its flush (the source is never flushed),
// then its close and the line: `handle` names the target in the calls.
void ExpectFlushedBeforeCloseAndLine(const std::vector<std::string>& calls, const char* write,
                                     const std::string& handle, const char* flush,
                                     const char* close, const std::string& line) {
    std::size_t written = FindOn(calls, 0, write, handle);
    std::size_t flushed = FindOn(calls, written, flush, handle);
    EXPECT_EQ(CountOf(calls, flush), 1u);
    EXPECT_LT(written, flushed) << "no flush after the target's write";
    EXPECT_LT(flushed, FindOn(calls, flushed, close, handle)) << "no close after the flush";
    EXPECT_LT(flushed, Find(calls, flushed, line)) << "no line after the flush";
    EXPECT_EQ(Find(calls, 0, line), Find(calls, flushed, line)) << "the line came first";
}

TEST(DurableNative, TargetIsFlushedBeforeItsCloseAndTheLine) {
    if (std::string(P5_EMULATOR) != "") GTEST_SKIP() << "strace would trace the emulator";
    testfs::TempDir dir;
    ASSERT_TRUE(WriteWholeFile(dir.Path(kSourceName), kSource));
    ASSERT_TRUE(WriteWholeFile(dir.Path(kTargetName), k800));
    RunOptions options;
    options.workDir = dir.path();
    std::vector<std::string> command = {"strace", "-qq", "-o", dir.Path("trace"),
                                        "-e", "trace=write,fsync,fdatasync,close",
                                        e2e::ProgramPath(false, "patch500"), kSourceName,
                                        kTargetName};
    RunResult result = e2e::RunProgram(command, options);
    std::vector<std::string> calls = LinesOf(ReadWholeFile(dir.Path("trace")));
    if (!result.exited || result.exitCode != 0 || calls.empty()) {
        GTEST_SKIP() << "strace did not run it: " << e2e::Describe(result) << " "
                     << Visible(result.err);
    }
    EXPECT_EQ(result.out, kOk);
    EXPECT_EQ(CountOf(calls, "fsync("), 0u);
    std::size_t write = Find(calls, 0, "write(", ", 500) = 500");
    ASSERT_LT(write, calls.size()) << "no write of 500 bytes";
    std::string fd = calls[write].substr(6, calls[write].find(',') - 6);
    ExpectFlushedBeforeCloseAndLine(calls, "write(", fd, "fdatasync(", "close(",
                                    "write(1, \"Ok\\r\\n\", 4)");
    EXPECT_EQ(ReadWholeFile(dir.Path(kTargetName)), Patched(k800));
}

// Wine's relay log: every call of every process and thread; the program's
// own are the kernel32 calls of the thread that opens src.bin, made from
// its image (return addresses as that open's, less the last four digits).
TEST(DurableWindows, TargetIsFlushedBeforeItsCloseAndTheLine) {
    testfs::TempDir dir;
    ASSERT_TRUE(WriteWholeFile(dir.Path(kSourceName), kSource));
    ASSERT_TRUE(WriteWholeFile(dir.Path(kTargetName), k800));
    RunOptions options;
    options.workDir = dir.path();
    options.setEnv = {"WINEDEBUG=+relay"};
    RunResult result = e2e::Run(true, "patch500", {kSourceName, kTargetName}, options);
    ASSERT_TRUE(result.exited) << e2e::Describe(result);
    EXPECT_EQ(result.out, kOk);
    std::vector<std::string> relay = LinesOf(result.err);
    std::size_t first = Find(relay, 0, "", "Call KERNEL32.CreateFileW(");
    while (first < relay.size() && relay[first].find("L\"src.bin\"") == std::string::npos) {
        first = Find(relay, first + 1, "", "Call KERNEL32.CreateFileW(");
    }
    ASSERT_LT(first, relay.size()) << "no relay log";
    std::string thread = relay[first].substr(0, relay[first].find(':') + 1) + "Call KERNEL32.";
    std::string ret = relay[first].substr(relay[first].find(" ret="));
    ret.resize(ret.size() - 4);
    std::vector<std::string> calls;
    for (const std::string& line : relay) {
        std::size_t at = line.find(" ret=");
        if (line.starts_with(thread) && at != std::string::npos && line.size() - at == ret.size() + 4 &&
            line.compare(at, ret.size(), ret) == 0) {
            calls.push_back(line.substr(thread.size()));
        }
    }
    std::size_t write = Find(calls, 0, "WriteFile(", ",000001f4,");
    ASSERT_LT(write, calls.size()) << "no write of 500 bytes";
    std::string handle = calls[write].substr(10, 8);
    ExpectFlushedBeforeCloseAndLine(calls, "WriteFile(", handle, "FlushFileBuffers(",
                                    "CloseHandle(", ",00000004,");
    EXPECT_EQ(ReadWholeFile(dir.Path(kTargetName)), Patched(k800));
}

// =====================================================================
// Other runs on the same files (the other faults from outside are rows
// of patch_test.cpp)
// =====================================================================

// ---- Rival runs on one target ----

constexpr int kRivals = 16;
const std::string kReady = "ready\n";

std::string RivalSource(int i) { return Bytes(500, 100 + static_cast<std::uint32_t>(i)); }
std::string RivalName(int i) { return "src" + std::to_string(i) + ".bin"; }

// patch500 with `args`, natively or under Wine.
std::vector<std::string> PatchCommand(bool windows, const std::vector<std::string>& args) {
    if (windows) return e2e::WineCommand(e2e::ProgramPath(true, "patch500"), args);
    return e2e::NativeCommand("patch500", args);
}

// Starts all runs held at a gate (a shell that says "ready" and waits on
// its standard input), opens every gate once all are waiting, then waits
// for all. Returns how many printed "Ok".
int Burst(bool windows, bool sourceFirst) {
    testfs::TempDir dir;
    EXPECT_FALSE(dir.path().empty());
    EXPECT_TRUE(WriteWholeFile(dir.Path(kTargetName), k800));
    for (int i = 0; i < kRivals; ++i) {
        EXPECT_TRUE(WriteWholeFile(dir.Path(RivalName(i)), RivalSource(i)));
    }

    RunOptions options;
    options.workDir = dir.path();
    options.timeout = std::chrono::seconds(windows ? 120 : 30);
    std::vector<std::unique_ptr<e2e::BackgroundProgram>> runs;
    for (int i = 0; i < kRivals; ++i) {
        std::vector<std::string> command = {"sh", "-c", "echo ready; read -r gate; exec \"$@\"",
                                            "sh"};
        std::vector<std::string> program =
            PatchCommand(windows, sourceFirst ? std::vector<std::string>{RivalName(i), kTargetName}
                                            : std::vector<std::string>{kTargetName, RivalName(i)});
        command.insert(command.end(), program.begin(), program.end());
        runs.push_back(std::make_unique<e2e::BackgroundProgram>(command, options));
        EXPECT_EQ(runs.back()->failure(), "");
    }
    for (auto& run : runs) EXPECT_TRUE(run->WaitForOutput(kReady, std::chrono::seconds(20)));
    for (auto& run : runs) run->CloseInput();

    const std::string& refusal = sourceFirst ? kCantFind2nd : kCantFind1st;
    int ok = 0;
    std::set<std::string> patchedBy;  // sources of the runs that said Ok
    for (int i = 0; i < kRivals; ++i) {
        RunResult result = runs[static_cast<std::size_t>(i)]->Stop();
        SCOPED_TRACE("run " + std::to_string(i));
        if (result.out.rfind(kReady, 0) == 0) result.out.erase(0, kReady.size());
        EXPECT_TRUE(result.exited && result.exitCode == 0) << e2e::Describe(result);
        EXPECT_TRUE(result.out == kOk || result.out == refusal) << Visible(result.out);
        if (result.out == kOk) {
            ++ok;
            patchedBy.insert(RivalSource(i));
        }
        EXPECT_BYTES(RivalSource(i), ReadWholeFile(dir.Path(RivalName(i))));
    }
    EXPECT_GE(ok, 1);
    std::string target = ReadWholeFile(dir.Path(kTargetName));
    EXPECT_EQ(target.size(), k800.size());
    EXPECT_TRUE(patchedBy.count(target.substr(0, 500)) == 1)
        << "the target's first 500 bytes are no source of a run that said Ok";
    EXPECT_BYTES(k800.substr(500), target.substr(500));
    EXPECT_EQ(dir.Entries().size(), static_cast<std::size_t>(kRivals + 1));
    return ok;
}

void RunBursts(bool windows, int bursts) {
    std::string counts;
    for (int b = 0; b < bursts; ++b) {
        bool sourceFirst = b % 2 == 0;
        SCOPED_TRACE(std::string("burst ") + std::to_string(b + 1) + ", " + OrderName(sourceFirst));
        int ok = Burst(windows, sourceFirst);
        std::printf("burst %d (%s): %d Ok of %d\n", b + 1, OrderName(sourceFirst), ok, kRivals);
        counts += (counts.empty() ? "" : ",") + std::to_string(ok);
    }
    testing::Test::RecordProperty("ok_per_burst", counts);
}

TEST(RivalRunsNative, SixteenAtOnceLeaveTheTargetWithExactlyOneSource) { RunBursts(false, 6); }
TEST(RivalRunsWindows, SixteenAtOnceLeaveTheTargetWithExactlyOneSource) { RunBursts(true, 2); }

// ---- A target replaced between runs ----

// Each run patches the file that is at the path when it opens it; the
// file replaced keeps what the earlier run wrote.
void ReplaceBetweenRuns(bool windows) {
    testfs::TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string first = RivalSource(1), second = RivalSource(2), newer = Bytes(900, 23);
    ASSERT_TRUE(WriteWholeFile(dir.Path("a.bin"), first));
    ASSERT_TRUE(WriteWholeFile(dir.Path("b.bin"), second));
    ASSERT_TRUE(WriteWholeFile(dir.Path(kTargetName), k800));
    RunOptions options;
    options.workDir = dir.path();

    RunResult one = e2e::Run(windows, "patch500", {"a.bin", kTargetName}, options);
    ASSERT_TRUE(one.exited) << e2e::Describe(one);
    EXPECT_EQ(one.out, kOk);

    // Keep the first file reachable, then put a new one at its path.
    testfs::Fd replaced(open(dir.Path(kTargetName).c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_GE(replaced.get(), 0) << ErrnoText("open");
    ASSERT_TRUE(WriteWholeFile(dir.Path("new.bin"), newer));
    ASSERT_EQ(rename(dir.Path("new.bin").c_str(), dir.Path(kTargetName).c_str()), 0)
        << ErrnoText("rename");

    RunResult two = e2e::Run(windows, "patch500", {kTargetName, "b.bin"}, options);
    std::string old = testfs::ReadAll(replaced.get());
    replaced.Reset();
    ASSERT_TRUE(two.exited) << e2e::Describe(two);
    EXPECT_EQ(two.out, kOk);
    EXPECT_EQ(two.exitCode, 0);

    EXPECT_BYTES(Over(k800, first), old);
    EXPECT_BYTES(Over(newer, second), ReadWholeFile(dir.Path(kTargetName)));
    EXPECT_BYTES(first, ReadWholeFile(dir.Path("a.bin")));
    EXPECT_BYTES(second, ReadWholeFile(dir.Path("b.bin")));
    EXPECT_EQ(dir.Entries().size(), 3u);
}

TEST(ReplacedTargetNative, EachRunPatchesTheFileThenAtThePath) { ReplaceBetweenRuns(false); }
TEST(ReplacedTargetWindows, EachRunPatchesTheFileThenAtThePath) { ReplaceBetweenRuns(true); }

// =====================================================================
// Memcheck over ordinary runs (patch500_memcheck: the release program
// whose heap tells memcheck of its blocks)
// =====================================================================

// A refusal or a run-time error ends the program inside its block, where
// the argument it holds is left to termination: n + 9 bytes for an n-byte
// argument. An Ok run, and one that fetched no argument, leave nothing.
std::string HeldArgument(const std::string& argument) {
    return std::to_string(argument.size() + 9) + " bytes in 1 blocks";
}

struct MemcheckRow {
    const char* name;
    std::vector<std::string> args;
    std::string source = kSource;
    std::string target = k800;
    StdoutMode out = StdoutMode::Pipe;
    std::optional<std::uint64_t> fileSizeLimit = std::nullopt;
    std::string expected;
    int status = 0;
    std::string inUse = "0 bytes in 0 blocks";
};

void PrintTo(const MemcheckRow& row, std::ostream* out) { *out << row.name; }

const MemcheckRow kMemcheckRows[] = {
    {.name = "ok_800_byte_target", .args = PatchArgs(true), .expected = kOk},
    {.name = "need_2_parameters", .args = {kSourceName}, .expected = kNeed2},
    {.name = "cant_find_1st", .args = {"none.bin", kTargetName}, .expected = kCantFind1st,
     .inUse = HeldArgument("none.bin")},
    {.name = "cant_find_2nd", .args = {kSourceName, "none.bin"}, .expected = kCantFind2nd,
     .inUse = HeldArgument("none.bin")},
    {.name = "no_file_of_500", .args = PatchArgs(true), .source = Bytes(499, 24),
     .expected = kNo500, .inUse = HeldArgument(kTargetName)},
    {.name = "both_500", .args = PatchArgs(true), .target = Bytes(500, 25), .expected = kBoth500,
     .inUse = HeldArgument(kTargetName)},
    {.name = "short_write_at_size_limit", .args = PatchArgs(true), .target = "",
     .fileSizeLimit = 300, .expected = ReportLine(101), .status = 101,
     .inUse = HeldArgument(kTargetName)},
    {.name = "stdout_full", .args = PatchArgs(true), .out = StdoutMode::DevFull, .expected = "",
     .status = 28, .inUse = HeldArgument(kTargetName)},
};

class Memcheck : public testing::TestWithParam<MemcheckRow> {};

TEST_P(Memcheck, ReportsNoErrorAndOnlyTheBlocksLeftToTermination) {
    const MemcheckRow& row = GetParam();
    std::string problem;
    e2e::ToolOutput({"valgrind", "--version"}, &problem);
    if (!problem.empty()) GTEST_SKIP() << "valgrind is not installed";

    testfs::TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    ASSERT_TRUE(WriteWholeFile(dir.Path(kSourceName), row.source));
    ASSERT_TRUE(WriteWholeFile(dir.Path(kTargetName), row.target));
    RunOptions options;
    options.workDir = dir.path();
    options.out = row.out;
    options.fileSizeLimit = row.fileSizeLimit;
    options.timeout = std::chrono::seconds(60);
    // The block left to termination is found through an interior pointer,
    // "possibly lost"; only a block nothing points to is an error in
    // itself. Every leak shows in the count in use at exit.
    std::vector<std::string> command = {"valgrind", "--error-exitcode=99", "--leak-check=full",
                                        "--errors-for-leak-kinds=definite", "--track-fds=no",
                                        e2e::ProgramPath(false, "patch500_memcheck")};
    command.insert(command.end(), row.args.begin(), row.args.end());
    RunResult result = e2e::RunProgram(command, options);

    ASSERT_TRUE(result.exited) << e2e::Describe(result);
    EXPECT_EQ(result.exitCode, row.status) << "valgrind said:\n" << result.err;
    EXPECT_MATCHES(row.expected, result.out);
    EXPECT_NE(result.err.find("ERROR SUMMARY: 0 errors from 0 contexts"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("in use at exit: " + row.inUse + "\n"), std::string::npos)
        << "expected in use at exit: " << row.inUse << "\n" << result.err;
}

INSTANTIATE_TEST_SUITE_P(Rows, Memcheck, testing::ValuesIn(kMemcheckRows), RowName<MemcheckRow>);

}  // namespace
}  // namespace e2e
