// Runs a program as a user would: an exact argument vector, a working
// folder, and standard handles chosen per run.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

enum class StdoutMode {
    Pipe,      // captured while the program runs
    File,      // a regular (already unlinked) file, read back afterwards
    Terminal,  // a pseudo-terminal in raw mode, no CR/LF translation
    DevFull,   // every write fails with ENOSPC
    Closed,
    AppendToFile,   // `>> outFile`, read back afterwards from the file itself
    ReadWriteFile,  // `1<> outFile`
    // A pipe set non-blocking and full when the program starts, read only
    // some 300 ms later, as a launcher that polls its pipes may; the filler
    // is not part of `out`.
    FullNonBlockingPipe,
    BrokenPipe,  // a pipe whose reading end is closed
};

enum class StdinMode { DevNull, Closed, File /* `< inFile` */ };

struct RunOptions {
    std::string workDir;  // must exist
    StdoutMode out = StdoutMode::Pipe;
    StdinMode in = StdinMode::DevNull;
    bool errClosed = false;  // standard error closed instead of captured
    std::chrono::seconds timeout{60};
    std::vector<std::string> setEnv = {};    // "NAME=value", replacing any inherited value
    std::vector<std::string> unsetEnv = {};  // names removed from the inherited environment
    // RLIMIT_FSIZE in bytes. SIGXFSZ keeps its default action, as in a
    // user's shell.
    std::optional<std::uint64_t> fileSizeLimit;
    // Paths of the redirected standard handles, relative to workDir.
    std::string outFile = {};
    std::string inFile = {};
    // Run as this user and group, with no supplementary groups. The
    // program is opened before the rights are given up, so its folder need
    // not be open to that user.
    std::optional<unsigned> user = std::nullopt;
};

struct RunResult {
    std::string failure;  // non-empty: could not start, or timed out and was killed
    bool exited = false;  // ended through exit; otherwise see `signal`
    int exitCode = -1;
    int signal = 0;       // the signal that killed it
    std::string out;
    std::string err;
    // Terminal only: the sizes of the pieces as they arrived from the terminal.
    std::vector<std::size_t> outPieces;
};

// argv[0] is looked up in PATH when it holds no slash.
RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options);

// A program left running beside the one under test, for example to hold a
// file open. Its standard input is a pipe that stays open until Stop; its
// standard output is captured, its standard error discarded. `options.out`
// and `options.in` are not used; `options.timeout` bounds the wait in Stop.
class BackgroundProgram {
public:
    BackgroundProgram(const std::vector<std::string>& argv, const RunOptions& options);
    ~BackgroundProgram();  // stops it
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;

    // Reads its output until `text` has appeared; false when it ends, or
    // `timeout` passes, first.
    bool WaitForOutput(const std::string& text, std::chrono::seconds timeout);

    // Ends its standard input without waiting, e.g. to let a program
    // blocked on reading it go on.
    void CloseInput();

    // Ends its standard input and waits for it to exit; past the timeout
    // its process group is killed. Returns how it ended.
    RunResult Stop();

    const std::string& failure() const { return failure_; }  // could not start
    const std::string& out() const { return out_; }

private:
    bool Reap(int waitFlags);  // true once it has ended
    void ReadOutput(int waitMs);

    pid_t pid_ = -1;  // -1 once reaped
    int status_ = 0;
    int inWrite_ = -1;
    int outRead_ = -1;
    std::chrono::seconds timeout_;
    std::string out_;
    std::string failure_;
    bool stopped_ = false;
    RunResult result_;
};

// "exit 3", "killed by signal 11 (Segmentation fault)", or the failure.
std::string Describe(const RunResult& result);

// Runs a tool in the current folder and returns its standard output; an
// exit status other than 0 or any failure is put in *problem.
std::string ToolOutput(const std::vector<std::string>& argv, std::string* problem);

}  // namespace e2e
