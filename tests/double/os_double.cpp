#include "tests/double/os_double.h"

namespace fake {

namespace {

constexpr const char* kNames[kCallKinds] = {
    "OpenExisting", "GetStdHandle", "Read",    "Write",   "FileSize",    "FlushToDisk", "NamesOpenFile",
    "Close",        "Reserve",      "Commit",  "Release", "GetFileType", "HeldHere",    "Pause"};

constinit const Plan* plan = nullptr;  // set before any wrapper is reached
constinit Watcher watcher = nullptr;
constinit os::Calls below{};
constinit std::uint32_t counted[kCallKinds + 1] = {};  // [kAnyCall]: all that can fail

Verdict Judge(const Seen& seen) {
    if (seen.call >= kGetFileType) return Verdict::Pass;
    ++counted[kAnyCall];
    const Plan& p = *plan;
    bool named = p.only == kAnyCall || p.only == seen.call;
    if (p.at == 0 || !named || counted[p.only] != p.at) return Verdict::Pass;
    if (p.shortBy == 0) return Verdict::Fail;
    // A short transfer only means something for a transfer.
    return seen.call == kRead || seen.call == kWrite ? Verdict::Short : Verdict::Pass;
}

// Counts the call and shows it to the watcher; false: the plan fails it.
// A transfer the plan shortens leaves with its size cut.
bool Passes(Seen& seen) {
    seen.ordinal = ++counted[seen.call];
    seen.verdict = Judge(seen);
    if (watcher != nullptr) watcher(seen);
    std::uint32_t cut = seen.verdict == Verdict::Short ? plan->shortBy : 0;
    seen.size = seen.size > cut ? seen.size - cut : 0;
    return seen.verdict != Verdict::Fail;
}
bool Passes(Seen&& seen) { return Passes(seen); }

os::Error OpenExisting(const char* path, os::Access access, os::Handle* handle) {
    return Passes({.call = kOpenExisting, .path = path, .access = access})
               ? below.OpenExisting(path, access, handle)
               : plan->code;
}

os::Error GetStdHandle(os::StdStream which, os::Handle* handle) {
    return Passes({.call = kGetStdHandle, .stream = which}) ? below.GetStdHandle(which, handle)
                                                            : plan->code;
}

os::Error Read(os::Handle handle, void* buffer, std::uint32_t size, std::uint32_t* done) {
    Seen seen{.call = kRead, .handle = handle, .size = size};
    return Passes(seen) ? below.Read(handle, buffer, seen.size, done) : plan->code;
}

os::Error Write(os::Handle handle, const void* buffer, std::uint32_t size, std::uint32_t* done) {
    Seen seen{
        .call = kWrite, .handle = handle, .bytes = static_cast<const char*>(buffer), .size = size};
    return Passes(seen) ? below.Write(handle, buffer, seen.size, done) : plan->code;
}

os::Error FileSize(os::Handle handle, std::uint64_t* size) {
    return Passes({.call = kFileSize, .handle = handle}) ? below.FileSize(handle, size) : plan->code;
}

os::Error FlushToDisk(os::Handle handle) {
    return Passes({.call = kFlushToDisk, .handle = handle}) ? below.FlushToDisk(handle) : plan->code;
}

os::Error NamesOpenFile(const char* path, os::Handle handle) {
    return Passes({.call = kNamesOpenFile, .path = path, .handle = handle})
               ? below.NamesOpenFile(path, handle)
               : plan->code;
}

os::Error Close(os::Handle handle) {
    return Passes({.call = kClose, .handle = handle}) ? below.Close(handle) : plan->code;
}

os::FileType GetFileType(os::Handle handle) {
    Passes({.call = kGetFileType, .handle = handle});  // always
    return below.GetFileType(handle);
}

bool HeldHere(const char* path) {
    Passes({.call = kHeldHere, .path = path});  // always
    return below.HeldHere(path);
}

void Pause(std::uint32_t milliseconds) {
    Passes({.call = kPause, .size = milliseconds});  // always
    below.Pause(milliseconds);
}

os::Error Reserve(std::size_t size, void** base) {
    return Passes({.call = kReserve}) ? below.Reserve(size, base) : plan->code;
}

os::Error Commit(void* address, std::size_t size) {
    return Passes({.call = kCommit}) ? below.Commit(address, size) : plan->code;
}

os::Error Release(void* base, std::size_t size) {
    return Passes({.call = kRelease}) ? below.Release(base, size) : plan->code;
}

}  // namespace

const char* CallName(Call call) { return kNames[call]; }

void InstallDouble(const os::Calls& table, const Plan& newPlan, Watcher newWatcher) {
    below = table;
    plan = &newPlan;
    watcher = newWatcher;
    for (std::uint32_t& n : counted) n = 0;
    // In the table's order: a slot added to it fails the build here.
    os::sys = {OpenExisting, GetStdHandle, Read,          Write, FileSize, FlushToDisk, Close,
               GetFileType,  HeldHere,     NamesOpenFile, Pause, Reserve,  Commit,      Release};
}

}  // namespace fake
