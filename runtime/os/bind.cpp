// The call table `sys`, filled by code when the program starts, so that
// no table of routine addresses needs relocating by the loader.
#include "runtime/os/backend.h"

namespace os {

constinit Calls sys = {};

void BindSystemCalls() {
    sys = {
        .OpenExisting = backend::OpenExisting,
        .GetStdHandle = backend::GetStdHandle,
        .Read = backend::Read,
        .Write = backend::Write,
        .FileSize = backend::FileSize,
        .Close = backend::Close,
        .GetFileType = backend::GetFileType,
        .Reserve = backend::Reserve,
        .Commit = backend::Commit,
        .Release = backend::Release,
    };
    backend::BindOwnCalls();
}

}  // namespace os
