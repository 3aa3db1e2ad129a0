// The preload layer in real GL programs on Xvfb, against a stand-in core that traces what it
// is handed (hook_probe.cpp drives the steps, standin_core.cpp writes the trace).
#include "spawn.h"

#include <gtest/gtest.h>

#include <regex>

using vorna_test::Outcome;
using vorna_test::readFile;
using vorna_test::run;
using vorna_test::TempDir;

unsigned keycodeOf(const char *keysymName);

namespace {

struct Traced {
    Outcome outcome;
    std::vector<std::string> lines;
};

// Runs the probe with the layer preloaded and returns the trace lines that start with one of
// `kinds`, with the probe's display pointer written as "D".
Traced probe(const char *program, const std::vector<std::string> &arguments, const std::vector<std::string> &kinds,
             const char *preload = STANDIN_PRELOAD, bool recordAtStart = false, const char *hotkey = nullptr) {
    TempDir dir;
    const std::string trace = dir.path() + "/trace";
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Traced traced;
    traced.outcome = run(argv, {{"LD_PRELOAD", std::string(preload)},
                                {"VORNA_TEST_TRACE", trace},
                                {"VORNA_RECORD_AT_START", recordAtStart ? std::optional<std::string>("1") : std::nullopt},
                                {"VORNA_TEST_HOTKEY", hotkey ? std::optional<std::string>(hotkey) : std::nullopt}});

    std::istringstream text(readFile(trace));
    std::string display;
    for (std::string line; std::getline(text, line);) {
        if (line.rfind("mark display ", 0) == 0) {
            display = line.substr(13);
            continue;
        }
        if (!display.empty() && line.size() > display.size() &&
            line.compare(line.size() - display.size(), display.size(), display) == 0)
            line.replace(line.size() - display.size(), display.size(), "D");
        for (const std::string &kind : kinds)
            if (line.rfind(kind, 0) == 0) {
                traced.lines.push_back(line);
                break;
            }
    }
    return traced;
}

std::string joined(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &line : lines) text += line + "\n";
    return text;
}


class EveryEventCall : public testing::TestWithParam<const char *> {};
class CoreLockAndDisplayLock : public testing::TestWithParam<const char *> {};

// Each of the eleven Xlib calls hands its event to the core, peeks as well as takes; the core
// is loaded at the first swap and not before, privately, binding to its own dependencies.
TEST_P(EveryEventCall, PassesEachEventItReturnsToTheCore) {
    const std::string k = std::to_string(keycodeOf("a"));
    Traced traced = probe(GetParam(), {"events"}, {"mark", "core", "event", "capture"});
    ASSERT_EQ(traced.outcome.exitCode, 0) << traced.outcome.err;
    EXPECT_EQ(traced.outcome.err, "");
    const std::vector<std::string> expected = {
        "mark before first swap",
        "core loaded",
        "core own-scope lookup found",
        "core clash library",
        "capture 200x100",
        "mark after first swap",
        "mark global vornaCoreEvent absent",
        "event 2 " + k + " 101 D",  // XNextEvent
        "event 2 " + k + " 102 D",  // XPeekEvent
        "event 2 " + k + " 102 D",  // XWindowEvent takes the peeked one
        "event 2 " + k + " 103 D",  // XCheckWindowEvent
        "event 2 " + k + " 104 D",  // XMaskEvent
        "event 2 " + k + " 105 D",  // XCheckMaskEvent
        "event 2 " + k + " 106 D",  // XCheckTypedEvent
        "event 2 " + k + " 107 D",  // XCheckTypedWindowEvent
        "event 2 " + k + " 108 D",  // XIfEvent
        "event 2 " + k + " 109 D",  // XPeekIfEvent
        "event 2 " + k + " 109 D",  // XCheckIfEvent takes it
        "event 3 " + k + " 110 D",  // a release goes to the core as well
        "mark taken",
        "mark empty queue found 0",
        "mark done",
    };
    EXPECT_EQ(joined(traced.lines), joined(expected));
}

INSTANTIATE_TEST_SUITE_P(LinkedAndOpenedPrivately, EveryEventCall, testing::Values(HOOK_PROBE, HOOK_PROBE_DLOPEN),
                         [](const testing::TestParamInfo<const char *> &info) {
                             return std::string(info.index == 0 ? "linked" : "dlopen");
                         });

