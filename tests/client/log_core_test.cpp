// With the core in the process, the client's lines go through its logMessage (found at run
// time; this program exports its own, and vornaCoreCapture, the way libvorna.so does).
#include <stdarg.h>
#include <stdio.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log.h"

namespace {
struct Line {
    uint64_t level;
    std::string text;
};
std::vector<Line> lines;
}  // namespace

extern "C" __attribute__((visibility("default"))) void logMessage(uint64_t level, const char *format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    lines.push_back({level, text});
}

// What marks this program as the core; never called here.
extern "C" __attribute__((visibility("default"))) void vornaCoreCapture(void *, unsigned long) {}

TEST(ClientLog, GoesThroughTheCoresLogMessage) {
    testing::internal::CaptureStderr();
    mivo::clientLog(mivo::LogWarn, "mivoClientCreate(): fps %s is %d%%\n", "x", 100);
    mivo::clientLog(mivo::LogDebug, "detail\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, mivo::LogWarn);
    EXPECT_EQ(lines[0].text, "mivoClientCreate(): fps x is 100%\n");
    EXPECT_EQ(lines[1].level, mivo::LogDebug) << "the core applies its own verbosity";
}
