// The client's lines reach the core's logMessage also when the core, and the client with it,
// was loaded privately (RTLD_LOCAL), the way the preload layer loads it: the core's verbosity
// then decides what is printed.
#include <dlfcn.h>

#include <string>

#include <gtest/gtest.h>

#include "mivo.h"
#include "vorna.h"

namespace {

TEST(ClientLogScope, APrivatelyLoadedCoreCarriesTheClientsLines) {
    void *core = dlopen(VORNA_CORE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(core) << dlerror();
    auto *settings = static_cast<Settings *>(dlsym(core, "vornaGlobal"));
    auto create = reinterpret_cast<MivoClient *(*)(const CaptureParams *)>(dlsym(core, "mivoClientCreate"));
    ASSERT_TRUE(settings && create);
    ASSERT_EQ(dlsym(RTLD_DEFAULT, "logMessage"), nullptr) << "the core must not be global here";

    const CaptureParams params = {64, 48, 0, 30.0, "rtmp://example/live"};
    settings->verbosity = VORNA_LOG_PANIC;
    testing::internal::CaptureStderr();
    EXPECT_EQ(create(&params), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "")
        << "the client printed past the core's verbosity: it did not find the core";

    settings->verbosity = VORNA_LOG_ERROR;
    testing::internal::CaptureStderr();
    EXPECT_EQ(create(&params), nullptr);
    const std::string text = testing::internal::GetCapturedStderr();
    EXPECT_NE(text.find("| ERROR ]: mivoClientCreate(): cannot record to 'rtmp://example/live': "
                        "the scheme 'rtmp' is not supported"),
              std::string::npos)
        << text;
}

}  // namespace
