// Which contexts the frame path treats as having the compatibility profile's pixel-transfer
// stage, against a stand-in GL that answers as each kind of context would. A context without
// that stage raises GL_INVALID_ENUM at a question about it, and the program would see the error;
// one with it would tint our frames if its scale and bias were left alone. Mesa never hands out
// some of these (it makes every forward-compatible context a 4.5 core one), hence the stand-in.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "gl_api.h"
#include "gl_reader.h"

namespace mivo::test {
namespace {

// The context the stand-in GL plays.
struct Context {
    const char *version;
    GLint flags = 0;
    GLint profileMask = 0;
    std::vector<const char *> extensions;
};

Context current;
std::vector<GLenum> floatsAsked;
int pixelTransfers = 0;
std::vector<uint8_t> buffer;

const GLubyte *getString(GLenum name) {
    return reinterpret_cast<const GLubyte *>(name == GL_VERSION ? current.version : "stand-in");
}
const GLubyte *getStringi(GLenum, GLuint index) {
    return reinterpret_cast<const GLubyte *>(current.extensions.at(index));
}
void getIntegerv(GLenum name, GLint *value) {
    switch (name) {
    case GL_CONTEXT_FLAGS: *value = current.flags; break;
    case GL_CONTEXT_PROFILE_MASK: *value = current.profileMask; break;
    case GL_NUM_EXTENSIONS: *value = GLint(current.extensions.size()); break;
    case GL_PACK_ALIGNMENT: *value = 4; break;
    case GL_READ_BUFFER: *value = GL_BACK; break;
    default: *value = 0;
    }
}
void getBooleanv(GLenum, GLboolean *value) { *value = GL_TRUE; }
void getFloatv(GLenum name, GLfloat *value) {
    floatsAsked.push_back(name);
    const bool scale = name == GL_RED_SCALE || name == GL_GREEN_SCALE || name == GL_BLUE_SCALE || name == GL_ALPHA_SCALE;
    *value = scale ? 1.0f : 0.0f;
}
void pixelStorei(GLenum, GLint) {}
void pixelTransferf(GLenum, GLfloat) { ++pixelTransfers; }
void readBuffer(GLenum) {}
void readPixels(GLint, GLint, GLsizei, GLsizei, GLenum, GLenum, void *) {}
void bindFramebuffer(GLenum, GLuint) {}
void genBuffers(GLsizei n, GLuint *names) {
    for (GLsizei i = 0; i < n; ++i) names[i] = GLuint(i + 1);
}
void deleteBuffers(GLsizei, const GLuint *) {}
void bindBuffer(GLenum, GLuint) {}
void bufferData(GLenum, GLsizeiptr size, const void *, GLenum) { buffer.resize(size_t(size)); }
void *mapBufferRange(GLenum, GLintptr, GLsizeiptr, GLbitfield) { return buffer.data(); }
GLboolean unmapBuffer(GLenum) { return GL_TRUE; }
GLsync fenceSync(GLenum, GLbitfield) { return reinterpret_cast<GLsync>(1); }
GLenum clientWaitSync(GLsync, GLbitfield, GLuint64) { return GL_ALREADY_SIGNALED; }
void deleteSync(GLsync) {}
GlxDrawable getCurrentDrawable() { return 42; }

GlApi standInGl() {
    GlApi gl;
    gl.getCurrentDrawable = getCurrentDrawable;
    gl.getString = getString;
    gl.getStringi = getStringi;
    gl.getIntegerv = getIntegerv;
    gl.getBooleanv = getBooleanv;
    gl.getFloatv = getFloatv;
    gl.pixelStorei = pixelStorei;
    gl.pixelTransferf = pixelTransferf;
    gl.readBuffer = readBuffer;
    gl.readPixels = readPixels;
    gl.bindFramebuffer = bindFramebuffer;
    gl.genBuffers = genBuffers;
    gl.deleteBuffers = deleteBuffers;
    gl.bindBuffer = bindBuffer;
    gl.bufferData = bufferData;
    gl.mapBufferRange = mapBufferRange;
    gl.unmapBuffer = unmapBuffer;
    gl.fenceSync = fenceSync;
    gl.clientWaitSync = clientWaitSync;
    gl.deleteSync = deleteSync;
    return gl;
}

class NullSink : public FrameSink {
public:
    bool deliver(const FrameRef &frame) override {
        frame.busy->store(false, std::memory_order_release);
        ++frames;
        return true;
    }
    void dropped() override {}
    int frames = 0;
};

struct ContextCase {
    const char *name;
    Context context;
    bool hasPixelTransfer;
};

void PrintTo(const ContextCase &c, std::ostream *out) { *out << c.name; }

class Contexts : public ::testing::TestWithParam<ContextCase> {};

TEST_P(Contexts, AskForThePixelTransferStageOnlyWhereItExists) {
    current = GetParam().context;
    floatsAsked.clear();
    pixelTransfers = 0;
    const GlApi gl = standInGl();
    int contextTag = 0;
    for (ReadPath path : {ReadPath::PixelPack, ReadPath::Direct}) {
        GlReader reader(8, 8, path);
        NullSink sink;
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(reader.frame(gl, &contextTag, 0, 0, true, i, sink), GlReader::Result::Read) << reader.reason();
        reader.finish(&gl, &contextTag, sink);
        EXPECT_EQ(sink.frames, 3);
    }
    const bool asked = std::find(floatsAsked.begin(), floatsAsked.end(), GLenum(GL_RED_SCALE)) != floatsAsked.end();
    EXPECT_EQ(asked, GetParam().hasPixelTransfer);
    if (!GetParam().hasPixelTransfer) {
        EXPECT_TRUE(floatsAsked.empty());
    }
    // The stand-in's scale and bias are neutral: nothing needs setting, so nothing is set.
    EXPECT_EQ(pixelTransfers, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Reader, Contexts,
    ::testing::Values(
        ContextCase{"gl30", {"3.0 stand-in", 0, 0, {"GL_ARB_sync"}}, true},
        ContextCase{"gl30_forward_compatible",
                    {"3.0 stand-in", GL_CONTEXT_FLAG_FORWARD_COMPATIBLE_BIT, 0, {"GL_ARB_sync"}}, false},
        ContextCase{"gl31_with_arb_compatibility", {"3.1 stand-in", 0, 0, {"GL_ARB_sync", "GL_ARB_compatibility"}}, true},
        ContextCase{"gl31_without", {"3.1 stand-in", 0, 0, {"GL_ARB_sync"}}, false},
        ContextCase{"gl33_core", {"3.3 stand-in", 0, GL_CONTEXT_CORE_PROFILE_BIT, {}}, false},
        ContextCase{"gl45_compatibility", {"4.5 stand-in", 0, GL_CONTEXT_COMPATIBILITY_PROFILE_BIT, {}}, true}),
    [](const ::testing::TestParamInfo<ContextCase> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace mivo::test
