#include "tests/double/os_double.h"

namespace fake {

namespace {

constexpr const char* kNames[kCallKinds] = {
    "OpenExisting", "GetStdHandle", "Read",   "Write",   "FileSize",
    "Close",        "Reserve",      "Commit", "Release", "GetFileType",
};

constinit const Plan kNoPlan{};
constinit const Plan* plan = &kNoPlan;
constinit Watcher watcher = nullptr;
constinit os::Calls below{};
constinit std::uint32_t counted[kCallKinds] = {};
constinit std::uint32_t countedAll = 0;

bool SameText(const char* a, const char* b) {
    while (*a != 0 && *a == *b) ++a, ++b;
    return *a == *b;
}

Verdict Judge(const Seen& seen) {
    if (seen.call >= kFailingCalls) return Verdict::Pass;
    ++countedAll;
    const Plan& p = *plan;
    if (p.at == 0) return Verdict::Pass;
    if (p.only != kAnyCall && p.only != seen.call) return Verdict::Pass;
    if ((p.only == kAnyCall ? countedAll : seen.ordinal) != p.at) return Verdict::Pass;
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
    if (seen.verdict == Verdict::Short) {
        seen.size = seen.size > plan->shortBy ? seen.size - plan->shortBy : 0;
    }
    return seen.verdict != Verdict::Fail;
}

// ---- The wrappers ----

os::Error OpenExisting(const char* path, os::Access access, os::Handle* handle) {
    Seen seen{.call = kOpenExisting, .path = path, .access = access};
    if (!Passes(seen)) return plan->code;
    return below.OpenExisting(path, access, handle);
}

os::Error GetStdHandle(os::StdStream which, os::Handle* handle) {
    Seen seen{.call = kGetStdHandle, .stream = which};
    if (!Passes(seen)) return plan->code;
    return below.GetStdHandle(which, handle);
}

os::Error Read(os::Handle handle, void* buffer, std::uint32_t size, std::uint32_t* done) {
    Seen seen{.call = kRead, .handle = handle, .size = size};
    if (!Passes(seen)) return plan->code;
    return below.Read(handle, buffer, seen.size, done);
}

os::Error Write(os::Handle handle, const void* buffer, std::uint32_t size, std::uint32_t* done) {
    Seen seen{.call = kWrite, .handle = handle, .bytes = buffer, .size = size};
    if (!Passes(seen)) return plan->code;
    return below.Write(handle, buffer, seen.size, done);
}

os::Error FileSize(os::Handle handle, std::uint64_t* size) {
    Seen seen{.call = kFileSize, .handle = handle};
    if (!Passes(seen)) return plan->code;
    return below.FileSize(handle, size);
}

os::Error Close(os::Handle handle) {
    Seen seen{.call = kClose, .handle = handle};
    if (!Passes(seen)) return plan->code;
    return below.Close(handle);
}

os::FileType GetFileType(os::Handle handle) {
    Seen seen{.call = kGetFileType, .handle = handle};
    Passes(seen);  // always
    return below.GetFileType(handle);
}

os::Error Reserve(std::size_t size, void** base) {
    Seen seen{.call = kReserve};
    if (!Passes(seen)) return plan->code;
    return below.Reserve(size, base);
}

os::Error Commit(void* address, std::size_t size) {
    Seen seen{.call = kCommit};
    if (!Passes(seen)) return plan->code;
    return below.Commit(address, size);
}

os::Error Release(void* base, std::size_t size) {
    Seen seen{.call = kRelease};
    if (!Passes(seen)) return plan->code;
    return below.Release(base, size);
}

}  // namespace

const char* CallName(Call call) { return call < kCallKinds ? kNames[call] : "any call"; }

Call CallNamed(const char* name) {
    for (std::uint32_t c = 0; c < kCallKinds; ++c) {
        if (SameText(name, kNames[c])) return static_cast<Call>(c);
    }
    return kAnyCall;
}

void InstallDouble(const os::Calls& table, const Plan& newPlan, Watcher newWatcher) {
    below = table;
    plan = &newPlan;
    watcher = newWatcher;
    for (std::uint32_t& n : counted) n = 0;
    countedAll = 0;
    // Every slot by name: a call added to the table fails the build here.
    os::sys = os::Calls{
        .OpenExisting = OpenExisting,
        .GetStdHandle = GetStdHandle,
        .Read = Read,
        .Write = Write,
        .FileSize = FileSize,
        .Close = Close,
        .GetFileType = GetFileType,
        .Reserve = Reserve,
        .Commit = Commit,
        .Release = Release,
    };
}

}  // namespace fake
