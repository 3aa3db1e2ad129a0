// The hotkey state machine and the capture geometry, against the stand-in client and Xlib.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "doubles.h"
#include "fixture.h"
#include "vorna.h"

namespace {

const Drawable kDrawable = 0x400007;

class Capture : public CoreTest {
protected:
    void SetUp() override
    {
        CoreTest::SetUp();
        if (IsSkipped())
            return;
        reload();
        // Whatever an earlier test left: a failed measurement ends a pending start, and a
        // hotkey press ends a capture.
        doubles.geometryStatus = 0;
        captureStderr([this] {
            frame();
            if (doubles.liveClients > 0)
                press(kF8Code);
        });
        doubles = Doubles{};
    }

    static XEvent keyEvent(int type, unsigned int keycode, Time time, unsigned int state = 0)
    {
        XEvent event{};
        event.xkey.type = type;
        event.xkey.keycode = keycode;
        event.xkey.time = time;
        event.xkey.state = state;
        return event;
    }

    // Every press gets a time stamp of its own unless the test names one.
    static Time nextTime()
    {
        static Time time = 1000;
        return ++time;
    }

    static void press(unsigned int keycode, unsigned int state = 0)
    {
        XEvent event = keyEvent(KeyPress, keycode, nextTime(), state);
        vornaCoreEvent(nullptr, &event);
    }

    static void frame() { vornaCoreCapture(nullptr, kDrawable); }

    static std::string logOf(void (*action)()) { return captureStderr(action); }

    static std::vector<ClientCall::Kind> kinds()
    {
        std::vector<ClientCall::Kind> seen;
        for (const ClientCall &call : doubles.calls)
            seen.push_back(call.kind);
        return seen;
    }

