// libmivo.so.0 against a real GL context on Xvfb (Mesa): frames drawn with known pictures go
// through the three exported calls, and the files are judged by ffprobe and ffmpeg.
#include <dirent.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "gl_fixture.h"
#include "mivo.h"
#include "recording_support.h"

namespace mivo::test {
namespace {

// This executable, for the child that exits while recording.
const char *const gSelf = "/proc/self/exe";

struct Area {
    int x, y, width, height;
};

MivoClient *create(uint32_t width, uint32_t height, uint32_t scale, double fps, const std::string &path) {
    std::string url = "file://" + path;
    CaptureParams params{};
    params.width = width;
    params.height = height;
    params.scale = scale;
    params.fps = fps;
    params.output = url.c_str();
    return mivoClientCreate(&params);
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The program's frame loop: draw, capture inside the "swap", swap; at about `drawFps` frames a
// second, or as fast as it goes when 0. Returns the frames drawn.
int drive(GlWindow &window, MivoClient *client, Area area, double seconds, double drawFps = 0) {
    auto start = std::chrono::steady_clock::now();
    int frames = 0;
    while (secondsSince(start) < seconds) {
        drawQuadrants(area.x, area.y, area.width, area.height);
        mivoClientCapture(client, uint32_t(area.x), uint32_t(area.y));
        window.swap();
        ++frames;
        if (drawFps > 0) {
            auto next = start + std::chrono::duration<double>(frames / drawFps);
            std::this_thread::sleep_until(next);
        }
    }
    return frames;
}

// The picture `width` x `height` at the top left of the decoded frame is the quadrant pattern:
// the centre of each quadrant and a point just inside each corner, so a picture upside down,
// mirrored or shifted by more than a pixel or two fails.
void expectQuadrants(const std::vector<uint8_t> &rgb, int videoWidth, int width, int height) {
    ASSERT_FALSE(rgb.empty()) << "ffmpeg could not decode the frame";
    Painter expected = quadrants(uint32_t(width), uint32_t(height));
    const int m = 2;
    const int points[][2] = {
        {width / 4, height / 4}, {3 * width / 4, height / 4}, {width / 4, 3 * height / 4},
        {3 * width / 4, 3 * height / 4}, {m, m}, {width - 1 - m, m}, {m, height - 1 - m},
        {width - 1 - m, height - 1 - m},
    };
    for (const auto &p : points) {
        Rgb want = expected(uint32_t(p[0]), uint32_t(p[1]));
        Rgb got = pixelAt(rgb, videoWidth, p[0], p[1]);
        EXPECT_LE(colourDistance(want, got), 48)
            << "at (" << p[0] << ", " << p[1] << "): got " << got.r << "," << got.g << "," << got.b
            << ", want " << want.r << "," << want.g << "," << want.b;
    }
}

void expectLastFrameQuadrants(const std::string &path, int width, int height) {
    Probe p = probe(path);
    ASSERT_TRUE(p.ok) << path;
    ASSERT_FALSE(p.packetStarts.empty()) << path;
    expectQuadrants(decodeFrame(path, int(p.packetStarts.size()) - 1, p.width, p.height), p.width,
                    width, height);
}

int countEntries(const char *dir) {
    int n = 0;
    if (DIR *d = opendir(dir)) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

int countOccurrences(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// ---- The picture: size, crop, scale, odd sizes ----

struct FrameCase {
    const char *name;
    Area area;
    uint32_t scale;
    int contentWidth, contentHeight;  // the picture after SCALE
    int videoWidth, videoHeight;      // after padding to even sizes
};

class Frames : public ::testing::TestWithParam<FrameCase> {};

TEST_P(Frames, RecordsTheAreaUprightAtItsSize) {
    const FrameCase &c = GetParam();
    auto window = GlWindow::open(320, 240, Profile::Core);
    ASSERT_TRUE(window);
    TempDir dir;
    std::string path = dir / "frames.mivo";
    MivoClient *client = create(uint32_t(c.area.width), uint32_t(c.area.height), c.scale, 30, path);
    ASSERT_NE(client, nullptr);
    drive(*window, client, c.area, 0.3);
    mivoClientDestroy(client);

    Probe p = probe(path);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.codec, "h264");
    EXPECT_EQ(p.pixelFormat, "yuv420p");
    EXPECT_EQ(p.width, c.videoWidth);
    EXPECT_EQ(p.height, c.videoHeight);
    EXPECT_GE(p.packetStarts.size(), 3u);
    expectLastFrameQuadrants(path, c.contentWidth, c.contentHeight);
}

INSTANTIATE_TEST_SUITE_P(
    Client, Frames,
    ::testing::Values(
        FrameCase{"whole_window", {0, 0, 320, 240}, 0, 320, 240, 320, 240},
        FrameCase{"scale_one_is_full_size", {0, 0, 320, 240}, 1, 320, 240, 320, 240},
        // (x, y) is the lower-left corner of the area, in GL's bottom-up coordinates.
        FrameCase{"cropped", {40, 30, 200, 120}, 0, 200, 120, 200, 120},
        FrameCase{"cropped_at_odd_offsets", {41, 29, 150, 100}, 0, 150, 100, 150, 100},
        // An odd side is padded by one pixel for yuv420p.
        FrameCase{"odd_size_padded", {7, 5, 101, 75}, 0, 101, 75, 102, 76},
        FrameCase{"scaled_by_two", {0, 0, 320, 240}, 2, 160, 120, 160, 120},
        FrameCase{"scaled_by_three_then_padded", {7, 5, 101, 75}, 3, 33, 25, 34, 26}),
    [](const ::testing::TestParamInfo<FrameCase> &info) { return std::string(info.param.name); });

TEST(Client, ReadsTheFrontBufferOfASingleBufferedWindow) {
    auto window = GlWindow::open(128, 96, Profile::Compatibility, false);
    if (!window) GTEST_SKIP() << "no single-buffered GLX configuration on this server";
    TempDir dir;
    std::string path = dir / "single.mivo";
    MivoClient *client = create(128, 96, 0, 30, path);
    ASSERT_NE(client, nullptr);
    for (int i = 0; i < 5; ++i) {
        drawQuadrants(0, 0, 128, 96);
        glFlush();
        mivoClientCapture(client, 0, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    mivoClientDestroy(client);
    expectLastFrameQuadrants(path, 128, 96);
}

// ---- Time: how many frames, and how long the video lasts ----

struct PacingCase {
    const char *name;
    double drawFps;  // 0: as fast as the machine draws
    double seconds;
};

class Pacing : public ::testing::TestWithParam<PacingCase> {};

TEST_P(Pacing, TakesAtMostFpsFramesAndLastsAsLongAsTheRecording) {
    const PacingCase &c = GetParam();
    const double fps = 30;
    auto window = GlWindow::open(64, 64, Profile::Core);
    ASSERT_TRUE(window);
    TempDir dir;
    std::string path = dir / "pacing.mivo";
    auto start = std::chrono::steady_clock::now();
    MivoClient *client = create(64, 64, 0, fps, path);
    ASSERT_NE(client, nullptr);
    int drawn = drive(*window, client, {0, 0, 64, 64}, c.seconds, c.drawFps);
    mivoClientDestroy(client);
    double elapsed = secondsSince(start);

    Probe p = probe(path);
    ASSERT_TRUE(p.ok);
    double frames = double(p.packetStarts.size());
    EXPECT_LE(frames, fps * elapsed + 2) << "drawn " << drawn;
    EXPECT_GE(frames, 0.8 * std::min(double(drawn), fps * elapsed)) << "drawn " << drawn;
    double duration = p.duration > 0 ? p.duration : p.end;
    EXPECT_NEAR(duration, elapsed, 1 / fps + 0.1) << "frames " << frames;
}

INSTANTIATE_TEST_SUITE_P(
    Client, Pacing,
    ::testing::Values(PacingCase{"fast_program", 0, 2.0}, PacingCase{"slow_program", 10, 1.5}),
    [](const ::testing::TestParamInfo<PacingCase> &info) { return std::string(info.param.name); });

// ---- The program's GL state ----

struct StateCase {
    Profile profile;
    bool programFramebuffer;  // the program's FBO bound; else framebuffer 0 reading GL_FRONT
};

struct GlState {
    GLint pack[8] = {};
    GLint packBuffer = 0, readFramebuffer = 0, drawFramebuffer = 0, readBuffer = 0;
    GLfloat transfer[9] = {};
    bool operator==(const GlState &o) const {
        return std::memcmp(pack, o.pack, sizeof pack) == 0 && packBuffer == o.packBuffer &&
               readFramebuffer == o.readFramebuffer && drawFramebuffer == o.drawFramebuffer &&
               readBuffer == o.readBuffer && std::memcmp(transfer, o.transfer, sizeof transfer) == 0;
    }
};

const GLenum kPackNames[8] = {GL_PACK_ALIGNMENT,   GL_PACK_ROW_LENGTH, GL_PACK_SKIP_ROWS,
                              GL_PACK_SKIP_PIXELS, GL_PACK_SWAP_BYTES, GL_PACK_LSB_FIRST,
                              GL_PACK_IMAGE_HEIGHT, GL_PACK_SKIP_IMAGES};
const GLint kPackOdd[8] = {8, 13, 2, 3, 1, 1, 5, 1};
const GLenum kTransferNames[9] = {GL_MAP_COLOR,  GL_RED_SCALE,  GL_GREEN_SCALE,
                                  GL_BLUE_SCALE, GL_ALPHA_SCALE, GL_RED_BIAS,
                                  GL_GREEN_BIAS, GL_BLUE_BIAS,  GL_ALPHA_BIAS};
// Scale and bias that would tint every read; GL_MAP_COLOR stays off (its maps are identity).
const GLfloat kTransferOdd[9] = {0, 0.5f, 0.25f, 0.5f, 1, 0, 0.5f, 0, 0};

GlState queryState(Profile profile) {
    GlState s;
    for (int i = 0; i < 8; ++i) glGetIntegerv(kPackNames[i], &s.pack[i]);
    glGetIntegerv(GL_PIXEL_PACK_BUFFER_BINDING, &s.packBuffer);
    glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &s.readFramebuffer);
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &s.drawFramebuffer);
    glGetIntegerv(GL_READ_BUFFER, &s.readBuffer);
    if (profile == Profile::Compatibility)
        for (int i = 0; i < 9; ++i) glGetFloatv(kTransferNames[i], &s.transfer[i]);
    return s;
}

class State : public ::testing::TestWithParam<StateCase> {};

TEST_P(State, IsWhatTheProgramLeftAndTheFrameIsTheBackBuffer) {
    const StateCase &c = GetParam();
    auto window = GlWindow::open(96, 64, c.profile);
    ASSERT_TRUE(window);

    // The program's own FBO, magenta: it must not be what gets recorded.
    GLuint fbo = 0, colour = 0, pbo = 0;
    glGenRenderbuffers(1, &colour);
    glBindRenderbuffer(GL_RENDERBUFFER, colour);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, 96, 64);
    glGenFramebuffers(1, &fbo);
    glBindFramebuffer(GL_FRAMEBUFFER, fbo);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour);
    clearTo(1, 0, 1);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glGenBuffers(1, &pbo);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, pbo);
    glBufferData(GL_PIXEL_PACK_BUFFER, 4096, nullptr, GL_STREAM_READ);
    for (int i = 0; i < 8; ++i) glPixelStorei(kPackNames[i], kPackOdd[i]);
    if (c.profile == Profile::Compatibility)
        for (int i = 0; i < 9; ++i) glPixelTransferf(kTransferNames[i], kTransferOdd[i]);
    if (!c.programFramebuffer) glReadBuffer(GL_FRONT);
    ASSERT_EQ(glGetError(), GLenum(GL_NO_ERROR));

