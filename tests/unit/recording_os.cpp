#include "recording_os.h"

#include <algorithm>
#include <cstring>

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

os::Error FakeOpenExisting(const char* path, os::Access access, os::Handle* handle) {
    current->calls.push_back("OpenExisting");
    current->opens.push_back({path, access});
    if (current->openError != 0) return current->openError;
    *handle = current->nextOpenHandle++;
    return 0;
}

os::Error FakeGetStdHandle(os::StdStream which, os::Handle* handle) {
    current->calls.push_back("GetStdHandle");
    current->stdHandleRequests.push_back(which);
    if (current->stdHandleError != 0) return current->stdHandleError;
    *handle = current->stdHandle;
    return 0;
}

os::FileType FakeGetFileType(os::Handle handle) {
    current->calls.push_back("GetFileType");
    current->fileTypeRequests.push_back(handle);
    return current->fileType;
}

os::Error FakeRead(os::Handle handle, void* buffer, std::uint32_t size, std::uint32_t* done) {
    current->calls.push_back("Read");
    current->reads.push_back({handle, size});
    if (current->readError != 0) return current->readError;
    std::string& data = current->readData;
    std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(size, data.size()));
    std::memcpy(buffer, data.data(), n);
    data.erase(0, n);
    *done = n;
    return 0;
}

os::Error FakeWrite(os::Handle handle, const void* buffer, std::uint32_t size,
                    std::uint32_t* done) {
    current->calls.push_back("Write");
    current->writes.push_back({handle, std::string(static_cast<const char*>(buffer), size)});
    if (current->writeError != 0) return current->writeError;
    *done = std::min(size, current->writeLimit);
    return 0;
}

os::Error FakeFileSize(os::Handle handle, std::uint64_t* size) {
    current->calls.push_back("FileSize");
    current->fileSizeRequests.push_back(handle);
    if (current->fileSizeError != 0) return current->fileSizeError;
    *size = current->fileSize;
    return 0;
}

os::Error FakeClose(os::Handle handle) {
    current->calls.push_back("Close");
    current->closes.push_back(handle);
    return current->closeError;
}

os::Error CountingReserve(std::size_t size, void** base) {
    if (current->reserveError != 0) return current->reserveError;
    os::Error error = current->saved().Reserve(size, base);
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
    os::Error error = current->saved().Release(base, size);
    if (error == 0) ++current->releases;
    return error;
}

os::Error StderrForOutput(os::StdStream which, os::Handle* handle) {
    *handle = which == os::StdStream::Input ? 0 : 2;
    return 0;
}

}  // namespace

void ResetRuntime() {
    TakeIoStatus();
    ExitStatus = 0;
    ErrorSite = 0;
    DefaultOpenMode = AccessReadWrite;
    AssignName(ConsoleIn, "");
    AssignName(ConsoleOut, "");
}

RecordingOs::RecordingOs() : saved_(os::sys) {
    current = this;
    os::sys.OpenExisting = FakeOpenExisting;
    os::sys.GetStdHandle = FakeGetStdHandle;
    os::sys.Read = FakeRead;
    os::sys.Write = FakeWrite;
    os::sys.FileSize = FakeFileSize;
    os::sys.Close = FakeClose;
    os::sys.GetFileType = FakeGetFileType;
    os::sys.Reserve = CountingReserve;
    os::sys.Release = CountingRelease;
    ResetRuntime();
}

RecordingOs::~RecordingOs() {
    ResetRuntime();
    os::sys = saved_;
    current = nullptr;
}

void RouteConsoleToStderr() { os::sys.GetStdHandle = StderrForOutput; }

}  // namespace fake
