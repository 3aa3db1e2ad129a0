// The four configuration files and their order, the output name completion, the summary.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "fixture.h"
#include "vorna.h"

namespace {

using Files = CoreTest;

TEST_F(Files, LaterFilesWin)
{
    home().write("conf", "FPS = 60\nSCALE = 2\n");
    home().write(programFile(), "FPS = 24\n");
    reload();
    EXPECT_EQ(settingText("fps"), "24");
    EXPECT_EQ(settingText("scale"), "2");
}

TEST_F(Files, ProfileOnlyWithVornaSet)
{
    home().write(programFile(), "FPS = 24\n");
    home().write("profiles/lowres", "FPS = 12\nSCALE = 2\n");
    reload();
    EXPECT_EQ(settingText("fps"), "24");
    setenv("VORNA", "lowres", 1);
    reload();
    EXPECT_EQ(settingText("fps"), "12");
    EXPECT_EQ(settingText("scale"), "2");
}

TEST_F(Files, RemovedLineFallsBackToDefault)
{
    home().write("conf", "SCALE = 2\n");
    reload();
    ASSERT_EQ(settingText("scale"), "2");
    home().write("conf", "FPS = 50\n");
    reload();
    EXPECT_EQ(settingText("scale"), "0");
}

TEST_F(Files, DebugLineForEveryCandidate)
{
    const std::string base = home().path() + "/.vorna/";
    std::vector<std::string> expected = {
        "DEBUG|Merging configuration from '/usr/local/etc/vorna/conf'",
        "DEBUG|Merging configuration from '" + base + "conf'",
        "DEBUG|Merging configuration from '" + base + programFile() + "'",
    };
    EXPECT_EQ(logLinesAt(reload(), "DEBUG"), expected);

    setenv("VORNA", "lowres", 1);
    expected.push_back("DEBUG|Merging configuration from '" + base + "profiles/lowres'");
    EXPECT_EQ(logLinesAt(reload(), "DEBUG"), expected);
}

TEST_F(Files, EarlierVerboseFiltersLaterDebugLines)
{
    home().write("conf", "VERBOSE = 3\n");
    setenv("VORNA", "lowres", 1);
    const std::vector<std::string> expected = {
        "DEBUG|Merging configuration from '/usr/local/etc/vorna/conf'",
        "DEBUG|Merging configuration from '" + home().path() + "/.vorna/conf'",
    };
    EXPECT_EQ(logLinesAt(reload(), "DEBUG"), expected);
}

TEST_F(Files, WithoutHomeOnlyTheSystemFile)
{
    home().write("conf", "FPS = 60\n");
    setenv("VORNA", "lowres", 1);
    unsetenv("HOME");
    const std::string log = reload();
    const std::vector<std::string> expected = {"DEBUG|Merging configuration from '/usr/local/etc/vorna/conf'"};
    EXPECT_EQ(logLinesAt(log, "DEBUG"), expected);
    EXPECT_EQ(settingText("fps"), "30");
}

TEST_F(Files, UnreadableFileIsSkipped)
{
    home().write("conf", "FPS = 60\n");
    // A folder where a file is expected opens, but yields no lines.
    home().write("programs/" + std::string(program_invocation_short_name) + "/inner", "FPS = 24\n");
    const std::string log = reload();
    EXPECT_EQ(settingText("fps"), "60");
    EXPECT_EQ(logLinesAt(log, "INFO ").size(), 3u);
}

struct OutputCase {
    const char *name;
    const char *output;
    bool completed;
};

const OutputCase outputCases[] = {
    {"FileFolder", "file:///tmp/", true},
    {"FileRootFolder", "file:///", true},
    {"FileName", "file:///tmp/out.mivo", false},
    {"OtherScheme", "http://example.com/", false},
    {"NoScheme", "/tmp/", false},
    {"OneSlashScheme", "file:/tmp/", false},
};

class OutputName : public CoreTest, public testing::WithParamInterface<OutputCase> {};

TEST_P(OutputName, CompletedOnlyForFileFolders)
{
    const std::string output = GetParam().output;
    home().write("conf", "OUTPUT = " + output + "\n");
    reload();
    if (GetParam().completed) {
        const std::regex name(output + program_invocation_short_name +
                              R"(-\d{4}-\d{2}-\d{2}-\d{2}:\d{2}:\d{2}\.mivo)");
        EXPECT_TRUE(std::regex_match(settingText("output"), name)) << settingText("output");
    } else {
        EXPECT_EQ(settingText("output"), output);
    }
}

INSTANTIATE_TEST_SUITE_P(Outputs, OutputName, testing::ValuesIn(outputCases),
                         [](const testing::TestParamInfo<OutputCase> &info) { return info.param.name; });

// The room left (1024 less the text) must exceed the name's length plus 27.
TEST_F(Files, OutputRoomBoundary)
{
    const size_t name = strlen(program_invocation_short_name);
    const std::string head = "file:///";
    auto folderOfLength = [&](size_t length) { return head + std::string(length - head.size() - 1, 'd') + "/"; };

    const std::string tight = folderOfLength(1024 - (name + 27));
    home().write("conf", "OUTPUT = " + tight + "\n");
    reload();
    EXPECT_EQ(settingText("output"), tight);

    const std::string roomy = folderOfLength(1024 - (name + 28));
    home().write("conf", "OUTPUT = " + roomy + "\n");
    reload();
    const std::string completed = settingText("output");
    EXPECT_EQ(completed.size(), roomy.size() + name + 25);
    EXPECT_EQ(completed.compare(0, roomy.size(), roomy), 0);
    EXPECT_EQ(completed.substr(completed.size() - 5), ".mivo");
}

using Summary = CoreTest;

TEST_F(Summary, Defaults)
{
    const std::vector<std::string> expected = {
        "INFO |Active configuration (log-level: 5):",
        "INFO |   HOTKEY: F8, FPS: 30.0, INSETS: 0/0/0/0",
        "INFO |   OUTPUT: file:///tmp/vorna.mivo, SCALE: 0",
    };
    EXPECT_EQ(logLinesAt(reload(), "INFO "), expected);
}

TEST_F(Summary, ShowsFileValues)
{
    home().write("conf",
                 "VERBOSE = 4294967299\nHOTKEY = NoSuchKey\nFPS = 24.94\nINSETS = 1 2 3 4294967295\n"
                 "OUTPUT = file:///tmp/100%s.mivo\nSCALE = 2\n");
    const std::vector<std::string> expected = {
        "INFO |Active configuration (log-level: 4294967299):",
        "INFO |   HOTKEY: NoSymbol, FPS: 24.9, INSETS: 1/2/3/4294967295",
        "INFO |   OUTPUT: file:///tmp/100%s.mivo, SCALE: 2",
    };
    EXPECT_EQ(logLinesAt(reload(), "INFO "), expected);
}

TEST_F(Summary, NumbersIgnoreHostLocale)
{
    ASSERT_NE(setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "the de_DE.UTF-8 locale is missing: run scripts/install-deps.sh";
    // The host's locale is really in force: its own number reading stops at the '.'.
    ASSERT_EQ(strtod("29.97", nullptr), 29.0);

    home().write("conf", "FPS = 29.97\n");
    const std::string log = reload();
    EXPECT_EQ(vornaGlobal.fps, 29.97);
    EXPECT_EQ(logLinesAt(log, "INFO ").at(1), "INFO |   HOTKEY: F8, FPS: 30.0, INSETS: 0/0/0/0");
    EXPECT_EQ(logLines(captureStderr([] { logMessage(VORNA_LOG_INFO, "%.2f\n", 1.5); })),
              std::vector<std::string>{"INFO |1.50"});
    // And the host keeps its own.
    EXPECT_EQ(strtod("29,97", nullptr), 29.97);
}

}  // namespace