    TempDir dir;
    std::string path = dir / "state.mivo";
    MivoClient *client = create(96, 64, 0, 30, path);
    ASSERT_NE(client, nullptr);
    GlState before{};
    auto frame = [&] {
        // The front buffer holds black, the back buffer the picture.
        clearTo(0, 0, 0);
        window->swap();
        drawQuadrants(0, 0, 96, 64);
        if (c.programFramebuffer) glBindFramebuffer(GL_FRAMEBUFFER, fbo);
        before = queryState(c.profile);
        mivoClientCapture(client, 0, 0);
        GlState after = queryState(c.profile);
        EXPECT_TRUE(after == before);
        window->swap();
        if (c.programFramebuffer) glBindFramebuffer(GL_FRAMEBUFFER, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    };
    for (int i = 0; i < 6; ++i) frame();
    // Our calls raised no error, and one the program raised is still there for it to see.
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    glEnable(GLenum(0x7fff));
    for (int i = 0; i < 3; ++i) frame();
    EXPECT_EQ(glGetError(), GLenum(GL_INVALID_ENUM));
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    if (c.programFramebuffer) glBindFramebuffer(GL_FRAMEBUFFER, fbo);
    mivoClientDestroy(client);
    EXPECT_TRUE(queryState(c.profile) == before);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));

