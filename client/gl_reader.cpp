#include "gl_reader.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

namespace mivo {
namespace {

constexpr size_t kMaxHostBytes = size_t(300) << 20;
constexpr int kRendererAccelerated = 0x8186;  // GLX_RENDERER_ACCELERATED_MESA

// Pixel-store settings that change what glReadPixels writes, and the values that give tightly
// packed BGRA rows. Swap-bytes and LSB-first do nothing to GL_UNSIGNED_BYTE, nor image height
// and skip-images to a 2D read, but a driver is free to look at them, so they are set too.
struct PackSetting {
    GLenum name;
    GLint neutral;
};
constexpr PackSetting kPackSettings[] = {
    {GL_PACK_ALIGNMENT, 4},     {GL_PACK_ROW_LENGTH, 0},   {GL_PACK_SKIP_ROWS, 0},
    {GL_PACK_SKIP_PIXELS, 0},   {GL_PACK_SWAP_BYTES, 0},   {GL_PACK_LSB_FIRST, 0},
    {GL_PACK_IMAGE_HEIGHT, 0},  {GL_PACK_SKIP_IMAGES, 0},
};
constexpr size_t kPackCount = sizeof kPackSettings / sizeof kPackSettings[0];

// A compatibility context runs every glReadPixels through the pixel-transfer stage: colour
// scale and bias, and the colour maps when GL_MAP_COLOR is on. A program that left them set
// would tint our frames. (GL_CLAMP_READ_COLOR needs no care: a read into GL_UNSIGNED_BYTE is
// clamped to [0, 1] whatever it says. The imaging subset's tables are not offered by the drivers
// we run on.)
struct TransferSetting {
    GLenum name;
    GLfloat neutral;
};
constexpr TransferSetting kTransferSettings[] = {
    {GL_MAP_COLOR, 0.0f},   {GL_RED_SCALE, 1.0f},  {GL_GREEN_SCALE, 1.0f}, {GL_BLUE_SCALE, 1.0f},
    {GL_ALPHA_SCALE, 1.0f}, {GL_RED_BIAS, 0.0f},   {GL_GREEN_BIAS, 0.0f},  {GL_BLUE_BIAS, 0.0f},
    {GL_ALPHA_BIAS, 0.0f},
};
constexpr size_t kTransferCount = sizeof kTransferSettings / sizeof kTransferSettings[0];

// Nothing here may call glGetError: that would clear the program's own error flags. So every
// call is one the context is known to accept, which is why the version is checked before any
// enum of a newer GL is asked for.
bool parseVersion(const GLubyte *text, int *major, int *minor) {
    if (!text) return false;
    const char *s = reinterpret_cast<const char *>(text);
    if (std::strncmp(s, "OpenGL ES", 9) == 0) return false;
    return std::sscanf(s, "%d.%d", major, minor) == 2;
}

bool hasExtension(const GlApi &gl, const char *name) {
    GLint count = 0;
    gl.getIntegerv(GL_NUM_EXTENSIONS, &count);
    for (GLint i = 0; i < count; ++i) {
        const GLubyte *ext = gl.getStringi(GL_EXTENSIONS, GLuint(i));
        if (ext && std::strcmp(reinterpret_cast<const char *>(ext), name) == 0) return true;
    }
    return false;
}

// The read-side state of one glReadPixels from the default framebuffer, saved on entry and put
// back on exit. Only what differs from what we need is set, and only that is restored.
class ReadState {
public:
    ReadState(const GlApi &gl, bool compatibility, GLenum readTarget)
        : gl_(gl), compatibility_(compatibility) {
        gl.getIntegerv(GL_READ_FRAMEBUFFER_BINDING, &readFramebuffer_);
        if (readFramebuffer_ != 0) gl.bindFramebuffer(GL_READ_FRAMEBUFFER, 0);
        // The read buffer belongs to the framebuffer, so it is asked for once 0 is bound.
        gl.getIntegerv(GL_READ_BUFFER, &readBuffer_);
        if (GLenum(readBuffer_) != readTarget) gl.readBuffer(readTarget);
        for (size_t i = 0; i < kPackCount; ++i) {
            gl.getIntegerv(kPackSettings[i].name, &pack_[i]);
            if (pack_[i] != kPackSettings[i].neutral)
                gl.pixelStorei(kPackSettings[i].name, kPackSettings[i].neutral);
        }
        if (compatibility_) {
            for (size_t i = 0; i < kTransferCount; ++i) {
                gl.getFloatv(kTransferSettings[i].name, &transfer_[i]);
                if (transfer_[i] != kTransferSettings[i].neutral)
                    gl.pixelTransferf(kTransferSettings[i].name, kTransferSettings[i].neutral);
            }
        }
        readTarget_ = readTarget;
    }
    ~ReadState() {
        if (compatibility_) {
            for (size_t i = 0; i < kTransferCount; ++i)
                if (transfer_[i] != kTransferSettings[i].neutral)
                    gl_.pixelTransferf(kTransferSettings[i].name, transfer_[i]);
        }
        for (size_t i = 0; i < kPackCount; ++i)
            if (pack_[i] != kPackSettings[i].neutral) gl_.pixelStorei(kPackSettings[i].name, pack_[i]);
        if (GLenum(readBuffer_) != readTarget_) gl_.readBuffer(GLenum(readBuffer_));
        if (readFramebuffer_ != 0) gl_.bindFramebuffer(GL_READ_FRAMEBUFFER, GLuint(readFramebuffer_));
    }
    ReadState(const ReadState &) = delete;
    ReadState &operator=(const ReadState &) = delete;

private:
    const GlApi &gl_;
    bool compatibility_;
    GLenum readTarget_;
    GLint readFramebuffer_ = 0;
    GLint readBuffer_ = 0;
    GLint pack_[kPackCount] = {};
    GLfloat transfer_[kTransferCount] = {};
};

// The program's pixel-pack buffer binding, put back on exit.
class PackBufferBinding {
public:
    explicit PackBufferBinding(const GlApi &gl) : gl_(gl) {
        gl.getIntegerv(GL_PIXEL_PACK_BUFFER_BINDING, &saved_);
    }
    ~PackBufferBinding() { gl_.bindBuffer(GL_PIXEL_PACK_BUFFER, GLuint(saved_)); }
    PackBufferBinding(const PackBufferBinding &) = delete;
    PackBufferBinding &operator=(const PackBufferBinding &) = delete;

private:
    const GlApi &gl_;
    GLint saved_ = 0;
};

// The format the driver reads the bound read framebuffer in fastest. llvmpipe keeps a 24-bit
// window as B8G8R8X8 and fills in alpha faster for GL_RGBA than for GL_BGRA: 1.8 ms against
// 2.3 ms a 1920x1080 frame. Asked with framebuffer 0 bound for reading.
PixelFormat preferredReadFormat(const GlApi &gl, bool canAsk) {
    if (!canAsk) return PixelFormat::Bgra;
    GLint format = 0, type = 0;
    gl.getIntegerv(GL_IMPLEMENTATION_COLOR_READ_FORMAT, &format);
    gl.getIntegerv(GL_IMPLEMENTATION_COLOR_READ_TYPE, &type);
    return format == GL_RGBA && type == GL_UNSIGNED_BYTE ? PixelFormat::Rgba : PixelFormat::Bgra;
}

// Whether the current drawable has a back buffer. GL_DOUBLEBUFFER describes the framebuffer
// bound for drawing, so framebuffer 0 is bound there for the question when the program has its
// own bound.
GLenum readTargetOf(const GlApi &gl) {
    GLint drawFramebuffer = 0;
    gl.getIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &drawFramebuffer);
    if (drawFramebuffer != 0) gl.bindFramebuffer(GL_DRAW_FRAMEBUFFER, 0);
    GLboolean doubleBuffered = GL_TRUE;
    gl.getBooleanv(GL_DOUBLEBUFFER, &doubleBuffered);
    if (drawFramebuffer != 0) gl.bindFramebuffer(GL_DRAW_FRAMEBUFFER, GLuint(drawFramebuffer));
    return doubleBuffered ? GL_BACK : GL_FRONT;
}

// A renderer that says it is not a GPU (llvmpipe, softpipe). One that cannot say is taken for a
// GPU: reading through pixel-pack buffers is right on both, reading directly only fast on one.
bool isSoftwareRenderer(const GlApi &gl) {
    unsigned int accelerated = 1;
    return gl.queryCurrentRendererInteger &&
           gl.queryCurrentRendererInteger(kRendererAccelerated, &accelerated) && accelerated == 0;
}

}  // namespace

