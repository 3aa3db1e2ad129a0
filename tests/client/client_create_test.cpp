// libmivo.so.0's calls where no GL is needed: what mivoClientCreate accepts and refuses, what it
// says, the calls' tolerance of misuse, and what the library exports and needs.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <set>
#include <string>

#include "mivo.h"
#include "recording_support.h"

namespace mivo::test {
namespace {

std::string commandOutput(const std::string &command) {
    std::string out;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

int countFiles(const std::string &dir) {
    int n = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) n += entry.is_regular_file();
    return n;
}

int countOccurrences(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

struct Created {
    MivoClient *client;
    std::string log;
};

Created createLogged(const CaptureParams *params) {
    ::testing::internal::CaptureStderr();
    MivoClient *client = mivoClientCreate(params);
    return {client, ::testing::internal::GetCapturedStderr()};
}

struct RefusalCase {
    const char *name;
    uint32_t width, height;
    const char *output;  // "@" stands for a good file URL
    const char *says;    // part of the message
};

class Refusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, ReturnsNullAfterOneMessage) {
    const RefusalCase &c = GetParam();
    TempDir dir;
    std::string good = "file://" + (dir / "never.mivo");
    CaptureParams params{c.width, c.height, 0, 30.0,
                         c.output && std::string(c.output) == "@" ? good.c_str() : c.output};
    Created r = createLogged(&params);
    EXPECT_EQ(r.client, nullptr);
    EXPECT_EQ(r.log.rfind("[ ", 0), 0u) << r.log;
    EXPECT_NE(r.log.find("| ERROR ]: mivoClientCreate(): "), std::string::npos) << r.log;
    EXPECT_NE(r.log.find(c.says), std::string::npos) << r.log;
    EXPECT_EQ(r.log.find('\n'), r.log.size() - 1) << "one line: " << r.log;
    EXPECT_EQ(countFiles(dir.path()), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Client, Refusal,
    ::testing::Values(RefusalCase{"zero_width", 0, 480, "@", "0x480"},
                      RefusalCase{"zero_height", 640, 0, "@", "640x0"},
                      RefusalCase{"too_wide", 8193, 16, "@", "8193x16"},
                      RefusalCase{"too_high", 16, 8193, "@", "16x8193"},
                      RefusalCase{"no_output", 16, 16, nullptr, "OUTPUT"},
                      RefusalCase{"empty_output", 16, 16, "", "OUTPUT"},
                      RefusalCase{"other_scheme", 16, 16, "http://example.org/a.mivo", "http"}),
    [](const ::testing::TestParamInfo<RefusalCase> &info) { return std::string(info.param.name); });

TEST(Client, RefusesMissingParameters) {
    Created r = createLogged(nullptr);
    EXPECT_EQ(r.client, nullptr);
    EXPECT_NE(r.log.find("mivoClientCreate(): "), std::string::npos) << r.log;
}

struct StartCase {
    const char *name;
    uint32_t width, height, scale;
    double fps;
    const char *says;  // the start line up to " to "
    bool warns;        // the frame rate fell back to 30
};

class Start : public ::testing::TestWithParam<StartCase> {};

TEST_P(Start, NamesSizeRateAndFile) {
    const StartCase &c = GetParam();
    TempDir dir;
    std::string path = dir / "start.mivo";
    std::string url = "file://" + path;
    CaptureParams params{c.width, c.height, c.scale, c.fps, url.c_str()};
    Created r = createLogged(&params);
    ASSERT_NE(r.client, nullptr) << r.log;
    mivoClientDestroy(r.client);
    EXPECT_NE(r.log.find(std::string(c.says) + " to " + path + "\n"), std::string::npos) << r.log;
    EXPECT_EQ(r.log.find("WARN  ]: mivoClientCreate(): FPS") != std::string::npos, c.warns) << r.log;
}

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Client, Start,
    ::testing::Values(
        StartCase{"plain", 64, 48, 0, 30, "Vorna is recording 64x48 at 30.0 fps", false},
        StartCase{"scale_one", 64, 48, 1, 25, "Vorna is recording 64x48 at 25.0 fps", false},
        StartCase{"scale_four", 64, 48, 4, 60, "Vorna is recording 64x48, scaled to 16x12, at 60.0 fps", false},
        // Never below 2x2, which the encoder needs.
        StartCase{"scale_huge", 64, 48, 1000, 30, "Vorna is recording 64x48, scaled to 2x2, at 30.0 fps", false},
        StartCase{"largest_side", 8192, 2, 0, 30, "Vorna is recording 8192x2 at 30.0 fps", false},
        StartCase{"one_pixel", 1, 1, 0, 30, "Vorna is recording 1x1 at 30.0 fps", false},
        StartCase{"slow_rate", 16, 16, 0, 0.5, "Vorna is recording 16x16 at 0.5 fps", false},
        StartCase{"fastest_rate", 16, 16, 0, 1000, "Vorna is recording 16x16 at 1000.0 fps", false},
        StartCase{"rate_nan", 16, 16, 0, kNan, "Vorna is recording 16x16 at 30.0 fps", true},
        StartCase{"rate_infinite", 16, 16, 0, kInf, "Vorna is recording 16x16 at 30.0 fps", true},
        StartCase{"rate_negative", 16, 16, 0, -5, "Vorna is recording 16x16 at 30.0 fps", true},
        StartCase{"rate_zero", 16, 16, 0, 0, "Vorna is recording 16x16 at 30.0 fps", true},
        StartCase{"rate_too_high", 16, 16, 0, 1000.5, "Vorna is recording 16x16 at 30.0 fps", true}),
    [](const ::testing::TestParamInfo<StartCase> &info) { return std::string(info.param.name); });

TEST(Client, ToleratesMisuse) {
    EXPECT_NE(mivoClientCapture(nullptr, 0, 0), 0);
    mivoClientDestroy(nullptr);

    // This process has no GL at all: the capture is refused and said once.
    TempDir dir;
    std::string url = "file://" + (dir / "nogl.mivo");
    CaptureParams params{16, 16, 0, 30, url.c_str()};
    MivoClient *client = mivoClientCreate(&params);
    ASSERT_NE(client, nullptr);
    ::testing::internal::CaptureStderr();
    EXPECT_NE(mivoClientCapture(client, 0, 0), 0);
    EXPECT_NE(mivoClientCapture(client, 0, 0), 0);
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("WARN  ]: mivoClientCapture(): "), std::string::npos) << log;
    EXPECT_EQ(log.find('\n'), log.size() - 1) << "once: " << log;
    ::testing::internal::CaptureStderr();
    mivoClientDestroy(client);
    log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Vorna took no frame (0 dropped), so " + dir / "nogl.mivo" + " was not kept"),
              std::string::npos)
        << log;
    EXPECT_FALSE(std::filesystem::exists(dir / "nogl.mivo"));
}

