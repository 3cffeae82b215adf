// The tests' one double of the OS call table. Its wrappers fill every slot
// of os::sys: each call is counted, shown to a watcher, spoiled if the plan
// names it, and otherwise passed on to a table beneath (the real one, or
// stand-ins). It also serves programs linked without a C library, so it
// has no containers, no allocation and no global constructors.
#pragma once

#include <cstdint>

#include "runtime/os/os.h"

namespace fake {

// GetFileType and those after it answer no error: no plan spoils them,
// nor counts them among all calls.
enum Call : std::uint32_t {
    kOpenExisting, kGetStdHandle, kRead, kWrite, kFileSize, kFlushToDisk, kNamesOpenFile, kClose,
    kReserve, kCommit, kRelease, kGetFileType, kHeldHere, kPause, kCallKinds,
    kAnyCall = kCallKinds,
};
const char* CallName(Call call);  // not kAnyCall

// The one call to spoil: the `at`th (from 1; 0: none) of the calls named
// `only`, or of all the calls that can fail. It fails with `code` and never
// reaches the table beneath; or, with `shortBy`, a Read or Write asks that
// table for that many bytes fewer.
struct Plan {
    std::uint32_t at = 0;
    Call only = kAnyCall;
    os::Error code = 0;
    std::uint32_t shortBy = 0;
};

enum class Verdict : std::uint8_t { Pass, Fail, Short };

// A call as the runtime made it, before the plan's verdict takes effect;
// the arguments its call does not have stay zero.
struct Seen {
    Call call = kAnyCall;
    std::uint32_t ordinal = 0;  // among the calls of its name
    Verdict verdict = Verdict::Pass;
    const char* path = nullptr;  // OpenExisting, HeldHere, NamesOpenFile
    os::Access access = os::Access::Read;
    os::StdStream stream = os::StdStream::Input;  // GetStdHandle
    os::Handle handle = 0;                        // the file and handle calls
    const char* bytes = nullptr;                  // Write
    std::uint32_t size = 0;                       // Read, Write; Pause: milliseconds
};
using Watcher = void (*)(const Seen& seen);

// Puts the wrappers over `below` into os::sys, counting from zero. The plan
// is read at every call, so its owner may change it; the watcher may be
// null. Taking os::sys back is the installer's business.
void InstallDouble(const os::Calls& below, const Plan& plan, Watcher watcher);

}  // namespace fake
