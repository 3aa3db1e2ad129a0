// The frame path's read-back against a real GL context on Xvfb (Mesa), through both ways a frame
// can leave the GL: pixel-pack buffers with fences (what a GPU gets) and straight into the heap
// slot (what a software rasterizer gets). Both must hand on the same picture, leave the program's
// state alone and count what they cannot take.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

// First: it asks for GL's prototypes, which gl_api.h's includes would otherwise leave out.
#include "gl_fixture.h"

#include "gl_api.h"
#include "gl_reader.h"
#include "recording_support.h"

namespace mivo::test {
namespace {

struct Taken {
    PixelFormat format;
    std::vector<uint8_t> pixels;
};

// Copies every frame it is given and hands the slot back, unless told to hold on to it.
class CollectingSink : public FrameSink {
public:
    bool deliver(const FrameRef &frame) override {
        const size_t bytes = size_t(frame.stride) * height;
        frames.push_back({frame.format, std::vector<uint8_t>(frame.pixels, frame.pixels + bytes)});
        if (hold)
            held.push_back(frame.busy);
        else
            frame.busy->store(false, std::memory_order_release);
        return true;
    }
    void dropped() override { ++drops; }
    void release() {
        for (auto *busy : held) busy->store(false, std::memory_order_release);
        held.clear();
    }

    uint32_t height = 0;
    bool hold = false;
    std::vector<std::atomic<bool> *> held;
    std::vector<Taken> frames;
    int drops = 0;
};

// (x, y) counted from the top of the picture; the frame lies bottom row first.
Rgb pixelOf(const Taken &frame, uint32_t width, uint32_t height, uint32_t x, uint32_t y) {
    const uint8_t *p = frame.pixels.data() + (size_t(height - 1 - y) * width + x) * 4;
    return frame.format == PixelFormat::Rgba ? Rgb{p[0], p[1], p[2]} : Rgb{p[2], p[1], p[0]};
}

void expectQuadrants(const Taken &frame, uint32_t width, uint32_t height) {
    Painter want = quadrants(width, height);
    const uint32_t points[][2] = {
        {width / 4, height / 4}, {3 * width / 4, height / 4}, {width / 4, 3 * height / 4},
        {3 * width / 4, 3 * height / 4}, {0, 0}, {width - 1, 0}, {0, height - 1},
        {width - 1, height - 1},
    };
    for (const auto &p : points) {
        Rgb w = want(p[0], p[1]), got = pixelOf(frame, width, height, p[0], p[1]);
        EXPECT_TRUE(w.r == got.r && w.g == got.g && w.b == got.b)
            << "at (" << p[0] << ", " << p[1] << "): got " << got.r << "," << got.g << "," << got.b
            << ", want " << w.r << "," << w.g << "," << w.b;
    }
}

const char *pathName(ReadPath path) {
    switch (path) {
    case ReadPath::Automatic: return "automatic";
    case ReadPath::PixelPack: return "pixel_pack";
    case ReadPath::Direct: return "direct";
    }
    return "?";
}

struct PathCase {
    ReadPath path;
    Profile profile;
};

class ReadPaths : public ::testing::TestWithParam<PathCase> {};

// An area off the window's corner, read while the program has a pixel-pack buffer of its own
// bound and odd pack settings: a direct read that went into the program's buffer, or one that
// skipped rows, shows up as a wrong picture or a changed binding.
TEST_P(ReadPaths, HandOnTheAreaUprightAndLeaveTheProgramsBindings) {
    const PathCase &c = GetParam();
    auto window = GlWindow::open(96, 64, c.profile);
    ASSERT_TRUE(window);
    const GlApi *gl = glApi();
    ASSERT_NE(gl, nullptr);

    const uint32_t x = 7, y = 5, width = 50, height = 36;
    GLuint programBuffer = 0;
    glGenBuffers(1, &programBuffer);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, programBuffer);
    glBufferData(GL_PIXEL_PACK_BUFFER, 64, nullptr, GL_STREAM_READ);
    glPixelStorei(GL_PACK_ALIGNMENT, 8);
    glPixelStorei(GL_PACK_ROW_LENGTH, 13);

