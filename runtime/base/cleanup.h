// Clean-up frames: a block that owns dynamic strings places one for as
// long as it runs. Its work runs exactly once: when the block is left
// normally, or, on a fault, while the fault unwinds through the block,
// innermost block first, before Shutdown. A run-time error raised directly
// never runs it.
#pragma once

#include "runtime/os/os.h"

class CleanupFrame {
public:
    using Work = void (*)(void* context);

    CleanupFrame(Work work, void* context);
    ~CleanupFrame();
    CleanupFrame(const CleanupFrame&) = delete;
    CleanupFrame& operator=(const CleanupFrame&) = delete;

    void RunOnce();

private:
    os::FrameLink link_;  // first: the OS layer hands the frame back by it
    Work work_;
    void* context_;
    bool done_ = false;

    friend void RunFrameCleanup(os::FrameLink& frame);
};