// Window a is 200x100, window b 120x80.
TEST(RecordingTarget, OnlyTheFirstDrawableSwappedAfterAPressReachesTheCore) {
    Traced traced = probe(HOOK_PROBE, {"windows"}, {"mark", "capture"});
    ASSERT_EQ(traced.outcome.exitCode, 0) << traced.outcome.err;
    const std::vector<std::string> expected = {
        "capture 200x100",
        "mark b",
        "mark b after press",
        "capture 120x80",
        "mark a",
        "mark a after peeked press",
        "capture 200x100",
        "mark b after the same press taken",
        "mark b after another key",
        "mark b after a hotkey release",
        "mark done",
    };
    EXPECT_EQ(joined(traced.lines), joined(expected));
}

TEST(CoreLock, IsFreeInAChildForkedWhileAnotherThreadIsInsideTheCore) {
    Traced traced = probe(HOOK_PROBE, {"fork"}, {"mark child", "mark done"});
    ASSERT_EQ(traced.outcome.exitCode, 0) << traced.outcome.err;
    EXPECT_EQ(joined(traced.lines), "mark child took its event\nmark done\n");
}

// The press comes while the drawing thread waits inside the core for the display the program
// holds locked: it is taken without waiting, and the core gets it when the frame is through.
TEST_P(CoreLockAndDisplayLock, AKeyPressNeverWaitsForTheCore) {
    const std::string k = std::to_string(keycodeOf("a"));
    Traced traced = probe(GetParam(), {"locked-events"}, {"mark", "capture", "event"});
    ASSERT_EQ(traced.outcome.exitCode, 0) << "the program hung or failed: " << traced.outcome.err;
    EXPECT_EQ(traced.outcome.err, "");
    const std::vector<std::string> expected = {
        "capture 200x100", "mark press taken", "capture 200x100", "event 2 " + k + " 9 D", "mark done",
    };
    EXPECT_EQ(joined(traced.lines), joined(expected));
}

INSTANTIATE_TEST_SUITE_P(LinkedAndOpenedPrivately, CoreLockAndDisplayLock, testing::Values(HOOK_PROBE, HOOK_PROBE_DLOPEN),
                         [](const testing::TestParamInfo<const char *> &info) {
                             return std::string(info.index == 0 ? "linked" : "dlopen");
                         });

struct SwapSource {
    const char *name;
    const char *program;
    const char *from;
};

class SwapFromLookup : public testing::TestWithParam<SwapSource> {};

TEST_P(SwapFromLookup, FramesReachTheCore) {
    Traced traced = probe(GetParam().program, {"frames", "--swap-from", GetParam().from}, {"capture", "mark done"});
    ASSERT_EQ(traced.outcome.exitCode, 0) << traced.outcome.err;
    EXPECT_EQ(joined(traced.lines), "capture 200x100\ncapture 200x100\ncapture 200x100\nmark done\n");
}

INSTANTIATE_TEST_SUITE_P(GetProcAddress, SwapFromLookup,
                         testing::Values(SwapSource{"arb", HOOK_PROBE, "arb"}, SwapSource{"plain", HOOK_PROBE, "plain"},
                                         SwapSource{"dlopen_arb", HOOK_PROBE_DLOPEN, "arb"},
                                         SwapSource{"global_scope", HOOK_PROBE, "default"},
                                         SwapSource{"program_handle", HOOK_PROBE, "self"},
                                         SwapSource{"global_scope_arb", HOOK_PROBE, "default_arb"}),
                         [](const testing::TestParamInfo<SwapSource> &info) { return info.param.name; });

struct GlxDrawableCase {
    const char *name;
    const char *program;
    std::vector<std::string> arguments;
    const char *trace;
};

class GlxDrawables : public testing::TestWithParam<GlxDrawableCase> {};

// The stand-in core measures what it is handed with XGetGeometry, which a GLXWindow or GLX
// pixmap id would fail with BadDrawable and end the probe. Window a is 200x100, b 120x80.
TEST_P(GlxDrawables, ReachTheCoreAsTheWindowsTheyShow) {
    Traced traced = probe(GetParam().program, GetParam().arguments, {"mark", "capture"});
    ASSERT_EQ(traced.outcome.exitCode, 0) << traced.outcome.err;
    EXPECT_EQ(traced.outcome.err, "");
    EXPECT_EQ(joined(traced.lines), GetParam().trace);
}

// GLXWindows of a and b reach the core as those windows.
constexpr const char *kGlxWindowsTrace =
    "capture 200x100\ncapture 200x100\nmark b\nmark b after press\ncapture 120x80\nmark done\n";
