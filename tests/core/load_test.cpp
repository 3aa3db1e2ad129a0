// What happens when the library is loaded: the process name, the first reload and its log.
// Each case runs in a child process with its own argv[0] and environment.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "fixture.h"

namespace {

using Load = CoreTest;

std::string programLine(const std::string &home, const std::string &name)
{
    return "DEBUG|Merging configuration from '" + home + "/.vorna/programs/" + name + "'";
}

struct NameCase {
    const char *label;
    const char *argv0;
    const char *name;
};

const NameCase nameCases[] = {
    {"Installed", "/usr/local/bin/glxgears", "glxgears"},
    {"LastDotCut", "./game.x86_64", "game"},
    {"VersionDotCut", "/usr/bin/python3.11", "python3"},
    {"HiddenFile", "./.hidden", ""},
    {"NoFolder", "plain", "plain"},
    {"OnlyLastDotCut", "archive.tar.gz", "archive.tar"},
    {"EndsInSlash", "odd/folder/", ""},
    {"Empty", "", ""},
};

class ProcessName : public CoreTest, public testing::WithParamInterface<NameCase> {};

TEST_P(ProcessName, NamesTheProgramFile)
{
    const ChildResult child = runProbe(GetParam().argv0, "settings", {"HOME=" + home().path()});
    ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << child.err;
    const std::vector<std::string> debug = logLinesAt(child.err, "DEBUG");
    ASSERT_EQ(debug.size(), 3u) << child.err;
    EXPECT_EQ(debug[2], programLine(home().path(), GetParam().name));
}

INSTANTIATE_TEST_SUITE_P(Argv0, ProcessName, testing::ValuesIn(nameCases),
                         [](const testing::TestParamInfo<NameCase> &info) { return info.param.label; });

TEST_F(Load, FirstReloadLogsDefaults)
{
    const ChildResult child = runProbe("/opt/demo/bin/demo", "settings", {"HOME=" + home().path()});
    ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << child.err;
    const std::vector<std::string> expected = {
        "DEBUG|Merging configuration from '/usr/local/etc/vorna/conf'",
        "DEBUG|Merging configuration from '" + home().path() + "/.vorna/conf'",
        programLine(home().path(), "demo"),
        "INFO |Active configuration (log-level: 5):",
        "INFO |   HOTKEY: F8, FPS: 30.0, INSETS: 0/0/0/0",
        "INFO |   OUTPUT: file:///tmp/vorna.mivo, SCALE: 0",
    };
    EXPECT_EQ(logLines(child.err), expected);
    EXPECT_EQ(child.out, "verbosity=5\nhotkey=F8\ninsets=0/0/0/0\nscale=0\nfps=30\noutput=file:///tmp/vorna.mivo\n");
}

TEST_F(Load, ProgramAndProfileFiles)
{
    home().write("conf", "FPS = 60\nINSETS = 0 0 22 0\n");
    home().write("programs/glxgears", "FPS = 24\nHOTKEY = F12\n");
    home().write("profiles/lowres", "SCALE = 2\n");
    const ChildResult child =
        runProbe("/usr/local/bin/glxgears", "settings", {"HOME=" + home().path(), "VORNA=lowres"});
    ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << child.err;
    EXPECT_EQ(logLinesAt(child.err, "DEBUG").back(),
              "DEBUG|Merging configuration from '" + home().path() + "/.vorna/profiles/lowres'");
    EXPECT_EQ(child.out, "verbosity=5\nhotkey=F12\ninsets=0/0/22/0\nscale=2\nfps=24\noutput=file:///tmp/vorna.mivo\n");
}

TEST_F(Load, WithoutHome)
{
    const ChildResult child = runProbe("/usr/bin/demo", "settings", {"VORNA=lowres"});
    ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << child.err;
    EXPECT_EQ(logLinesAt(child.err, "DEBUG"),
              std::vector<std::string>{"DEBUG|Merging configuration from '/usr/local/etc/vorna/conf'"});
    EXPECT_EQ(logLinesAt(child.err, "INFO ").size(), 3u);
}

TEST_F(Load, NamelessProgramFolderOutputStartsWithHyphen)
{
    home().write("conf", "OUTPUT = file:///tmp/\n");
    const ChildResult child = runProbe("./.hidden", "settings", {"HOME=" + home().path()});
    ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << child.err;
    const std::string prefix = "output=file:///tmp/-";
    EXPECT_NE(child.out.find(prefix), std::string::npos) << child.out;
}

TEST_F(Load, FirstPressStampedZeroIsIgnored)
{
    const ChildResult child = runProbe("probe", "time-zero", {"HOME=" + home().path()});
    ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << child.err;
    EXPECT_EQ(child.out, "time 0: 0 created\ntime 5: 1 created\n");
    EXPECT_EQ(logLinesAt(child.err, "INFO ").size(), 3u + 1u + 3u)
        << "summary at load, one starting line, summary at the start";
}

}  // namespace
