#include "run_program.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

#include "tests/common/files.h"

extern char** environ;

namespace e2e {

namespace {

using testfs::ErrnoText;
using testfs::Fd;
using Clock = std::chrono::steady_clock;

// How long terminal output may still arrive after the program ended: a
// terminal hands data on asynchronously, and under Wine a helper process
// writes it. A process the program left running may keep the terminal
// open; then this much is waited, no more.
constexpr auto kDrainGrace = std::chrono::seconds(1);

// Descriptors the parent prepares for the child live above 2, so that
// putting them onto 0, 1 and 2 never overwrites one another.
int AboveStandard(int fd) {
    if (fd < 0 || fd > 2) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

bool MakePipe(Fd& readEnd, Fd& writeEnd) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    readEnd = Fd(AboveStandard(ends[0]));
    writeEnd = Fd(AboveStandard(ends[1]));
    return readEnd.valid() && writeEnd.valid();
}

// What fills a FullNonBlockingPipe before the run, and how long it waits
// to be read.
constexpr char kFiller = 'f';
constexpr auto kFullPipeDrainsAfter = std::chrono::milliseconds(300);

// Writes kFiller until the pipe takes no more; the count written.
std::size_t FillPipe(int writeEnd) {
    char block[4096];
    std::memset(block, kFiller, sizeof block);
    std::size_t filled = 0;
    for (std::size_t size = sizeof block; size > 0;) {
        ssize_t n = write(writeEnd, block, size);
        if (n > 0) filled += static_cast<std::size_t>(n);
        else size /= 2;  // the last bytes of the pipe's room
    }
    return filled;
}

// The master side, and the slave side set raw: bytes pass unchanged.
bool MakeTerminal(Fd& master, Fd& slave, std::string* problem) {
    master = Fd(AboveStandard(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)));
    if (!master.valid() || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) {
        *problem = ErrnoText("posix_openpt");
        return false;
    }
    char name[128];
    if (ptsname_r(master.get(), name, sizeof name) != 0) {
        *problem = ErrnoText("ptsname_r");
        return false;
    }
    slave = Fd(AboveStandard(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)));
    struct termios mode;
    if (!slave.valid() || tcgetattr(slave.get(), &mode) != 0) {
        *problem = ErrnoText("open terminal");
        return false;
    }
    cfmakeraw(&mode);
    if (tcsetattr(slave.get(), TCSANOW, &mode) != 0) {
        *problem = ErrnoText("tcsetattr");
        return false;
    }
    return true;
}

// An unlinked file in the temp folder; nothing is left behind.
Fd MakeScratchFile() {
    std::string pattern = (std::filesystem::temp_directory_path() / "p5-stdout-XXXXXX").string();
    Fd fd(AboveStandard(mkostemp(pattern.data(), O_CLOEXEC)));
    if (fd.valid()) unlink(pattern.c_str());
    return fd;
}

std::vector<std::string> ChildEnvironment(const RunOptions& options) {
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    auto replaced = [&](const std::string& name) {
        for (const auto& entry : options.setEnv) {
            if (nameOf(entry) == name) return true;
        }
        for (const auto& unset : options.unsetEnv) {
            if (unset == name) return true;
        }
        return false;
    };
    std::vector<std::string> env;
    for (char** p = environ; *p != nullptr; ++p) {
        if (!replaced(nameOf(*p))) env.emplace_back(*p);
    }
    env.insert(env.end(), options.setEnv.begin(), options.setEnv.end());
    return env;
}

std::vector<char*> PointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (auto& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// The first executable `name` in PATH, or `name` itself.
std::string FoundInPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        std::string candidate = folder + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return name;
}

// After fork: only plain system calls until exec. A failure is reported
// to the parent as an errno value on `report`.
[[noreturn]] void ReportAndExit(int report) {
    int code = errno;
    ssize_t ignored = write(report, &code, sizeof code);
    (void)ignored;
    _exit(127);
}

