// A recording stand-in for the OS call table, for tests that must see
// every system call the runtime makes, or make one fail on purpose.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "runtime/os/os.h"
#include "tests/double/os_double.h"

namespace fake {

// Puts the runtime's globals back to their start-up values with the
// runtime's own InitRuntime, then gives the test process back its own
// floating-point settings, which InitRuntime set for the program.
void ResetRuntime();

// ResetRuntime on entry and on exit of a scope.
class CleanRuntime {
public:
    CleanRuntime() { ResetRuntime(); }
    ~CleanRuntime() { ResetRuntime(); }
    CleanRuntime(const CleanRuntime&) = delete;
    CleanRuntime& operator=(const CleanRuntime&) = delete;
};

struct WriteCall { os::Handle handle; std::string bytes; };
struct ReadCall { os::Handle handle; std::uint32_t size; };
struct OpenCall { std::string path; os::Access access; };

// While it lives, os::sys holds the OS double over the stand-ins below and
// the runtime's globals are clean; the saved table is put back when it
// goes. Only one may live at a time. The file and handle calls never reach
// the system; the memory calls go on to the saved ones, counted.
class RecordingOs {
public:
    RecordingOs();
    ~RecordingOs();
    RecordingOs(const RecordingOs&) = delete;
    RecordingOs& operator=(const RecordingOs&) = delete;

    // What the stand-ins answer.
    os::Error openError = 0;
    std::uint32_t openFailures = UINT32_MAX;  // opens that get openError; later ones succeed
    os::Handle nextOpenHandle = 40;  // each successful open takes the next
    os::Error stdHandleError = 0;
    os::Handle stdHandle = 7;
    os::FileType fileType = os::FileType::Char;
    os::Error readError = 0;
    std::string readData;  // what reads deliver, front first
    os::Error writeError = 0;
    std::uint32_t writeLimit = UINT32_MAX;  // most bytes one write takes
    os::Error fileSizeError = 0;
    std::uint64_t fileSize = 0;
    os::Error closeError = 0;
    os::Error flushError = 0;
    os::Error namesOpenFileError = 0;  // every name still names its open file
    bool heldHere = false;  // every name is a file this process holds
    os::Error reserveError = 0;  // set: Reserve fails without asking

    Plan plan;  // the call it spoils is recorded, but never answered

    // What they were asked; `calls` names every file and handle call in
    // order ("OpenExisting", "GetStdHandle", "GetFileType", "Read", ...).
    std::vector<std::string> calls;
    std::vector<OpenCall> opens;
    std::vector<os::StdStream> stdHandleRequests;
    std::vector<os::Handle> fileTypeRequests;
    std::vector<ReadCall> reads;
    std::vector<WriteCall> writes;  // failed ones included
    std::vector<os::Handle> fileSizeRequests;
    std::vector<os::Handle> closes;  // failed ones included
    std::vector<os::Handle> flushes;  // failed ones included
    std::vector<std::uint32_t> pauses;  // milliseconds, none really waited
    int reserves = 0;                // successful ones
    int releases = 0;
    std::map<void*, std::size_t> reserved;  // regions not yet released
    bool releaseMismatch = false;           // a Release not matching a Reserve

    const os::Calls saved = os::sys;  // the table before; the memory calls go on to it
};

// For death tests, inside the child only: the console's output goes to
// standard error, which the death test captures, instead of standard
// output. Nothing is restored; the child ends anyway.
void RouteConsoleToStderr();

}  // namespace fake
