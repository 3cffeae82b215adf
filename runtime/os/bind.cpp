// The call table `sys`, filled by code when the program starts, so that
// no table of routine addresses needs relocating by the loader.
#include "runtime/os/backend.h"

namespace os {

constinit Calls sys = {};

void BindSystemCalls() {
    // Slot by slot: a braced copy may come from a constant table, which
    // would then need relocating.
    sys.OpenExisting = backend::OpenExisting;
    sys.GetStdHandle = backend::GetStdHandle;
    sys.Read = backend::Read;
    sys.Write = backend::Write;
    sys.FileSize = backend::FileSize;
    sys.FlushToDisk = backend::FlushToDisk;
    sys.Close = backend::Close;
    sys.GetFileType = backend::GetFileType;
    sys.HeldHere = backend::HeldHere;
    sys.NamesOpenFile = backend::NamesOpenFile;
    sys.Pause = backend::Pause;
    sys.Reserve = backend::Reserve;
    sys.Commit = backend::Commit;
    sys.Release = backend::Release;
    backend::BindOwnCalls();
}

}  // namespace os