[[noreturn]] void ExecChild(char* const* argv, char* const* envp, const char* workDir,
                            int in, int out, int err, bool terminal, int report,
                            const rlimit* fileSizeLimit, const std::optional<unsigned>& user) {
    auto fail = [report]() { ReportAndExit(report); };
    // A session of its own: no terminal of ours, its own process group
    // (killed as one on timeout), and the pseudo-terminal as its own.
    if (setsid() < 0) fail();
    if (terminal && ioctl(out, TIOCSCTTY, 0) != 0) fail();
    if (in >= 0 ? dup2(in, 0) < 0 : close(0) != 0) fail();
    if (out >= 0 ? dup2(out, 1) < 0 : close(1) != 0) fail();
    if (err >= 0 ? dup2(err, 2) < 0 : close(2) != 0) fail();
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    if (fileSizeLimit != nullptr && setrlimit(RLIMIT_FSIZE, fileSizeLimit) != 0) fail();
    if (chdir(workDir) != 0) fail();
    if (user) {
        int program = open(argv[0], O_PATH | O_CLOEXEC);
        if (program < 0 || setgroups(0, nullptr) != 0 || setgid(*user) != 0 || setuid(*user) != 0) {
            fail();
        }
        execveat(program, "", argv, envp, AT_EMPTY_PATH);
        // Under qemu-user, which lacks it, the path must be open to the user.
        if (errno == ENOSYS) execve(argv[0], argv, envp);
        ReportAndExit(report);
    }
    execvpe(argv[0], argv, envp);
    ReportAndExit(report);
}

// Reads what is there now; false at end of data (EIO: terminal hung up).
bool ReadAvailable(int fd, std::string& into, std::vector<std::size_t>* pieces) {
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
            if (pieces != nullptr) pieces->push_back(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

// The errno the child could not start with, once it has exec'd or given
// up; 0 when it started.
int StartError(int reportRead) {
    int error = 0;
    while (read(reportRead, &error, sizeof error) < 0 && errno == EINTR) {
    }
    return error;
}

void KillGroup(pid_t pid) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
}

void SetEnding(int status, RunResult& result) {
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
}

// What the child's standard handles are made of (closed where invalid),
// and the ends the parent keeps.
struct Handles {
    Fd in;
    Fd outRead, outWrite;  // outRead: what the parent reads during the run
    Fd errRead, errWrite;
    Fd reportRead, reportWrite;  // a failed start's errno
};

Fd OpenStdin(const RunOptions& options) {
    if (options.in == StdinMode::DevNull) {
        return Fd(AboveStandard(open("/dev/null", O_RDONLY | O_CLOEXEC)));
    }
    if (options.in == StdinMode::File) {
        return Fd(AboveStandard(
            open((options.workDir + "/" + options.inFile).c_str(), O_RDONLY | O_CLOEXEC)));
    }
    return Fd();
}

// Empty, or what failed.
std::string OpenStdout(const RunOptions& options, Fd& outRead, Fd& outWrite) {
    switch (options.out) {
    case StdoutMode::Pipe:
        return MakePipe(outRead, outWrite) ? "" : ErrnoText("pipe");
    case StdoutMode::File:
        outWrite = MakeScratchFile();
        return outWrite.valid() ? "" : ErrnoText("stdout file");
    case StdoutMode::Terminal: {
        std::string problem;
        MakeTerminal(outRead, outWrite, &problem);
        return problem;
    }
    case StdoutMode::DevFull:
        outWrite = Fd(AboveStandard(open("/dev/full", O_WRONLY | O_CLOEXEC)));
        return outWrite.valid() ? "" : ErrnoText("/dev/full");
    case StdoutMode::Closed:
        return "";
    case StdoutMode::FullNonBlockingPipe:
        if (!MakePipe(outRead, outWrite)) return ErrnoText("pipe");
        if (fcntl(outWrite.get(), F_SETFL, O_NONBLOCK) != 0) return ErrnoText("O_NONBLOCK");
        FillPipe(outWrite.get());
        return "";
    case StdoutMode::BrokenPipe:
        if (!MakePipe(outRead, outWrite)) return ErrnoText("pipe");
        outRead.Reset();
        return "";
    case StdoutMode::AppendToFile:
    case StdoutMode::ReadWriteFile: {
        int flags = options.out == StdoutMode::AppendToFile ? O_WRONLY | O_APPEND : O_RDWR;
        outWrite = Fd(AboveStandard(
            open((options.workDir + "/" + options.outFile).c_str(), flags | O_CLOEXEC)));
        return outWrite.valid() ? "" : ErrnoText("stdout file");
    }
    }
    return "";
}

// Empty, or what failed.
std::string OpenHandles(const RunOptions& options, Handles& handles) {
    handles.in = OpenStdin(options);
    if (options.in != StdinMode::Closed && !handles.in.valid()) return ErrnoText("stdin");
    std::string problem = OpenStdout(options, handles.outRead, handles.outWrite);
    if (!problem.empty()) return problem;
    if (!MakePipe(handles.errRead, handles.errWrite)) return ErrnoText("pipe");
    if (!MakePipe(handles.reportRead, handles.reportWrite)) return ErrnoText("pipe");
    return "";
}

// The child on the prepared handles; its pid, or -1 with errno set.
pid_t Spawn(const std::vector<std::string>& argv, const RunOptions& options,
            const Handles& handles) {
    std::vector<std::string> args = argv;
    if (options.user && args[0].find('/') == std::string::npos) args[0] = FoundInPath(args[0]);
    std::vector<std::string> env = ChildEnvironment(options);
    std::vector<char*> argp = PointersTo(args);
    std::vector<char*> envp = PointersTo(env);
    rlimit fileSizeLimit{};
    if (options.fileSizeLimit) {
        fileSizeLimit.rlim_cur = fileSizeLimit.rlim_max = *options.fileSizeLimit;
    }
    pid_t pid = fork();
    if (pid == 0) {
        ExecChild(argp.data(), envp.data(), options.workDir.c_str(), handles.in.get(),
                  handles.outWrite.get(), options.errClosed ? -1 : handles.errWrite.get(),
                  options.out == StdoutMode::Terminal, handles.reportWrite.get(),
                  options.fileSizeLimit ? &fileSizeLimit : nullptr, options.user);
    }
    return pid;
}

// Waits up to 20 ms for output and takes what came; an end whose data
// has ended is closed.
void ReadSome(Fd& outRead, Fd& errRead, RunResult& result, std::vector<std::size_t>* pieces) {
    pollfd watched[2];
    nfds_t count = 0;
    for (Fd* fd : {&outRead, &errRead}) {
        if (fd->valid()) watched[count++] = {fd->get(), POLLIN, 0};
    }
    if (count == 0) {
        usleep(2000);  // only the exit is still to come
        return;
    }
    poll(watched, count, 20);
    if (outRead.valid() && !ReadAvailable(outRead.get(), result.out, pieces)) outRead.Reset();
    if (errRead.valid() && !ReadAvailable(errRead.get(), result.err, nullptr)) errRead.Reset();
}

// Reads while the program runs, so that it never blocks on a full pipe,
// until it has exited and its output is in. False when the timeout passed
// first: it was killed.
bool AwaitExit(pid_t pid, const RunOptions& options, Fd& outRead, Fd& errRead,
               RunResult& result, int* status) {
    for (Fd* fd : {&outRead, &errRead}) {
        if (fd->valid()) fcntl(fd->get(), F_SETFL, fcntl(fd->get(), F_GETFL) | O_NONBLOCK);
    }
    const bool terminal = options.out == StdoutMode::Terminal;
    const auto deadline = Clock::now() + options.timeout;
    Clock::time_point drainUntil{};
    bool reaped = false;
    for (;;) {
        if (!reaped && waitpid(pid, status, WNOHANG) == pid) {
            reaped = true;
            drainUntil = Clock::now() + kDrainGrace;
            // A pipe already holds all the program wrote; a daemon it started
            // (Wine's server) may keep a copy open, so its end is not awaited.
            if (!terminal && outRead.valid()) {
                ReadAvailable(outRead.get(), result.out, nullptr);
                outRead.Reset();
            }
            if (errRead.valid()) ReadAvailable(errRead.get(), result.err, nullptr);
            errRead.Reset();
        }
        if (reaped && (!outRead.valid() || Clock::now() >= drainUntil)) return true;
        if (!reaped && Clock::now() >= deadline) {
            KillGroup(pid);
            waitpid(pid, status, 0);
            return false;
        }
        ReadSome(outRead, errRead, result, terminal ? &result.outPieces : nullptr);
    }
}

}  // namespace

RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options) {
    RunResult result;
    Handles handles;
    result.failure = OpenHandles(options, handles);
    if (!result.failure.empty()) return result;
    pid_t pid = Spawn(argv, options, handles);
    if (pid < 0) {
        result.failure = ErrnoText("fork");
        return result;
    }

    // The child's copies are its own now; keep only the file to read back.
    Fd outFile;
    if (options.out == StdoutMode::File) outFile = std::move(handles.outWrite);
    for (Fd* fd : {&handles.in, &handles.outWrite, &handles.errWrite, &handles.reportWrite}) {
        fd->Reset();
    }
    int startError = StartError(handles.reportRead.get());
    const bool full = options.out == StdoutMode::FullNonBlockingPipe;
    if (full) std::this_thread::sleep_for(kFullPipeDrainsAfter);
    int status = 0;
    if (!AwaitExit(pid, options, handles.outRead, handles.errRead, result, &status)) {
        result.failure =
            "timed out after " + std::to_string(options.timeout.count()) + " s; killed";
        return result;
    }
    if (startError != 0) {
        errno = startError;
        result.failure = ErrnoText("starting " + argv[0]);
        return result;
    }
    SetEnding(status, result);
    if (outFile.valid()) result.out += testfs::ReadAll(outFile.get());
    if (full) {
        std::size_t filler = result.out.find_first_not_of(kFiller);
        result.out.erase(0, filler == std::string::npos ? result.out.size() : filler);
    }
    return result;
}