GlReader::GlReader(uint32_t width, uint32_t height, ReadPath path)
    : width_(width), height_(height), frameBytes_(size_t(width) * height * 4), path_(path) {
    // A few frames in flight between us and the worker, one more that the worker's idle-time
    // helper may keep while it is starved in the middle of converting, and one of grace for the
    // worker catching up after it took a frame back; fewer when frames are huge, so the pool
    // stays bounded.
    size_t count = kMaxHostBytes / frameBytes_;
    if (count > 6) count = 6;
    if (count < 1) count = 1;
    for (size_t i = 0; i < count; ++i) {
        auto slot = std::make_unique<HostSlot>();
        // Faulted in here, all at once. Touched a page at a time by the first copy, 8 MB took
        // 22 ms in a virtual machine and stalled the first frames of every recording;
        // MAP_POPULATE maps the same in 2.5 ms.
        void *pages = mmap(nullptr, frameBytes_, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (pages == MAP_FAILED) throw std::bad_alloc();
        slot->pixels = std::unique_ptr<uint8_t, Unmap>(static_cast<uint8_t *>(pages), Unmap{frameBytes_});
        slots_.push_back(std::move(slot));
    }
}

GlReader::~GlReader() = default;

void GlReader::Unmap::operator()(uint8_t *pages) const { munmap(pages, bytes); }

bool GlReader::isCurrent(const GlApi &gl, GlxContext current) const {
    if (!context_ || current != context_) return false;
    return !gl.getContextId || gl.getContextId(current) == contextId_;
}

bool GlReader::setUp(const GlApi &gl, GlxContext current) {
    context_ = current;
    contextId_ = gl.getContextId ? gl.getContextId(current) : 0;
    drawable_ = 0;
    direct_ = false;
    reason_ = nullptr;
    pbos_.clear();
    next_ = pending_ = 0;

    int major = 0, minor = 0;
    if (!parseVersion(gl.getString(GL_VERSION), &major, &minor)) {
        reason_ = "the current context is not a desktop OpenGL context";
        return false;
    }
    if (major < 3) {
        reason_ = "the current context is older than OpenGL 3.0";
        return false;
    }
    direct_ = path_ == ReadPath::Direct || (path_ == ReadPath::Automatic && isSoftwareRenderer(gl));
    if (!direct_ && (major == 3 && minor < 2) && !hasExtension(gl, "GL_ARB_sync")) {
        reason_ = "the current context has no fence syncs (OpenGL 3.2 or GL_ARB_sync)";
        return false;
    }
    if (major == 3 && minor == 0) {
        // A forward-compatible 3.0 context has dropped the pixel-transfer stage: asking it for
        // GL_RED_SCALE would raise an error the program could see.
        GLint flags = 0;
        gl.getIntegerv(GL_CONTEXT_FLAGS, &flags);
        compatibility_ = (flags & GL_CONTEXT_FLAG_FORWARD_COMPATIBLE_BIT) == 0;
    } else if (major == 3 && minor == 1) {
        compatibility_ = hasExtension(gl, "GL_ARB_compatibility");
    } else {
        GLint mask = 0;
        gl.getIntegerv(GL_CONTEXT_PROFILE_MASK, &mask);
        compatibility_ = (mask & GL_CONTEXT_COMPATIBILITY_PROFILE_BIT) != 0;
    }
    canAskReadFormat_ = major > 4 || (major == 4 && minor >= 1) ||
                        hasExtension(gl, "GL_ARB_ES2_compatibility");
    if (compatibility_ && !gl.pixelTransferf) {
        reason_ = "the compatibility context offers no glPixelTransferf";
        return false;
    }

    if (direct_) return true;
    // Two buffers in flight are enough when frames are huge; three keep a fast program from
    // waiting for a slow read-back otherwise.
    pbos_.resize(frameBytes_ > (size_t(64) << 20) ? 2 : 3);
    PackBufferBinding binding(gl);
    for (Pbo &pbo : pbos_) {
        gl.genBuffers(1, &pbo.buffer);
        gl.bindBuffer(GL_PIXEL_PACK_BUFFER, pbo.buffer);
        gl.bufferData(GL_PIXEL_PACK_BUFFER, GLsizeiptr(frameBytes_), nullptr, GL_STREAM_READ);
    }
    return true;
}

void GlReader::forgetContext(FrameSink &sink) {
    // The old context may be gone: its names mean nothing (or something else) in the current
    // one, so nothing is deleted. The reads still in flight are lost.
    for (; pending_ > 0; --pending_) sink.dropped();
    pbos_.clear();
    context_ = nullptr;
}

GlReader::HostSlot *GlReader::freeSlot() {
    for (auto &slot : slots_)
        if (!slot->busy.load(std::memory_order_acquire)) return slot.get();
    return nullptr;
}

void GlReader::handOn(const GlApi &gl, Pbo &pbo, FrameSink &sink, bool mayWait) {
    HostSlot *slot = freeSlot();
    // At the end of a recording the worker is still draining: give it a moment to free a slot.
    for (int tries = 0; !slot && mayWait && tries < 500; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        slot = freeSlot();
    }
    if (!slot) {
        sink.dropped();
        return;
    }
    gl.bindBuffer(GL_PIXEL_PACK_BUFFER, pbo.buffer);
    const void *mapped = gl.mapBufferRange(GL_PIXEL_PACK_BUFFER, 0, GLsizeiptr(frameBytes_), GL_MAP_READ_BIT);
    if (!mapped) {
        sink.dropped();
        return;
    }
    std::memcpy(slot->pixels.get(), mapped, frameBytes_);
    // False means the store was lost while mapped (a mode switch, say): the copy is garbage.
    if (!gl.unmapBuffer(GL_PIXEL_PACK_BUFFER)) {
        sink.dropped();
        return;
    }
    deliver(*slot, pbo.format, pbo.timeNs, sink);
}

void GlReader::deliver(HostSlot &slot, PixelFormat format, int64_t timeNs, FrameSink &sink) {
    slot.busy.store(true, std::memory_order_relaxed);
    FrameRef frame;
    frame.pixels = slot.pixels.get();
    frame.stride = ptrdiff_t(width_) * 4;
    frame.format = format;
    frame.captureTimeNs = timeNs;
    frame.busy = &slot.busy;
    if (!sink.deliver(frame)) slot.busy.store(false, std::memory_order_release);
}

// One glReadPixels of the area into `target`: an offset into the bound pixel-pack buffer, or
// client memory when none is bound. The drawable is looked at again when it changed, since the
// program may draw to several with one context.
void GlReader::readInto(const GlApi &gl, uint32_t x, uint32_t y, void *target) {
    GlxDrawable drawable = gl.getCurrentDrawable();
    const bool newDrawable = drawable != drawable_;
    if (newDrawable) {
        drawable_ = drawable;
        readTarget_ = readTargetOf(gl);
    }
    ReadState state(gl, compatibility_, readTarget_);
    if (newDrawable) readFormat_ = preferredReadFormat(gl, canAskReadFormat_);
    gl.readPixels(GLint(x), GLint(y), GLsizei(width_), GLsizei(height_),
                  readFormat_ == PixelFormat::Rgba ? GL_RGBA : GL_BGRA, GL_UNSIGNED_BYTE, target);
}

GlReader::Result GlReader::readDirect(const GlApi &gl, uint32_t x, uint32_t y, int64_t nowNs,
                                      FrameSink &sink) {
    HostSlot *slot = freeSlot();
    if (!slot) {
        sink.dropped();
        return Result::Dropped;
    }
    {
        PackBufferBinding binding(gl);
        gl.bindBuffer(GL_PIXEL_PACK_BUFFER, 0);
        readInto(gl, x, y, slot->pixels.get());
    }
    deliver(*slot, readFormat_, nowNs, sink);
    return Result::Read;
}

GlReader::Result GlReader::frame(const GlApi &gl, GlxContext current, uint32_t x, uint32_t y,
                                 bool due, int64_t nowNs, FrameSink &sink) {
    if (!isCurrent(gl, current)) {
        // The program made a new context (or moved to another one): start over in it.
        if (context_) forgetContext(sink);
        setUp(gl, current);
    }
    if (reason_) {
        if (due) sink.dropped();
        return Result::Unsupported;
    }
    if (pending_ == 0 && !due) return Result::Idle;
    if (direct_) return readDirect(gl, x, y, nowNs, sink);

    PackBufferBinding binding(gl);
    while (pending_ > 0) {
        Pbo &pbo = pbos_[oldest()];
        // A zero timeout only asks; it never waits for the GPU.
        GLenum status = gl.clientWaitSync(pbo.fence, 0, 0);
        if (status == GL_TIMEOUT_EXPIRED) break;
        gl.deleteSync(pbo.fence);
        pbo.fence = nullptr;
        --pending_;
        if (status == GL_WAIT_FAILED)
            sink.dropped();
        else
            handOn(gl, pbo, sink, false);
    }
    if (!due) return Result::Idle;
    if (pending_ == pbos_.size()) {
        sink.dropped();
        return Result::Dropped;
    }

    Pbo &pbo = pbos_[next_];
    gl.bindBuffer(GL_PIXEL_PACK_BUFFER, pbo.buffer);
    readInto(gl, x, y, nullptr);
    pbo.format = readFormat_;
    pbo.fence = gl.fenceSync(GL_SYNC_GPU_COMMANDS_COMPLETE, 0);
    pbo.timeNs = nowNs;
    next_ = (next_ + 1) % pbos_.size();
    ++pending_;
    return Result::Read;
}

void GlReader::finish(const GlApi *gl, GlxContext current, FrameSink &sink) {
    if (!gl || !isCurrent(*gl, current) || reason_) {
        forgetContext(sink);
        return;
    }
    {
        PackBufferBinding binding(*gl);
        for (; pending_ > 0; --pending_) {
            Pbo &pbo = pbos_[oldest()];
            GLenum status = gl->clientWaitSync(pbo.fence, GL_SYNC_FLUSH_COMMANDS_BIT, 200000000);
            gl->deleteSync(pbo.fence);
            pbo.fence = nullptr;
            if (status == GL_ALREADY_SIGNALED || status == GL_CONDITION_SATISFIED)
                handOn(*gl, pbo, sink, true);
            else
                sink.dropped();
        }
    }
    for (Pbo &pbo : pbos_) gl->deleteBuffers(1, &pbo.buffer);
    pbos_.clear();
    context_ = nullptr;
}

}  // namespace mivo
