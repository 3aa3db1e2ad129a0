// Configuration lines and what they make of each setting, read from the user's file.
#include <gtest/gtest.h>

#include <string>

#include "fixture.h"
#include "vorna.h"

namespace {

struct LineCase {
    const char *name;
    const char *file;
    const char *field;
    const char *expected;
};

const LineCase lineCases[] = {
    {"FpsWhole", "FPS = 25\n", "fps", "25"},
    {"FpsFraction", "FPS = 29.97\n", "fps", "29.97"},
    {"FpsUnparsedKeepsEarlier", "FPS = 60\nFPS = abc\n", "fps", "60"},
    {"FpsNoBlanks", "FPS=31\n", "fps", "31"},
    {"FpsBlanksAndTrailingWords", "   FPS\t= 12 frames\n", "fps", "12"},
    {"FpsCrLf", "FPS = 24\r\n", "fps", "24"},
    {"FpsLastWins", "FPS = 10\nFPS = 20\n", "fps", "20"},
    {"FpsValueHoldsEquals", "FPS = 12 = 13\n", "fps", "12"},
    {"KeyIsCaseSensitive", "fps = 12\n", "fps", "30"},
    {"CommentedOut", "# FPS = 10\n", "fps", "30"},
    {"HashGluedToKey", "#FPS = 10\n", "fps", "30"},
    {"EmptyValue", "FPS =\n", "fps", "30"},
    {"EmptyValueAtEndOfFile", "FPS =", "fps", "30"},
    {"NoEquals", "FPS 12\n", "fps", "30"},
    {"NoKey", "= 12\n", "fps", "30"},
    {"KeyWithSuffix", "FPSX = 12\n", "fps", "30"},
    {"KeyLongerThanNine", "VERBOSEXYZ = 1\n", "verbosity", "5"},
    {"InsetsFour", "INSETS = 1 2 3 4\n", "insets", "1/2/3/4"},
    {"InsetsTwoKeepTheRest", "INSETS = 1 2 3 4\nINSETS = 10 20\n", "insets", "10/20/3/4"},
    {"InsetsFifthIgnored", "INSETS = 1 2 3 4\nINSETS = 0 0 0 0 99\n", "insets", "0/0/0/0"},
    {"InsetsStopAtFirstBad", "INSETS = 1 2 3 4\nINSETS = 5 x 7 8\n", "insets", "5/2/3/4"},
    {"HotkeyByName", "HOTKEY = F12\n", "hotkey", "F12"},
    {"HotkeyWordAfterName", "HOTKEY = Scroll_Lock for now\n", "hotkey", "Scroll_Lock"},
    {"HotkeyUnknownIsNull", "HOTKEY = NoSuchKey\n", "hotkey", "0"},
    {"HotkeyBlanksKeepEarlier", "HOTKEY = F12\nHOTKEY =    \n", "hotkey", "F12"},
    {"OutputCutAtBlank", "OUTPUT = file:///tmp/a b\n", "output", "file:///tmp/a"},
    {"OutputNoLineEnd", "OUTPUT = file:///tmp/x.mivo\r\n", "output", "file:///tmp/x.mivo"},
    {"OutputBlanksKeepEarlier", "OUTPUT = file:///tmp/x.mivo\nOUTPUT = \t \n", "output", "file:///tmp/x.mivo"},
    {"OutputNotChecked", "OUTPUT = no-url-at-all\n", "output", "no-url-at-all"},
    {"Verbose", "VERBOSE = 2\n", "verbosity", "2"},
    {"VerboseFull64Bits", "VERBOSE = 18446744073709551615\n", "verbosity", "18446744073709551615"},
    {"Scale", "SCALE = 2\n", "scale", "2"},
    {"ScaleUnparsed", "SCALE = two\n", "scale", "0"},
    // A line longer than the line buffer is read in pieces; the second piece is a line of its own.
    {"LongLineInPieces", nullptr, "fps", "7"},
};

std::string fileText(const LineCase &c)
{
    if (c.file != nullptr)
        return c.file;
    return "#" + std::string(4094, 'x') + "FPS = 7\n";
}

class ConfigLine : public CoreTest, public testing::WithParamInterface<LineCase> {};

TEST_P(ConfigLine, SetsField)
{
    home().write("conf", fileText(GetParam()));
    reload();
    EXPECT_EQ(settingText(GetParam().field), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Lines, ConfigLine, testing::ValuesIn(lineCases),
                         [](const testing::TestParamInfo<LineCase> &info) { return info.param.name; });

using Settings = CoreTest;

TEST_F(Settings, DefaultsWithoutAnyFile)
{
    reload();
    EXPECT_EQ(settingText("verbosity"), "5");
    EXPECT_EQ(settingText("hotkey"), "F8");
    EXPECT_EQ(settingText("insets"), "0/0/0/0");
    EXPECT_EQ(settingText("scale"), "0");
    EXPECT_EQ(settingText("fps"), "30");
    EXPECT_EQ(settingText("output"), "file:///tmp/vorna.mivo");
}

TEST_F(Settings, OutputLongerThanBufferIsCut)
{
    std::string url = "file:///tmp/" + std::string(2000, 'a');
    home().write("conf", "OUTPUT = " + url + "\n");
    reload();
    EXPECT_EQ(settingText("output"), url.substr(0, 1023));
}

TEST_F(Settings, OutsideWriteLastsUntilNextReload)
{
    home().write("conf", "SCALE = 3\n");
    reload();
    vornaGlobal.scale = 9;
    vornaGlobal.insets[0] = 5;
    reload();
    EXPECT_EQ(settingText("scale"), "3");
    EXPECT_EQ(settingText("insets"), "0/0/0/0");
}

}  // namespace