// A swap of a pbuffer or a GLX pixmap does nothing: they are no frames and do not take the
// recording; window a, swapped after them, does. (A pbuffer the server would measure, but a
// recording of it would show nothing the program presents.)
constexpr const char *kOffscreenTrace = "mark a\ncapture 200x100\nmark destroyed\nmark done\n";
// XCloseDisplay ends every GLX drawable of its connection, and the layer forgets them with it:
// those left over from a closed connection would fill its table, and window b of the next
// connection would then not be recorded.
constexpr const char *kReconnectTrace = "mark b\ncapture 120x80\nmark done\n";

INSTANTIATE_TEST_SUITE_P(
    LinkedLookedUpAndOpenedPrivately, GlxDrawables,
    testing::Values(
        GlxDrawableCase{"windows_linked", HOOK_PROBE, {"glxwindows"}, kGlxWindowsTrace},
        GlxDrawableCase{"windows_arb", HOOK_PROBE, {"glxwindows", "--glx-from", "arb"}, kGlxWindowsTrace},
        GlxDrawableCase{"windows_dlopen", HOOK_PROBE_DLOPEN, {"glxwindows"}, kGlxWindowsTrace},
        GlxDrawableCase{"offscreen_linked", HOOK_PROBE, {"offscreen"}, kOffscreenTrace},
        GlxDrawableCase{"offscreen_arb", HOOK_PROBE, {"offscreen", "--glx-from", "arb"}, kOffscreenTrace},
        GlxDrawableCase{"offscreen_dlopen", HOOK_PROBE_DLOPEN, {"offscreen"}, kOffscreenTrace},
        GlxDrawableCase{"reconnect_linked", HOOK_PROBE, {"reconnect"}, kReconnectTrace},
        GlxDrawableCase{"reconnect_dlopen", HOOK_PROBE_DLOPEN, {"reconnect"}, kReconnectTrace}),
    [](const testing::TestParamInfo<GlxDrawableCase> &info) { return info.param.name; });

// 258 GLXWindows on windows i of (60 + i)x40: the last two do not fit. Their frames are kept from
// the core (it would ask the server about an id it cannot name), said once; once they are all
// destroyed, plain windows and new GLXWindows are recorded again.
TEST(GlxWindowTable, BeyondItsSizeFramesAreKeptFromTheCoreAndItIsSaidOnce) {
    Traced traced = probe(HOOK_PROBE, {"glxwindows-full"}, {"mark", "capture"});
    ASSERT_EQ(traced.outcome.exitCode, 0) << traced.outcome.err;
    EXPECT_EQ(joined(traced.lines), "mark made 258\nmark last swapped\ncapture 60x40\nmark all destroyed\n"
                                    "capture 317x40\ncapture 316x40\nmark done\n");
    const std::regex oneLine(
        R"(\[ \d{4}/\d\d/\d\d \d\d:\d\d:\d\d \| ERROR \]: glXCreateWindow\(\): more than 256 GLX windows, pbuffers and )"
        R"(pixmaps at once; until some are destroyed, frames of windows Vorna does not know are not recorded\n)");
    EXPECT_TRUE(std::regex_match(traced.outcome.err, oneLine)) << traced.outcome.err;
}

// The recording follows a program that destroys its window and makes a new one; it stays with
// the new one when a third comes. A window that went with its parent is known from the server's
// DestroyNotify.
TEST(RecordedWindow, MadeAnewIsRecordedOn) {
    struct Case {
        const char *mode, *trace;
    } cases[] = {
        {"recreate", "capture 200x100\nmark c\ncapture 120x80\nmark d\nmark c again\ncapture 120x80\nmark done\n"},
        {"destroy-notify", "capture 200x100\nmark c\ncapture 120x80\nmark done\n"},
    };
    for (const Case &c : cases) {
        for (const char *program : {HOOK_PROBE, HOOK_PROBE_DLOPEN}) {
            Traced traced = probe(program, {c.mode}, {"mark", "capture"});
            ASSERT_EQ(traced.outcome.exitCode, 0) << traced.outcome.err;
            EXPECT_EQ(joined(traced.lines), c.trace) << program << " " << c.mode;
        }
    }
}

// Asked of the global scope, where our hooks come first, a name is there only when the real
// function is.
TEST(GlobalScopeLookup, FindsAHookedNameOnlyWhereTheRealOneIsLoaded) {
    for (const char *program : {HOOK_PROBE, HOOK_PROBE_DLOPEN}) {
        const bool linked = program == std::string(HOOK_PROBE);
        Traced traced = probe(program, {"lookups"}, {"mark"});
        ASSERT_EQ(traced.outcome.exitCode, 0) << traced.outcome.err;
        const std::string seen = linked ? "present" : "absent";
        EXPECT_EQ(joined(traced.lines), "mark glXSwapBuffers " + seen + "\nmark glXGetProcAddressARB " + seen +
                                            "\nmark XNextEvent " + seen + "\nmark done\n")
            << program;
    }
}