    GlReader reader(width, height, c.path);
    CollectingSink sink;
    sink.height = height;
    const int calls = 6;
    for (int i = 0; i < calls; ++i) {
        drawQuadrants(int(x), int(y), int(width), int(height));
        EXPECT_NE(reader.frame(*gl, glXGetCurrentContext(), x, y, true, i, sink),
                  GlReader::Result::Unsupported)
            << reader.reason();
        GLint bound = 0, alignment = 0, rowLength = 0;
        glGetIntegerv(GL_PIXEL_PACK_BUFFER_BINDING, &bound);
        glGetIntegerv(GL_PACK_ALIGNMENT, &alignment);
        glGetIntegerv(GL_PACK_ROW_LENGTH, &rowLength);
        EXPECT_EQ(bound, GLint(programBuffer));
        EXPECT_EQ(alignment, 8);
        EXPECT_EQ(rowLength, 13);
        window->swap();
    }
    EXPECT_EQ(reader.readsDirectly(), c.path == ReadPath::Direct);
    // A direct read is handed on in the call that made it; a pixel-pack read once its fence has
    // signalled, at the latest when the recording finishes.
    if (c.path == ReadPath::Direct) {
        EXPECT_EQ(sink.frames.size(), size_t(calls));
    }
    reader.finish(gl, glXGetCurrentContext(), sink);
    EXPECT_EQ(sink.frames.size(), size_t(calls));
    EXPECT_EQ(sink.drops, 0);
    for (const Taken &frame : sink.frames) expectQuadrants(frame, width, height);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    glDeleteBuffers(1, &programBuffer);
}

// While the worker holds every slot, a frame that is due has nowhere to go: it is counted as
// dropped, and the reader takes frames again once slots come back.
TEST_P(ReadPaths, CountAFrameWithoutAFreeSlotAsDropped) {
    const PathCase &c = GetParam();
    auto window = GlWindow::open(32, 32, c.profile);
    ASSERT_TRUE(window);
    const GlApi *gl = glApi();
    ASSERT_NE(gl, nullptr);

    GlReader reader(32, 32, c.path);
    CollectingSink sink;
    sink.height = 32;
    sink.hold = true;
    const size_t slots = reader.slotCount();
    int64_t t = 0;
    auto frame = [&] {
        drawQuadrants(0, 0, 32, 32);
        reader.frame(*gl, glXGetCurrentContext(), 0, 0, true, ++t, sink);
        window->swap();
    };
    // Pixel-pack reads reach a slot a call or more late; glFinish makes sure they have arrived.
    for (size_t i = 0; i < slots + 1; ++i) {
        frame();
        glFinish();
    }
    frame();
    EXPECT_EQ(sink.frames.size(), slots);
    EXPECT_GE(sink.drops, 1);

    sink.release();
    sink.hold = false;
    const size_t before = sink.frames.size();
    for (int i = 0; i < 3; ++i) frame();
    reader.finish(gl, glXGetCurrentContext(), sink);
    EXPECT_GT(sink.frames.size(), before);
    for (const Taken &taken : sink.frames) expectQuadrants(taken, 32, 32);
}

INSTANTIATE_TEST_SUITE_P(
    Reader, ReadPaths,
    ::testing::Values(PathCase{ReadPath::PixelPack, Profile::Core},
                      PathCase{ReadPath::PixelPack, Profile::Compatibility},
                      PathCase{ReadPath::Direct, Profile::Core},
                      PathCase{ReadPath::Direct, Profile::Compatibility}),
    [](const ::testing::TestParamInfo<PathCase> &info) {
        return std::string(pathName(info.param.path)) + "_" + profileName(info.param.profile);
    });

// Left to itself, the reader reads straight into its slots exactly where the renderer says it
// is not a GPU.
TEST(Reader, ReadsDirectlyOnlyFromASoftwareRenderer) {
    auto window = GlWindow::open(32, 32, Profile::Core);
    ASSERT_TRUE(window);
    const GlApi *gl = glApi();
    ASSERT_NE(gl, nullptr);
    unsigned int accelerated = 1;
    auto query = reinterpret_cast<Bool (*)(int, unsigned int *)>(
        glXGetProcAddressARB(reinterpret_cast<const GLubyte *>("glXQueryCurrentRendererIntegerMESA")));
    if (!query || !query(GLX_RENDERER_ACCELERATED_MESA, &accelerated))
        GTEST_SKIP() << "this GLX cannot say whether its renderer is a GPU";

    GlReader reader(32, 32);
    CollectingSink sink;
    sink.height = 32;
    drawQuadrants(0, 0, 32, 32);
    reader.frame(*gl, glXGetCurrentContext(), 0, 0, true, 1, sink);
    EXPECT_EQ(reader.readsDirectly(), accelerated == 0)
        << "renderer " << reinterpret_cast<const char *>(glGetString(GL_RENDERER));
    reader.finish(gl, glXGetCurrentContext(), sink);
    ASSERT_EQ(sink.frames.size(), 1u);
    expectQuadrants(sink.frames[0], 32, 32);
}

}  // namespace
}  // namespace mivo::test
