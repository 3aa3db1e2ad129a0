// Reading frames back from the program's GL context, on the program's thread inside its buffer
// swap. On a GPU the read must not wait for it: a ring of pixel-pack buffers, each with a fence;
// a buffer whose fence has signalled is copied into a heap slot of our own and handed on. A
// software rasterizer reads on the CPU, in the call, whatever the target: there the frame goes
// straight into the heap slot, which saves a second copy of every frame.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "gl_api.h"
#include "recorder.h"

namespace mivo {

// Where finished frames go.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    // False when the frame was not taken; the reader then frees its slot.
    virtual bool deliver(const FrameRef &frame) = 0;
    virtual void dropped() = 0;
};

// How frames leave the GL. Automatic asks the renderer (GLX_MESA_query_renderer) and reads
// directly only where it says it is not a GPU; the other two are for tests and benches.
enum class ReadPath { Automatic, PixelPack, Direct };

class GlReader {
public:
    enum class Result {
        Read,         // the frame was read back and is on its way
        Idle,         // no frame was due
        Dropped,      // a frame was due but no buffer was free
        Unsupported,  // the context cannot do what we need (see reason())
    };

    // Allocates the heap slots; throws std::bad_alloc when they do not fit.
    GlReader(uint32_t width, uint32_t height, ReadPath path = ReadPath::Automatic);
    ~GlReader();
    GlReader(const GlReader &) = delete;
    GlReader &operator=(const GlReader &) = delete;

    // One frame call, with `current` the program's current context (not null). Hands on every
    // earlier read whose fence has signalled; when `due`, starts reading the area whose
    // lower-left corner is (x, y), stamped with `nowNs`.
    Result frame(const GlApi &gl, GlxContext current, uint32_t x, uint32_t y, bool due,
                 int64_t nowNs, FrameSink &sink);

    // At the end of a recording. With the creating context current, waits a little for the reads
    // still pending, hands them on and deletes the GL objects. Otherwise the pending reads are
    // dropped and the objects are left to their context, which frees them when it goes.
    void finish(const GlApi *gl, GlxContext current, FrameSink &sink);

    // How many heap slots frames go through: the most the worker can hold at once.
    size_t slotCount() const { return slots_.size(); }

    // Why the context is unusable, after Result::Unsupported.
    const char *reason() const { return reason_; }

    // Whether frames of the current context are read straight into the heap slots; valid after
    // the first frame() call.
    bool readsDirectly() const { return direct_; }

private:
    struct Pbo {
        GLuint buffer = 0;
        GLsync fence = nullptr;
        int64_t timeNs = 0;
        PixelFormat format = PixelFormat::Bgra;
    };
    struct Unmap {
        size_t bytes;
        void operator()(uint8_t *pages) const;
    };
    struct HostSlot {
        std::unique_ptr<uint8_t, Unmap> pixels;
        std::atomic<bool> busy{false};
    };

    bool setUp(const GlApi &gl, GlxContext current);
    void readInto(const GlApi &gl, uint32_t x, uint32_t y, void *target);
    Result readDirect(const GlApi &gl, uint32_t x, uint32_t y, int64_t nowNs, FrameSink &sink);
    void deliver(HostSlot &slot, PixelFormat format, int64_t timeNs, FrameSink &sink);
    void forgetContext(FrameSink &sink);
    void handOn(const GlApi &gl, Pbo &pbo, FrameSink &sink, bool mayWait);
    HostSlot *freeSlot();
    size_t oldest() const { return (next_ + pbos_.size() - pending_) % pbos_.size(); }

    uint32_t width_, height_;
    size_t frameBytes_;
    ReadPath path_;
    bool direct_ = false;  // for the current context
    std::vector<std::unique_ptr<HostSlot>> slots_;

    bool isCurrent(const GlApi &gl, GlxContext current) const;

    GlxContext context_ = nullptr;   // where pbos_ live
    unsigned long contextId_ = 0;
    GlxDrawable drawable_ = 0;
    bool compatibility_ = false;
    GLenum readTarget_ = GL_BACK;
    bool canAskReadFormat_ = false;   // GL 4.1 or GL_ARB_ES2_compatibility
    PixelFormat readFormat_ = PixelFormat::Bgra;
    const char *reason_ = nullptr;
    std::vector<Pbo> pbos_;
    size_t next_ = 0;     // the buffer the next read goes to
    size_t pending_ = 0;  // reads in flight, the oldest at oldest()
};

}  // namespace mivo
