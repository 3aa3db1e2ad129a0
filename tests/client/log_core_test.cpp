// With the core in the process, the client's lines go through its logMessage (found at run
// time; this program exports its own, and vornaCoreCapture, the way libvorna.so does).
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "log.h"
#include "recorder.h"

namespace {
struct Line {
    uint64_t level;
    std::string text;
    pthread_t thread;
};
std::mutex linesLock;
std::vector<Line> lines;
}  // namespace

extern "C" __attribute__((visibility("default"))) void logMessage(uint64_t level, const char *format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(linesLock);
    lines.push_back({level, text, pthread_self()});
}

// What marks this program as the core; never called here.
extern "C" __attribute__((visibility("default"))) void vornaCoreCapture(void *, unsigned long) {}

TEST(ClientLog, GoesThroughTheCoresLogMessage) {
    lines.clear();
    testing::internal::CaptureStderr();
    mivo::clientLog(mivo::LogWarn, "mivoClientCreate(): fps %s is %d%%\n", "x", 100);
    mivo::clientLog(mivo::LogDebug, "detail\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, mivo::LogWarn);
    EXPECT_EQ(lines[0].text, "mivoClientCreate(): fps x is 100%\n");
    EXPECT_EQ(lines[1].level, mivo::LogDebug) << "the core applies its own verbosity";
}

// The core's logMessage is not for two threads at once, and the program's thread may be in the
// core at any moment: a write error found by the worker is said by the frame path's thread.
TEST(ClientLog, AWorkersErrorIsSaidOnTheFramePathsThread) {
    char dir[] = "/tmp/client-log-core-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    mivo::RecorderSettings settings;
    settings.width = 32;
    settings.height = 32;
    settings.path = std::string(dir) + "/removed.mivo";
    std::string error;
    auto recorder = mivo::startRecorder(settings, &error);
    ASSERT_TRUE(recorder) << error;
    std::vector<uint8_t> pixels(32 * 32 * 4, 0x80);
    std::atomic<bool> busy{false};
    auto submit = [&] {
        while (busy.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        busy = true;
        mivo::FrameRef frame;
        frame.pixels = pixels.data();
        frame.stride = 32 * 4;
        frame.captureTimeNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count();
        frame.busy = &busy;
        mivo::submitFrame(*recorder, frame);
    };
    submit();
    ASSERT_EQ(unlink(settings.path.c_str()), 0);
    lines.clear();
    // The worker looks for a removed file every half second.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!mivo::recorderFailed(*recorder) && std::chrono::steady_clock::now() < deadline) {
        submit();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(mivo::recorderFailed(*recorder));
    mivo::finishRecorder(std::move(recorder));
    rmdir(dir);

    std::lock_guard<std::mutex> guard(linesLock);
    int errors = 0;
    for (const Line &line : lines) {
        if (line.level != mivo::LogError) continue;
        ++errors;
        EXPECT_TRUE(pthread_equal(line.thread, pthread_self())) << "said on another thread: " << line.text;
        EXPECT_NE(line.text.find("removed.mivo failed: the file was removed"), std::string::npos) << line.text;
    }
    EXPECT_EQ(errors, 1);
}
