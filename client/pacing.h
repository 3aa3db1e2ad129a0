// When the next frame is due: at most `fps` frames a second, on CLOCK_MONOTONIC.
#pragma once

#include <cstdint>

namespace mivo {

int64_t monotonicNowNs();

class FramePacer {
public:
    FramePacer(double fps, int64_t startNs);

    // True when a frame taken at `nowNs` is due; the next one is then due one period later.
    bool due(int64_t nowNs);

    int64_t periodNs() const { return period_; }

private:
    int64_t period_;
    int64_t slack_;
    int64_t next_;
};

}  // namespace mivo