// A layer preloaded after ours gets the real function from dlsym(RTLD_NEXT), not our hook
// (the two would call each other for ever); frames pass through both.
TEST(RtldNext, AnInterposerAfterUsGetsTheRealFunction) {
    const std::string both = std::string(STANDIN_PRELOAD) + ":" + INTERPOSER;
    Traced traced = probe(HOOK_PROBE, {"frames"}, {"mark", "capture"}, both.c_str());
    ASSERT_EQ(traced.outcome.exitCode, 0) << traced.outcome.err;
    std::string expected;
    for (int i = 0; i < 3; ++i) expected += "capture 200x100\nmark interposer swap\n";
    EXPECT_EQ(joined(traced.lines), expected + "mark done\n");
}

class RecordAtStart : public testing::TestWithParam<const char *> {};

// The press the layer makes up at the first frame, before that frame reaches the core; the
// programs take no event before it, so the key code comes from Xlib found by its name.
TEST_P(RecordAtStart, TheCoreGetsOneHotkeyPressBeforeTheFirstFrame) {
    const std::string f8 = std::to_string(keycodeOf("F8"));
    Traced traced = probe(GetParam(), {"frames"}, {"event", "capture", "mark done"}, STANDIN_PRELOAD, true);
    ASSERT_EQ(traced.outcome.exitCode, 0) << traced.outcome.err;
    EXPECT_EQ(joined(traced.lines),
              "event 2 " + f8 + " 1 D\ncapture 200x100\ncapture 200x100\ncapture 200x100\nmark done\n");
}

INSTANTIATE_TEST_SUITE_P(LinkedAndOpenedPrivately, RecordAtStart, testing::Values(HOOK_PROBE, HOOK_PROBE_DLOPEN),
                         [](const testing::TestParamInfo<const char *> &info) {
                             return std::string(info.index == 0 ? "linked" : "dlopen");
                         });

// A hotkey the keyboard has no key for (a braille dot) cannot be pressed: said once, and the
// frames still go on.
TEST(RecordAtStartWithoutKey, IsReportedOnceAndNoPressIsMade) {
    Traced traced = probe(HOOK_PROBE, {"frames"}, {"event", "capture", "mark done"}, STANDIN_PRELOAD, true, "1002801");
    ASSERT_EQ(traced.outcome.exitCode, 0) << traced.outcome.err;
    EXPECT_EQ(joined(traced.lines), "capture 200x100\ncapture 200x100\ncapture 200x100\nmark done\n");
    const std::regex oneLine(
        R"(\[ \d{4}/\d\d/\d\d \d\d:\d\d:\d\d \| ERROR \]: glXSwapBuffers\(\): couldn't press the hotkey for )"
        R"(`vorna run --record` \(it has no key code\); nothing is recorded until it is pressed\n)");
    EXPECT_TRUE(std::regex_match(traced.outcome.err, oneLine)) << traced.outcome.err;
}

TEST(PassThrough, AProgramThatNeverDrawsNeverLoadsTheCoreAndPrintsNothing) {
    Traced traced = probe(HOOK_PROBE, {"nodraw"}, {"core", "event", "capture", "mark done"});
    EXPECT_EQ(traced.outcome.exitCode, 0);
    EXPECT_EQ(traced.outcome.err, "");
    EXPECT_EQ(joined(traced.lines), "mark done\n");
}

TEST(PassThrough, AMissingCoreIsReportedOnceAndTheProgramRunsOn) {
    Traced traced = probe(HOOK_PROBE, {"frames"}, {"mark done"}, ALONE_PRELOAD);
    EXPECT_EQ(traced.outcome.exitCode, 0);
    EXPECT_EQ(joined(traced.lines), "mark done\n");
    const std::regex oneLine(
        R"(\[ \d{4}/\d\d/\d\d \d\d:\d\d:\d\d \| ERROR \]: glXSwapBuffers\(\): couldn't load .*/alone/libvorna\.so )"
        R"(\(.*\); Vorna is off for this program\n)");
    EXPECT_TRUE(std::regex_match(traced.outcome.err, oneLine)) << traced.outcome.err;
}

}  // namespace
