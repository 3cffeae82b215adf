// Clean-up frames: placed and removed with the OS layer, run once, either
// at the block's end or by a fault's unwinding.
#include "runtime/base/cleanup.h"

#include <cstddef>
#include <type_traits>

static_assert(std::is_standard_layout_v<CleanupFrame>);

CleanupFrame::CleanupFrame(Work work, void* context) : link_{}, work_(work), context_(context) {
    os::LinkFrame(link_);
}

CleanupFrame::~CleanupFrame() {
    os::UnlinkFrame(link_);
    RunOnce();
}

// Marked done before the work runs: a fault inside the work never enters
// it again.
void CleanupFrame::RunOnce() {
    if (done_) return;
    done_ = true;
    work_(context_);
}

void RunFrameCleanup(os::FrameLink& frame) {
    reinterpret_cast<CleanupFrame*>(&frame)->RunOnce();
}
