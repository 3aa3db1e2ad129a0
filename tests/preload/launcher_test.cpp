// The vorna command: LD_PRELOAD composition, and the command line as users meet it.
#include "preload_list.h"
#include "spawn.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

using vorna_test::Outcome;
using vorna_test::run;
using vorna_test::TempDir;

namespace {

std::string canonical(const std::string &path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? resolved : path;
}

const std::string preload = canonical(VORNA_PRELOAD);
const std::string vornaCommand = VORNA_COMMAND;

struct PreloadCase {
    const char *current;  // null: LD_PRELOAD unset; "P" stands for our layer's path
    const char *expected;
};

std::string expand(const char *text) {
    std::string result;
    for (const char *c = text; *c; ++c) {
        if (*c == 'P')
            result += preload;
        else if (*c == 'Q')
            result += std::filesystem::path(preload).parent_path().string() + "/./libvorna-preload.so";
        else
            result += *c;
    }
    return result;
}

TEST(WithPreload, AddsTheLayerOnceAndDropsOtherCopies) {
    // Library names below avoid the letters P and Q, which stand for paths of our layer.
    const PreloadCase cases[] = {
        {nullptr, "P"},
        {"", "P"},
        {"libfoo.so", "libfoo.so:P"},
        {"libfoo.so:", "libfoo.so:P"},
        {"libfoo.so libbar.so", "libfoo.so libbar.so:P"},
        {"P", "P"},
        {"libfoo.so:P", "libfoo.so:P"},
        {"P libfoo.so", "P libfoo.so"},
        {"Q", "Q"},
        {"/elsewhere/libvorna-preload.so", "P"},
        {"libfoo.so:/elsewhere/libvorna-preload.so libbar.so", "libfoo.so:libbar.so:P"},
        {"/elsewhere/libvorna-preload.so:P", "P"},
    };
    for (const PreloadCase &c : cases) {
        const std::string current = c.current ? expand(c.current) : std::string();
        EXPECT_EQ(vorna::withPreload(c.current ? current.c_str() : nullptr, preload), expand(c.expected))
            << "LD_PRELOAD was " << (c.current ? "'" + current + "'" : "unset");
    }
}

struct CommandCase {
    std::vector<std::string> arguments;
    int exitCode;
    std::string out;  // exact, or the beginning when it ends in "..."
    std::string err;
};

void expectOutput(const std::string &actual, const std::string &expected, const std::string &what) {
    const std::string ellipsis = "...";
    if (expected.size() >= 3 && expected.compare(expected.size() - 3, 3, ellipsis) == 0)
        EXPECT_EQ(actual.substr(0, expected.size() - 3), expected.substr(0, expected.size() - 3)) << what;
    else
        EXPECT_EQ(actual, expected) << what;
}

void expectCase(const CommandCase &c, const std::map<std::string, std::optional<std::string>> &environment = {},
                const std::string &input = std::string()) {
    std::vector<std::string> argv{vornaCommand};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    Outcome outcome = run(argv, environment, input);
    std::string shown = "vorna";
    for (const std::string &argument : c.arguments) shown += " '" + argument + "'";
    EXPECT_EQ(outcome.exitCode, c.exitCode) << shown << "\nstderr: " << outcome.err;
    expectOutput(outcome.out, c.out, shown + " (stdout)");
    expectOutput(outcome.err, c.err, shown + " (stderr)");
}

TEST(VornaCommand, HelpVersionAndUsageErrors) {
    const CommandCase cases[] = {
        {{"--version"}, 0, "vorna 0.1.0\n", ""},
        {{"-V"}, 0, "vorna 0.1.0\n", ""},
        {{"--help"}, 0, "Usage: vorna COMMAND [ARGS...]\n...", ""},
        {{"help"}, 0, "Usage: vorna COMMAND [ARGS...]\n...", ""},
        {{"help", "run"}, 0, "Usage: vorna run [--record] [--profile NAME] [--] PROGRAM [ARGS...]\n...", ""},
        {{"run", "--help"}, 0, "Usage: vorna run [--record] [--profile NAME] [--] PROGRAM [ARGS...]\n...", ""},
        {{"config", "-h"}, 0, "Usage: vorna config [--profile NAME] [PROGRAM]\n...", ""},
        {{}, 2, "", "vorna: missing command; try 'vorna --help'\n"},
        {{"record"}, 2, "", "vorna: no such command 'record'; try 'vorna --help'\n"},
        {{"--verbose"}, 2, "", "vorna: unknown option '--verbose'; try 'vorna --help'\n"},
        {{"help", "record"}, 2, "", "vorna: no such command 'record'; try 'vorna --help'\n"},
        {{"run"}, 2, "", "vorna: missing program; try 'vorna --help'\n"},
        {{"run", "--"}, 2, "", "vorna: missing program; try 'vorna --help'\n"},
        {{"run", "--fps", "60", "glxgears"}, 2, "", "vorna: run: unknown option '--fps'; try 'vorna run --help'\n"},
        {{"run", "--profile"}, 2, "", "vorna: run: --profile needs a name; try 'vorna run --help'\n"},
        {{"run", "--profile", "../x", "sh"},
         2,
         "",
         "vorna: run: '../x' is no profile name (it names a file in ~/.vorna/profiles/)\n"},
        {{"config", "a", "b"}, 2, "", "vorna: config: takes at most one program; try 'vorna config --help'\n"},
    };
    for (const CommandCase &c : cases) expectCase(c);
}

TEST(VornaCommand, RunReportsProgramsThatCannotStart) {
    TempDir dir;
    const std::string notExecutable = dir.path() + "/notes.txt";
    std::ofstream(notExecutable) << "hello\n";
    const CommandCase cases[] = {
        {{"run", "vorna-no-such-program"}, 127, "", "vorna: vorna-no-such-program: command not found\n"},
        {{"run", "./no/such/program"}, 127, "", "vorna: ./no/such/program: No such file or directory\n"},
        {{"run", notExecutable}, 126, "", "vorna: " + notExecutable + ": Permission denied\n"},
    };
    for (const CommandCase &c : cases) expectCase(c);
}

TEST(VornaCommand, RunHandsOverExitStatusStreamsAndEnvironment) {
    const char *printPreload = "printf %s \"$LD_PRELOAD\"";
    expectCase({{"run", "sh", "-c", "exit 7"}, 7, "", ""});
    expectCase({{"run", "--", "sh", "-c", "echo out; echo err >&2"}, 0, "out\n", "err\n"});
    expectCase({{"run", "cat"}, 0, "typed into the program\n", ""}, {}, "typed into the program\n");
    expectCase({{"run", "sh", "-c", "kill -TERM $$"}, -SIGTERM, "", ""});
    expectCase({{"run", "sh", "-c", printPreload}, 0, preload, ""}, {{"LD_PRELOAD", std::nullopt}});
    // vorna itself starts with that LD_PRELOAD; in the sanitizer build its ASan runtime would
    // refuse to run behind a preloaded library.
    const std::string asan = std::string(getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "") + ":verify_asan_link_order=0";
    expectCase({{"run", "sh", "-c", printPreload}, 0, "libm.so.6:" + preload, ""},
               {{"LD_PRELOAD", "libm.so.6"}, {"ASAN_OPTIONS", asan}});
    expectCase({{"run", "sh", "-c", printPreload}, 0, preload, ""}, {{"LD_PRELOAD", preload}, {"ASAN_OPTIONS", asan}});
    expectCase({{"run", "--profile", "lowres", "sh", "-c", "printf %s \"$VORNA\""}, 0, "lowres", ""},
               {{"VORNA", std::nullopt}});
    expectCase({{"run", "--profile=night", "--", "sh", "-c", "printf %s \"$VORNA\""}, 0, "night", ""});
    expectCase({{"run", "--record", "sh", "-c", "printf %s \"$VORNA_RECORD_AT_START\""}, 0, "1", ""},
               {{"VORNA_RECORD_AT_START", std::nullopt}});
    // A plain run inside a recording one, as a launcher under `vorna run --record` may start.
    expectCase({{"run", "sh", "-c", "printf %s \"${VORNA_RECORD_AT_START-unset}\""}, 0, "unset", ""},
               {{"VORNA_RECORD_AT_START", "1"}});
    expectCase({{"config", "--record"}, 2, "", "vorna: config: unknown option '--record'; try 'vorna config --help'\n"});
}

TEST(VornaCommand, RunWithoutTheLayerNextToItSaysWhereItLooked) {
    TempDir prefix;
    std::filesystem::create_directories(prefix.path() + "/bin");
    const std::string copy = prefix.path() + "/bin/vorna";
    std::filesystem::copy_file(vornaCommand, copy);
    Outcome outcome = run({copy, "run", "true"});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.err, "vorna: libvorna-preload.so not found next to " + copy + " (looked in " +
                               prefix.path() + "/lib/vorna)\n");
}

