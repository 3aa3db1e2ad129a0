// When the frame path takes a frame: at most fps a second, whatever the program's own rate.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "pacing.h"

namespace mivo {
namespace {

constexpr int64_t kMs = 1000000;

struct PacingCase {
    const char *name;
    double fps;
    std::function<int64_t(int)> frameTime;  // when the program's i-th frame comes, ns
    int frames;                             // how many the program draws
    int minDue, maxDue;
};

class Pacer : public ::testing::TestWithParam<PacingCase> {};

TEST_P(Pacer, TakesTheFramesDue) {
    const PacingCase &c = GetParam();
    const int64_t start = 5000 * kMs;
    FramePacer pacer(c.fps, start);
    int due = 0;
    int64_t last = -1, closest = INT64_MAX;
    for (int i = 0; i < c.frames; ++i) {
        int64_t now = start + c.frameTime(i);
        if (!pacer.due(now)) continue;
        ++due;
        if (last >= 0 && now - last < closest) closest = now - last;
        last = now;
    }
    EXPECT_GE(due, c.minDue);
    EXPECT_LE(due, c.maxDue);
    // Early by a quarter period at most: no two frames closer than that, not even after a stall.
    EXPECT_GE(closest, pacer.periodNs() * 3 / 4);
}

INSTANTIATE_TEST_SUITE_P(
    Client, Pacer,
    ::testing::Values(
        // One second of frames at 200 a second: 30 taken.
        PacingCase{"fast_program", 30, [](int i) { return i * 5 * kMs; }, 200, 30, 31},
        // Slower than the recording rate: every frame.
        PacingCase{"slow_program", 30, [](int i) { return i * 100 * kMs; }, 10, 10, 10},
        PacingCase{"twenty_fps", 30, [](int i) { return i * 50 * kMs; }, 20, 20, 20},
        // At the recording rate, a millisecond of jitter either way loses nothing.
        PacingCase{"jittery_at_the_rate", 60,
                   [](int i) { return i * 16667000 + (i % 2 ? kMs : -kMs); }, 60, 60, 60},
        // A program that stalls for a second gets no burst afterwards: after the stall at most
        // 30 a second again (frames every 5 ms from 1.2 s to 2.2 s).
        PacingCase{"stall_then_fast", 30,
                   [](int i) { return i == 0 ? 0 : 1200 * kMs + (i - 1) * 5 * kMs; }, 201, 31,
                   33},
        PacingCase{"one_fps", 1, [](int i) { return i * 10 * kMs; }, 300, 3, 4}),
    [](const ::testing::TestParamInfo<PacingCase> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace mivo