    expectLastFrameQuadrants(path, 96, 64);
}

INSTANTIATE_TEST_SUITE_P(
    Client, State,
    ::testing::Values(StateCase{Profile::Core, true}, StateCase{Profile::Core, false},
                      StateCase{Profile::Compatibility, true},
                      StateCase{Profile::Compatibility, false}),
    [](const ::testing::TestParamInfo<StateCase> &info) {
        return std::string(profileName(info.param.profile)) +
               (info.param.programFramebuffer ? "_program_fbo" : "_front_read_buffer");
    });

// ---- Contexts that come and go ----

TEST(Client, WithoutACurrentContextTakesNothingAndSaysSoOnce) {
    auto window = GlWindow::open(64, 48, Profile::Core);
    ASSERT_TRUE(window);
    TempDir dir;
    std::string path = dir / "nocontext.mivo";
    MivoClient *client = create(64, 48, 0, 30, path);
    ASSERT_NE(client, nullptr);
    window->releaseCurrent();
    ::testing::internal::CaptureStderr();
    EXPECT_NE(mivoClientCapture(client, 0, 0), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_NE(mivoClientCapture(client, 0, 0), 0);
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(countOccurrences(log, "mivoClientCapture(): "), 1) << log;
    EXPECT_NE(log.find("WARN"), std::string::npos) << log;

    window->makeCurrent();
    drive(*window, client, {0, 0, 64, 48}, 0.3);
    // Finished with no context current: the reads in flight are dropped, the file is whole.
    window->releaseCurrent();
    mivoClientDestroy(client);
    window->makeCurrent();
    expectLastFrameQuadrants(path, 64, 48);
}

TEST(Client, StartsOverInARecreatedContext) {
    auto window = GlWindow::open(64, 48, Profile::Core);
    ASSERT_TRUE(window);
    TempDir dir;
    std::string path = dir / "recreated.mivo";
    MivoClient *client = create(64, 48, 0, 30, path);
    ASSERT_NE(client, nullptr);
    for (int i = 0; i < 5; ++i) {
        clearTo(0.5f, 0.5f, 0.5f);
        mivoClientCapture(client, 0, 0);
        window->swap();
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    ASSERT_TRUE(window->recreateContext());
    for (int i = 0; i < 5; ++i) {
        drawQuadrants(0, 0, 64, 48);
        mivoClientCapture(client, 0, 0);
        window->swap();
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    mivoClientDestroy(client);
    Probe p = probe(path);
    ASSERT_TRUE(p.ok);
    EXPECT_GE(p.packetStarts.size(), 6u);
    expectLastFrameQuadrants(path, 64, 48);
}

// ---- The record the core builds ----

TEST(Client, ReadsCaptureParamsAsTheCoreLaysThemOut) {
    auto window = GlWindow::open(128, 96, Profile::Core);
    ASSERT_TRUE(window);
    TempDir dir;
    struct Way {
        const char *name;
        bool byHand;
    };
    for (Way way : {Way{"declared", false}, Way{"byte_laid", true}}) {
        SCOPED_TRACE(way.name);
        std::string path = dir / (std::string(way.name) + ".mivo");
        std::string url = "file://" + path;
        const uint32_t width = 96, height = 64, scale = 2;
        const double fps = 12.5;
        const char *output = url.c_str();
        alignas(8) unsigned char bytes[32];
        std::memset(bytes, 0xAB, sizeof bytes);  // the fill at 12..15 must not matter
        CaptureParams declared{};
        if (way.byHand) {
            std::memcpy(bytes + 0, &width, 4);
            std::memcpy(bytes + 4, &height, 4);
            std::memcpy(bytes + 8, &scale, 4);
            std::memcpy(bytes + 16, &fps, 8);
            std::memcpy(bytes + 24, &output, 8);
        } else {
            declared.width = width;
            declared.height = height;
            declared.scale = scale;
            declared.fps = fps;
            declared.output = output;
        }
        const CaptureParams *params =
            way.byHand ? reinterpret_cast<const CaptureParams *>(bytes) : &declared;
        ::testing::internal::CaptureStderr();
        MivoClient *client = mivoClientCreate(params);
        std::string log = ::testing::internal::GetCapturedStderr();
        ASSERT_NE(client, nullptr) << log;
        EXPECT_NE(log.find("Vorna is recording 96x64, scaled to 48x32, at 12.5 fps to " + path + "\n"),
                  std::string::npos)
            << log;
        drive(*window, client, {10, 20, 96, 64}, 0.4);
        mivoClientDestroy(client);
        Probe p = probe(path);
        ASSERT_TRUE(p.ok);
        EXPECT_EQ(p.width, 48);
        EXPECT_EQ(p.height, 32);
        expectLastFrameQuadrants(path, 48, 32);
    }
}

// ---- Misuse, write errors, exit, and many recordings ----

TEST(Client, AfterAWriteErrorTakesNoMoreFramesAndTheProgramGoesOn) {
    auto window = GlWindow::open(64, 48, Profile::Core);
    ASSERT_TRUE(window);
    TempDir dir;
    std::string path = dir / "removed.mivo";
    MivoClient *client = create(64, 48, 0, 30, path);
    ASSERT_NE(client, nullptr);
    drive(*window, client, {0, 0, 64, 48}, 0.2);
    ASSERT_EQ(unlink(path.c_str()), 0);
    ::testing::internal::CaptureStderr();
    auto start = std::chrono::steady_clock::now();
    int refusedInARow = 0;
    while (refusedInARow < 10 && secondsSince(start) < 5) {
        drawQuadrants(0, 0, 64, 48);
        refusedInARow = mivoClientCapture(client, 0, 0) != 0 ? refusedInARow + 1 : 0;
        window->swap();
        std::this_thread::sleep_for(std::chrono::milliseconds(35));
    }
    mivoClientDestroy(client);
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(refusedInARow, 10) << log;
    EXPECT_EQ(countOccurrences(log, "ERROR"), 1) << log;
    EXPECT_NE(log.find(path), std::string::npos) << log;
    // The closing line must not read like a recording that went well.
    EXPECT_EQ(log.find("Vorna wrote"), std::string::npos) << log;
    EXPECT_NE(log.find("Vorna's recording to " + path + " ended early after an error"), std::string::npos) << log;
}

TEST(Client, ARecordingRunningAtExitIsFinished) {
    TempDir dir;
    std::string path = dir / "exit.mivo";
    ProgramResult child = runProgram({gSelf, "--record-and-exit", path});
    ASSERT_EQ(child.status, 0) << child.out;
    EXPECT_NE(child.out.find("Vorna wrote"), std::string::npos) << child.out;
    Probe p = probe(path);
    ASSERT_TRUE(p.ok) << child.out;
    EXPECT_GE(p.packetStarts.size(), 10u);
    EXPECT_NEAR(p.duration, 0.8, 0.3);
    // The whole file decodes without a complaint.
    ProgramResult decode = runProgram({"/bin/sh", "-c",
                                       std::string(VORNA_FFMPEG) + " -v error -i '" + path +
                                           "' -fps_mode passthrough -enc_time_base -1 -f null - 2>&1"});
    EXPECT_EQ(decode.status, 0);
    EXPECT_EQ(decode.out, "");
    expectLastFrameQuadrants(path, 64, 48);
}

TEST(Client, HundredsOfRecordingsLeakNoThreadOrDescriptor) {
    auto window = GlWindow::open(32, 32, Profile::Core);
    ASSERT_TRUE(window);
    TempDir dir;
    auto cycle = [&](int i) {
        MivoClient *client = create(32, 32, 0, 1000, dir / ("cycle-" + std::to_string(i) + ".mivo"));
        ASSERT_NE(client, nullptr);
        for (int f = 0; f < 2; ++f) {
            drawQuadrants(0, 0, 32, 32);
            mivoClientCapture(client, 0, 0);
            window->swap();
        }
        mivoClientDestroy(client);
    };
    // The log is held in a file of its own while captured, so descriptors are counted outside.
    ::testing::internal::CaptureStderr();
    cycle(0);  // libraries set themselves up on first use
    ::testing::internal::GetCapturedStderr();
    // Counted once the threads have settled, as in the recorder's own test.
    size_t tasks = settledThreadCount();
    int fds = countEntries("/proc/self/fd");
    ::testing::internal::CaptureStderr();
    for (int i = 1; i <= 100; ++i) cycle(i);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(settledThreadCount(), tasks);
    EXPECT_EQ(countEntries("/proc/self/fd"), fds);
    EXPECT_EQ(countEntries(dir.path().c_str()), 101);
}

// The child of ARecordingRunningAtExitIsFinished: records for a while, then leaves through
// exit() without destroying the client, as a program that quits mid-recording does.
int recordAndExit(const char *path) {
    dup2(1, 2);
    auto window = GlWindow::open(64, 48, Profile::Core);
    if (!window) return 2;
    MivoClient *client = create(64, 48, 0, 30, path);
    if (!client) return 3;
    drive(*window, client, {0, 0, 64, 48}, 0.8, 60);
    std::exit(0);
}

}  // namespace
}  // namespace mivo::test

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "--record-and-exit") == 0)
        return mivo::test::recordAndExit(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