// A program that forks while recording (to start a helper, say): the child has the handle but
// not the worker thread, so there it does nothing, and its exit leaves the parent's file alone.
TEST(Client, AForkedChildLeavesTheParentsRecordingAlone) {
    TempDir dir;
    std::string path = dir / "forked.mivo";
    std::string url = "file://" + path;
    CaptureParams params{16, 16, 0, 30, url.c_str()};
    ::testing::internal::CaptureStderr();
    MivoClient *client = mivoClientCreate(&params);
    ASSERT_NE(client, nullptr);
    pid_t child = fork();
    if (child == 0) {
        int refused = mivoClientCapture(client, 0, 0);
        mivoClientDestroy(client);
        std::exit(refused != 0 ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    mivoClientDestroy(client);
    std::string log = ::testing::internal::GetCapturedStderr();
    // The child shares our stderr: only the parent finished the recording (no GL here, so it
    // ends without a frame).
    EXPECT_EQ(countOccurrences(log, "Vorna took no frame"), 1) << log;
}

TEST(Client, ExportsTheThreeCallsAndNeedsNoGlXOrCore) {
    std::string symbols = commandOutput("nm -D --defined-only '" VORNA_MIVO_LIBRARY "'");
    std::set<std::string> names;
    for (size_t at = 0; at < symbols.size();) {
        size_t end = symbols.find('\n', at);
        std::string line = symbols.substr(at, end - at);
        at = end == std::string::npos ? symbols.size() : end + 1;
        size_t space = line.rfind(' ');
        if (!line.empty()) names.insert(line.substr(space + 1));
    }
    EXPECT_EQ(names, (std::set<std::string>{"mivoClientCapture", "mivoClientCreate", "mivoClientDestroy"}))
        << symbols;

    std::string dynamic = commandOutput("readelf -d '" VORNA_MIVO_LIBRARY "'");
    EXPECT_NE(dynamic.find("(SONAME)             Library soname: [libmivo.so.0]"), std::string::npos)
        << dynamic;
    for (const char *lib : {"libGL", "libGLX", "libOpenGL", "libX11", "libvorna"})
        EXPECT_EQ(dynamic.find(std::string("[") + lib), std::string::npos) << lib << "\n" << dynamic;
}

}  // namespace
}  // namespace mivo::test