TEST(VornaCommand, RunRefusesALayerPathThatLdPreloadCannotCarry) {
    TempDir dir;
    const std::string prefix = dir.path() + "/My Games";
    std::filesystem::create_directories(prefix + "/bin");
    std::filesystem::create_directories(prefix + "/lib/vorna");
    std::filesystem::copy_file(vornaCommand, prefix + "/bin/vorna");
    std::filesystem::copy_file(preload, prefix + "/lib/vorna/libvorna-preload.so");
    Outcome outcome = run({prefix + "/bin/vorna", "run", "true"});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.err, "vorna: " + prefix +
                               "/lib/vorna/libvorna-preload.so can't go into LD_PRELOAD: its path holds a blank or a "
                               "colon; install Vorna elsewhere\n");
}

TEST(VornaCommand, ConfigShowsTheFilesAndTheSettingsTheCoreMakesOfThem) {
    TempDir home;
    std::filesystem::create_directories(home.path() + "/.vorna/programs");
    std::filesystem::create_directories(home.path() + "/.vorna/profiles");
    std::ofstream(home.path() + "/.vorna/conf") << "FPS = 25\nHOTKEY = F12\nVERBOSE = 4\n";
    std::ofstream(home.path() + "/.vorna/programs/glxgears") << "SCALE = 2\nINSETS = 1 2 3 4\n";
    std::ofstream(home.path() + "/.vorna/profiles/lowres") << "FPS = 10\n";
    const std::string base = home.path() + "/.vorna/";

    Outcome outcome = run({vornaCommand, "config", "--profile", "lowres", "/usr/bin/glxgears"},
                          {{"HOME", home.path()}, {"VORNA", std::nullopt}});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    const std::string &out = outcome.out;
    for (const char *line : {"Program: glxgears\n", "  OUTPUT = file:///tmp/vorna.mivo\n", "  HOTKEY = F12\n",
                                    "  FPS = 10\n", "  INSETS = 1 2 3 4\n", "  SCALE = 2\n", "  VERBOSE = 4\n"})
        EXPECT_NE(out.find(line), std::string::npos) << "missing '" << line << "' in:\n" << out;
    const std::string files[] = {"/usr/local/etc/vorna/conf", base + "conf", base + "programs/glxgears",
                                 base + "profiles/lowres"};
    std::string::size_type previous = 0;
    for (const std::string &file : files) {
        std::string::size_type at = out.find("  " + file + " ");
        ASSERT_NE(at, std::string::npos) << file << " not listed in:\n" << out;
        EXPECT_GT(at, previous) << file << " out of order in:\n" << out;
        previous = at;
        if (file != files[0]) {
            EXPECT_NE(out.substr(at, out.find('\n', at) - at).find("(read)"), std::string::npos)
                << file << " exists and is read:\n" << out;
        }
    }
    // The core's own lines: one per file it tries, then its summary.
    EXPECT_NE(outcome.err.find("Merging configuration from '" + base + "profiles/lowres'"), std::string::npos)
        << outcome.err;
    EXPECT_NE(outcome.err.find("HOTKEY: F12, FPS: 10.0, INSETS: 1/2/3/4"), std::string::npos) << outcome.err;
}

}  // namespace
