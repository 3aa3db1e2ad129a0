// A program of its own with an exported function called logMessage, and no core: the client's
// lines must not go to it (its arguments are not ours), but to stderr.
#include <string>

#include <gtest/gtest.h>

#include "log.h"

namespace {
int hostCalls = 0;
}  // namespace

extern "C" __attribute__((visibility("default"))) void logMessage(const char *) { ++hostCalls; }

TEST(ClientLog, NeverCallsALogMessageThatIsNotTheCores) {
    testing::internal::CaptureStderr();
    mivo::clientLog(mivo::LogWarn, "mivoClientCreate(): fps %s is %d%%\n", "x", 100);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(hostCalls, 0);
    EXPECT_NE(err.find("| WARN  ]: mivoClientCreate(): fps x is 100%\n"), std::string::npos) << err;
}
