// The client's log lines when no core is in the process: the core's line format on stderr.
#include <locale.h>

#include <regex>

#include <gtest/gtest.h>

#include "log.h"

namespace mivo {
namespace {

std::string logged(uint64_t level, double value) {
    testing::internal::CaptureStderr();
    clientLog(level, "mivoClientDestroy(): wrote %.2f seconds\n", value);
    return testing::internal::GetCapturedStderr();
}

TEST(ClientLog, WritesTheCoreLineFormatToStderr) {
    struct Case {
        uint64_t level;
        const char *name;
    } cases[] = {{LogPanic, "PANIC"}, {LogError, "ERROR"}, {LogWarn, "WARN "}, {LogInfo, "INFO "}};
    for (const Case &c : cases) {
        const std::regex line(std::string(R"(\[ \d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} \| )") + c.name +
                              R"( \]: mivoClientDestroy\(\): wrote 2\.50 seconds\n)");
        const std::string text = logged(c.level, 2.5);
        EXPECT_TRUE(std::regex_match(text, line)) << "[" << text << "]";
    }
    EXPECT_EQ(logged(LogDebug, 1), "") << "without the core's verbosity, DEBUG stays quiet";
}

TEST(ClientLog, NumbersIgnoreTheProgramsLocale) {
    const std::string previous = setlocale(LC_ALL, nullptr);
    if (!setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "no de_DE.UTF-8 locale";
    char german[16];
    snprintf(german, sizeof german, "%.2f", 2.5);
    const std::string text = logged(LogInfo, 2.5);
    setlocale(LC_ALL, previous.c_str());
    ASSERT_STREQ(german, "2,50") << "the locale does not change printf here";
    EXPECT_NE(text.find("wrote 2.50 seconds"), std::string::npos) << text;
}

}  // namespace
}  // namespace mivo
