// Log lines: the level filter, the line format, what does not fit.
#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "fixture.h"
#include "vorna.h"

namespace {

struct FilterCase {
    const char *label;
    uint64_t verbosity;
    uint64_t level;
    const char *printedAs;  // null: nothing is printed
};

const FilterCase filterCases[] = {
    {"InfoAboveWarn", 2, 3, nullptr},
    {"WarnAtWarn", 2, 2, "WARN "},
    {"DebugByDefault", 5, 4, "DEBUG"},
    {"PanicAtZero", 0, 0, "PANIC"},
    {"ErrorAboveZero", 0, 1, nullptr},
    {"ErrorAtError", 1, 1, "ERROR"},
    {"InfoAtInfo", 3, 3, "INFO "},
    {"BeyondDebugAboveVerbosity", 4, 5, nullptr},
    {"FirstBeyondDebugByDefault", 5, 5, "TRACE"},
    {"BeyondDebugSubstituteName", 9, 7, "TRACE"},
    {"HighestLevel", UINT64_MAX, UINT64_MAX, "TRACE"},
};

class LogFilter : public CoreTest, public testing::WithParamInterface<FilterCase> {};

TEST_P(LogFilter, PrintsLevelsUpToVerbosity)
{
    vornaGlobal.verbosity = GetParam().verbosity;
    const std::string log = captureStderr([] { logMessage(GetParam().level, "hello %d\n", 42); });
    if (GetParam().printedAs == nullptr)
        EXPECT_EQ(log, "");
    else
        EXPECT_EQ(logLines(log), std::vector<std::string>{std::string(GetParam().printedAs) + "|hello 42"});
}

INSTANTIATE_TEST_SUITE_P(Levels, LogFilter, testing::ValuesIn(filterCases),
                         [](const testing::TestParamInfo<FilterCase> &info) { return info.param.label; });

using Log = CoreTest;

TEST_F(Log, AfterResetEveryLevelIsPrinted)
{
    reload();
    const std::string log = captureStderr([] {
        for (uint64_t level = VORNA_LOG_PANIC; level <= VORNA_LOG_DEBUG; ++level)
            logMessage(level, "level %d\n", static_cast<int>(level));
    });
    const std::vector<std::string> expected = {"PANIC|level 0", "ERROR|level 1", "WARN |level 2", "INFO |level 3",
                                               "DEBUG|level 4"};
    EXPECT_EQ(logLines(log), expected);
}

TEST_F(Log, LineFormatAndLocalTime)
{
    reload();
    const time_t before = time(nullptr);
    const std::string log = captureStderr([] { logMessage(VORNA_LOG_INFO, "Vorna says %s\n", "hi"); });
    const time_t after = time(nullptr);

    std::smatch m;
    ASSERT_TRUE(std::regex_match(log, m, std::regex(R"(\[ (\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}) \| INFO  \]: Vorna says hi\n)")))
        << log;
    struct tm stamp = {};
    ASSERT_NE(strptime(m[1].str().c_str(), "%Y/%m/%d %H:%M:%S", &stamp), nullptr);
    stamp.tm_isdst = -1;
    const time_t logged = mktime(&stamp);
    EXPECT_GE(logged, before - 1);
    EXPECT_LE(logged, after);
}

TEST_F(Log, PercentSignInArgumentIsWrittenUnchanged)
{
    reload();
    const std::string log = captureStderr([] { logMessage(VORNA_LOG_INFO, "path '%s'\n", "/tmp/100%s%n.mivo"); });
    EXPECT_EQ(logLines(log), std::vector<std::string>{"INFO |path '/tmp/100%s%n.mivo'"});
}

TEST_F(Log, LongMessageIsCutWithoutLineEnd)
{
    reload();
    const std::string body(5000, 'a');
    const std::string log = captureStderr([&] { logMessage(VORNA_LOG_INFO, "%s\n", body.c_str()); });
    ASSERT_EQ(log.size(), 4095u);
    EXPECT_NE(log.back(), '\n');
    EXPECT_EQ(log.substr(log.size() - 10), std::string(10, 'a'));
    EXPECT_EQ(log.compare(0, 2, "[ "), 0);
}

}  // namespace
