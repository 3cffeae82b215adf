#include "recording_os.h"

#include <algorithm>
#include <cfenv>

#include <gtest/gtest.h>

#include "runtime/fileio/fileio.h"
#include "runtime/fileio/iostatus.h"
#include "runtime/terminate/terminate.h"
#include "runtime/textio/textio.h"

namespace fake {

namespace {

// The test process starts as a program's entry starts one: the OS table
// bound, and the backend's start-up done (it blocks the SIGIO by which the
// kernel tells a lease holder of another open).
class ProgramStartUp : public testing::Environment {
    void SetUp() override {
        os::BindSystemCalls();
        os::StartUp();
    }
};
const testing::Environment* const kProgramStartUp =
    testing::AddGlobalTestEnvironment(new ProgramStartUp);

// The stand-ins are plain functions; they find their object here.
RecordingOs* current = nullptr;

// Every call is recorded as the runtime made it, spoiled or not.
void Record(const Seen& seen) {
    switch (seen.call) {
    case kOpenExisting: current->opens.push_back({seen.path, seen.access}); break;
    case kGetStdHandle: current->stdHandleRequests.push_back(seen.stream); break;
    case kGetFileType: current->fileTypeRequests.push_back(seen.handle); break;
    case kRead: current->reads.push_back({seen.handle, seen.size}); break;
    case kWrite: current->writes.push_back({seen.handle, {seen.bytes, seen.size}}); break;
    case kFileSize: current->fileSizeRequests.push_back(seen.handle); break;
    case kFlushToDisk: current->flushes.push_back(seen.handle); break;
    case kNamesOpenFile: break;
    case kClose: current->closes.push_back(seen.handle); break;
    case kHeldHere: break;
    case kPause: current->pauses.push_back(seen.size); break;
    default: return;  // the memory calls are counted where they are answered
    }
    current->calls.push_back(CallName(seen.call));
}

// A stand-in's answer: the field's error, or success with the value.
template <typename T>
os::Error Answer(os::Error error, T* out, T value) {
    if (error == 0) *out = value;
    return error;
}

os::Error FakeOpenExisting(const char*, os::Access, os::Handle* handle) {
    os::Error planned = current->openFailures > 0 ? current->openError : 0;
    if (planned != 0) --current->openFailures;
    os::Error error = Answer(planned, handle, current->nextOpenHandle);
    if (error == 0) ++current->nextOpenHandle;
    return error;
}

os::Error FakeGetStdHandle(os::StdStream, os::Handle* handle) {
    return Answer(current->stdHandleError, handle, current->stdHandle);
}

os::FileType FakeGetFileType(os::Handle) { return current->fileType; }

os::Error FakeRead(os::Handle, void* buffer, std::uint32_t size, std::uint32_t* done) {
    std::string& data = current->readData;
    auto n = static_cast<std::uint32_t>(std::min<std::size_t>(size, data.size()));
    if (current->readError == 0) data.erase(0, data.copy(static_cast<char*>(buffer), n));
    return Answer(current->readError, done, n);
}

os::Error FakeWrite(os::Handle, const void*, std::uint32_t size, std::uint32_t* done) {
    return Answer(current->writeError, done, std::min(size, current->writeLimit));
}

os::Error FakeFileSize(os::Handle, std::uint64_t* size) {
    return Answer(current->fileSizeError, size, current->fileSize);
}

os::Error FakeClose(os::Handle) { return current->closeError; }

os::Error FakeFlushToDisk(os::Handle) { return current->flushError; }

os::Error FakeNamesOpenFile(const char*, os::Handle) { return current->namesOpenFileError; }

bool FakeHeldHere(const char*) { return current->heldHere; }

void NoPause(std::uint32_t) {}

os::Error CountingReserve(std::size_t size, void** base) {
    if (current->reserveError != 0) return current->reserveError;
    os::Error error = current->saved.Reserve(size, base);
    if (error == 0) {
        ++current->reserves;
        current->reserved[*base] = size;
    }
    return error;
}

os::Error CountingRelease(void* base, std::size_t size) {
    auto region = current->reserved.find(base);
    if (region == current->reserved.end() || region->second != size) {
        current->releaseMismatch = true;
    } else {
        current->reserved.erase(region);
    }
    os::Error error = current->saved.Release(base, size);
    if (error == 0) ++current->releases;
    return error;
}

os::Error StderrForOutput(os::StdStream which, os::Handle* handle) {
    *handle = which == os::StdStream::Input ? 0 : 2;
    return 0;
}

}  // namespace

void ResetRuntime() {
    std::fenv_t testsOwn;
    std::fegetenv(&testsOwn);
    InitRuntime();
    std::fesetenv(&testsOwn);
}

RecordingOs::RecordingOs() {
    current = this;
    // In the table's order; Commit goes on to the saved one uncounted.
    InstallDouble({FakeOpenExisting, FakeGetStdHandle, FakeRead, FakeWrite, FakeFileSize,
                   FakeFlushToDisk, FakeClose, FakeGetFileType, FakeHeldHere, FakeNamesOpenFile,
                   NoPause, CountingReserve, saved.Commit, CountingRelease},
                  plan, Record);
    ResetRuntime();
}

RecordingOs::~RecordingOs() {
    ResetRuntime();
    os::sys = saved;
    current = nullptr;
}

void RouteConsoleToStderr() { os::sys.GetStdHandle = StderrForOutput; }

}  // namespace fake
