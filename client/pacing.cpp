#include "pacing.h"

#include <time.h>

#include <cmath>

namespace mivo {

int64_t monotonicNowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The due times sit on a grid of whole periods from the start, so the long-run rate never exceeds
// fps. A frame that comes up to a quarter period early still counts: a program swapping at exactly
// the recording rate jitters around the grid and would otherwise lose every other frame.
FramePacer::FramePacer(double fps, int64_t startNs)
    : period_(std::llround(1e9 / fps)), slack_(period_ / 4), next_(startNs) {
    if (period_ < 1) period_ = 1;
}

bool FramePacer::due(int64_t nowNs) {
    if (nowNs < next_ - slack_) return false;
    next_ += period_;
    // A program slower than the recording rate (or one that stalled) is not caught up with a
    // burst of frames: the grid starts again from this frame.
    if (next_ - slack_ <= nowNs) next_ = nowNs + period_;
    return true;
}

}  // namespace mivo