    // Hotkey and one frame: the capture should now run (or have been refused).
    void start() const
    {
        captureStderr([] {
            press(kF8Code);
            frame();
        });
    }
};

using Kinds = std::vector<ClientCall::Kind>;

TEST_F(Capture, IdleFrameDoesNothing)
{
    EXPECT_EQ(logOf(frame), "");
    EXPECT_TRUE(doubles.calls.empty());
}

TEST_F(Capture, OtherEventsChangeNothing)
{
    const std::vector<XEvent> events = {
        keyEvent(KeyRelease, kF8Code, nextTime()),
        keyEvent(KeyPress, kOtherCode, nextTime()),
        keyEvent(KeyPress, kF12Code, nextTime()),
        keyEvent(ButtonPress, kF8Code, nextTime()),
    };
    for (XEvent event : events) {
        const std::string log = captureStderr([&] {
            vornaCoreEvent(nullptr, &event);
            frame();
        });
        EXPECT_EQ(log, "") << "event type " << event.type << ", key code " << event.xkey.keycode;
    }
    EXPECT_TRUE(doubles.calls.empty());
}

TEST_F(Capture, SamePressTwiceTogglesOnce)
{
    XEvent event = keyEvent(KeyPress, kF8Code, nextTime());
    const std::string log = captureStderr([&] {
        vornaCoreEvent(nullptr, &event);
        vornaCoreEvent(nullptr, &event);
    });
    EXPECT_EQ(logLines(log), std::vector<std::string>{"INFO |Vorna is starting to capture"});
    captureStderr(frame);
    EXPECT_EQ(kinds(), (Kinds{ClientCall::Create, ClientCall::Capture}));
}

TEST_F(Capture, TwoPressesBeforeAFrameStartOneCapture)
{
    const std::string log = logOf([] {
        press(kF8Code);
        press(kF8Code);
    });
    const std::vector<std::string> expected = {"INFO |Vorna is starting to capture", "INFO |Vorna is starting to capture"};
    EXPECT_EQ(logLines(log), expected);
    EXPECT_TRUE(doubles.calls.empty());
    captureStderr(frame);
    captureStderr(frame);
    EXPECT_EQ(kinds(), (Kinds{ClientCall::Create, ClientCall::Capture, ClientCall::Capture}));
}

TEST_F(Capture, HotkeyWorksWithModifiersHeld)
{
    captureStderr([] {
        press(kF8Code, ShiftMask | ControlMask | Mod1Mask);
        frame();
    });
    EXPECT_EQ(kinds(), (Kinds{ClientCall::Create, ClientCall::Capture}));
}

TEST_F(Capture, StartReloadsSettingsIntoParams)
{
    captureStderr([] { press(kF8Code); });
    home().write("conf", "SCALE = 2\nFPS = 50\nOUTPUT = file:///tmp/x.mivo\nINSETS = 0 0 0 0\n");
    const std::string log = logOf(frame);
    EXPECT_EQ(logLinesAt(log, "INFO ").size(), 3u) << "the start logs a fresh summary";
    ASSERT_EQ(kinds(), (Kinds{ClientCall::Create, ClientCall::Capture}));
    const ClientCall &create = doubles.calls[0];
    EXPECT_EQ(create.params.scale, 2u);
    EXPECT_EQ(create.params.fps, 50.0);
    EXPECT_EQ(create.output, "file:///tmp/x.mivo");
    EXPECT_EQ(create.params.output, vornaGlobal.output);
    EXPECT_EQ(doubles.calls[1].client, create.client);
}

struct InsetCase {
    const char *name;
    const char *insets;
    unsigned int width, height;
    bool fits;
    uint32_t areaWidth, areaHeight, x, y;
};

const InsetCase insetCases[] = {
    {"None", "0 0 0 0", 640, 480, true, 640, 480, 0, 0},
    {"AllFour", "10 20 30 40", 640, 480, true, 580, 440, 40, 30},
    {"FullHeight", "240 0 240 0", 640, 480, true, 640, 0, 0, 240},
    {"FullWidth", "0 320 0 320", 640, 480, true, 0, 480, 320, 0},
    {"TooHigh", "300 0 200 0", 640, 480, false, 0, 0, 0, 0},
    {"TooWide", "0 600 0 41", 640, 480, false, 0, 0, 0, 0},
    {"HeightSumWraps", "4294967295 0 1 0", 640, 480, false, 0, 0, 0, 0},
    {"WidthSumWraps", "0 4294967295 0 1", 640, 480, false, 0, 0, 0, 0},
    {"BothHuge", "4294967295 4294967295 4294967295 4294967295", 640, 480, false, 0, 0, 0, 0},
};

class Insets : public Capture, public testing::WithParamInterface<InsetCase> {};

TEST_P(Insets, CutOffTheDrawable)
{
    const InsetCase &c = GetParam();
    home().write("conf", std::string("INSETS = ") + c.insets + "\n");
    doubles.width = c.width;
    doubles.height = c.height;
    const std::string log = logOf([] {
        press(kF8Code);
        frame();
    });
    if (!c.fits) {
        EXPECT_EQ(logLinesAt(log, "WARN "), std::vector<std::string>{"WARN |vornaCoreCapture(): insets too big, fix it!"});
        EXPECT_TRUE(doubles.calls.empty());
        // The request is used up: frames do nothing until the hotkey is pressed again.
        captureStderr(frame);
        EXPECT_TRUE(doubles.calls.empty());
        return;
    }
    EXPECT_TRUE(logLinesAt(log, "WARN ").empty());
    ASSERT_EQ(kinds(), (Kinds{ClientCall::Create, ClientCall::Capture}));
    EXPECT_EQ(doubles.calls[0].params.width, c.areaWidth);
    EXPECT_EQ(doubles.calls[0].params.height, c.areaHeight);
    EXPECT_EQ(doubles.calls[1].x, c.x);
    EXPECT_EQ(doubles.calls[1].y, c.y);
}

INSTANTIATE_TEST_SUITE_P(Geometry, Insets, testing::ValuesIn(insetCases),
                         [](const testing::TestParamInfo<InsetCase> &info) { return info.param.name; });

TEST_F(Capture, FailedMeasurementIsRefusedLikeBadInsets)
{
    doubles.geometryStatus = 0;
    const std::string log = logOf([] {
        press(kF8Code);
        frame();
    });
    EXPECT_EQ(logLinesAt(log, "WARN "), std::vector<std::string>{"WARN |vornaCoreCapture(): insets too big, fix it!"});
    EXPECT_TRUE(doubles.calls.empty());
}

TEST_F(Capture, FailedCreateGoesBackToIdle)
{
    doubles.createFails = true;
    const std::string log = logOf([] {
        press(kF8Code);
        frame();
        frame();
    });
    EXPECT_EQ(logLinesAt(log, "ERROR"), std::vector<std::string>{"ERROR|vornaCoreCapture(): couldn't create mivo client"});
    EXPECT_EQ(kinds(), Kinds{ClientCall::Create});
    // Idle, not Capturing: the next press asks for a start again.
    EXPECT_EQ(logLines(logOf([] { press(kF8Code); })), std::vector<std::string>{"INFO |Vorna is starting to capture"});
}

TEST_F(Capture, HotkeyWhileCapturingStops)
{
    start();
    ASSERT_EQ(doubles.liveClients, 1);
    MivoClient *client = doubles.calls[0].client;

    const std::string log = logOf([] {
        press(kF8Code);
        frame();
    });
    EXPECT_EQ(logLines(log), std::vector<std::string>{"INFO |Vorna stopped capturing"});
    ASSERT_EQ(kinds(), (Kinds{ClientCall::Create, ClientCall::Capture, ClientCall::Destroy}));
    EXPECT_EQ(doubles.calls[2].client, client);
    EXPECT_EQ(doubles.calls[2].stderrBytes, 0) << "the client is destroyed before the line is logged";
    EXPECT_EQ(doubles.liveClients, 0);
}

TEST_F(Capture, EveryFrameWhileCapturingIsOneRequest)
{
    home().write("conf", "INSETS = 1 2 3 4\n");
    start();
    // Offsets are read at every frame; the size was fixed at creation.
    vornaGlobal.insets[3] = 7;
    vornaGlobal.insets[2] = 9;
    EXPECT_EQ(logOf([] {
                  frame();
                  frame();
              }),
              "");
    ASSERT_EQ(kinds(), (Kinds{ClientCall::Create, ClientCall::Capture, ClientCall::Capture, ClientCall::Capture}));
    EXPECT_EQ(doubles.calls[1].x, 4u);
    EXPECT_EQ(doubles.calls[1].y, 3u);
    for (size_t i : {2, 3}) {
        EXPECT_EQ(doubles.calls[i].x, 7u);
        EXPECT_EQ(doubles.calls[i].y, 9u);
    }
}

TEST_F(Capture, ChangedHotkeyTakesEffectAtReload)
{
    home().write("conf", "HOTKEY = F12\n");
    reload();
    EXPECT_EQ(logOf([] { press(kF8Code); }), "");
    EXPECT_EQ(logLines(logOf([] { press(kF12Code); })), std::vector<std::string>{"INFO |Vorna is starting to capture"});
}

TEST_F(Capture, FolderOutputIsCompletedAtStart)
{
    home().write("conf", "OUTPUT = file:///tmp/\n");
    start();
    ASSERT_EQ(kinds(), (Kinds{ClientCall::Create, ClientCall::Capture}));
    EXPECT_EQ(doubles.calls[0].output.compare(0, 12, "file:///tmp/"), 0);
    EXPECT_EQ(doubles.calls[0].output.substr(doubles.calls[0].output.size() - 5), ".mivo");
}

}  // namespace