BackgroundProgram::BackgroundProgram(const std::vector<std::string>& argv,
                                     const RunOptions& options)
    : timeout_(options.timeout) {
    Fd inRead, inWrite, outRead, outWrite, reportRead, reportWrite;
    Fd errFd(AboveStandard(open("/dev/null", O_WRONLY | O_CLOEXEC)));
    if (!MakePipe(inRead, inWrite) || !MakePipe(outRead, outWrite) ||
        !MakePipe(reportRead, reportWrite) || !errFd.valid()) {
        failure_ = ErrnoText("pipe");
        return;
    }
    std::vector<std::string> args = argv;
    std::vector<std::string> env = ChildEnvironment(options);
    std::vector<char*> argp = PointersTo(args);
    std::vector<char*> envp = PointersTo(env);
    pid_t pid = fork();
    if (pid < 0) {
        failure_ = ErrnoText("fork");
        return;
    }
    if (pid == 0) {
        ExecChild(argp.data(), envp.data(), options.workDir.c_str(), inRead.get(), outWrite.get(),
                  errFd.get(), false, reportWrite.get(), nullptr, options.user);
    }
    pid_ = pid;
    reportWrite.Reset();
    if (int error = StartError(reportRead.get()); error != 0) {
        errno = error;
        failure_ = ErrnoText("starting " + argv[0]);
        Reap(0);
        return;
    }
    fcntl(outRead.get(), F_SETFL, fcntl(outRead.get(), F_GETFL) | O_NONBLOCK);
    inWrite_ = inWrite.Release();
    outRead_ = outRead.Release();
}

BackgroundProgram::~BackgroundProgram() {
    Stop();
}

bool BackgroundProgram::Reap(int flags) {
    if (pid_ > 0 && waitpid(pid_, &status_, flags) == pid_) pid_ = -1;
    return pid_ < 0;
}

void BackgroundProgram::ReadOutput(int waitMs) {
    if (outRead_ < 0) {
        usleep(static_cast<useconds_t>(waitMs) * 1000);
        return;
    }
    pollfd watched{outRead_, POLLIN, 0};
    poll(&watched, 1, waitMs);
    if (!ReadAvailable(outRead_, out_, nullptr)) {
        close(outRead_);
        outRead_ = -1;
    }
}

bool BackgroundProgram::WaitForOutput(const std::string& text, std::chrono::seconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        bool ended = Reap(WNOHANG);
        ReadOutput(ended ? 0 : 20);
        if (out_.find(text) != std::string::npos) return true;
        if (ended || Clock::now() >= deadline) return false;
    }
}

void BackgroundProgram::CloseInput() {
    if (inWrite_ >= 0) close(inWrite_);
    inWrite_ = -1;
}

RunResult BackgroundProgram::Stop() {
    if (stopped_) return result_;
    stopped_ = true;
    result_.failure = failure_;
    CloseInput();
    const auto deadline = Clock::now() + timeout_;
    while (!Reap(WNOHANG)) {
        if (Clock::now() >= deadline) {
            KillGroup(pid_);
            Reap(0);
            result_.failure = "timed out after " + std::to_string(timeout_.count()) + " s; killed";
            break;
        }
        ReadOutput(20);  // it must never block on a full pipe
    }
    if (result_.failure.empty()) SetEnding(status_, result_);
    if (outRead_ >= 0) {
        ReadAvailable(outRead_, out_, nullptr);
        close(outRead_);
    }
    outRead_ = -1;
    result_.out = out_;
    return result_;
}

std::string Describe(const RunResult& result) {
    if (!result.failure.empty()) return result.failure;
    if (result.exited) return "exit " + std::to_string(result.exitCode);
    return "killed by signal " + std::to_string(result.signal) + " (" +
           strsignal(result.signal) + ")";
}

std::string ToolOutput(const std::vector<std::string>& argv, std::string* problem) {
    RunOptions options;
    options.workDir = ".";
    RunResult result = RunProgram(argv, options);
    if (!result.exited || result.exitCode != 0) {
        *problem = argv[0] + ": " + Describe(result) + "\n" + result.err;
    }
    return result.out;
}

}  // namespace e2e
