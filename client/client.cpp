// The three calls the core makes: set up a recording, take a frame, finish.
#include <pthread.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "gl_api.h"
#include "gl_reader.h"
#include "log.h"
#include "mivo.h"
#include "output.h"
#include "pacing.h"
#include "recorder.h"

using namespace mivo;

namespace {

constexpr uint32_t kMaxSide = 8192;
constexpr double kDefaultFps = 30.0;
constexpr double kMaxFps = 1000.0;

// Bumped in a forked child: the clients it inherited belong to the parent, whose worker threads
// did not come along.
unsigned forkGeneration = 0;

class RecorderSink : public FrameSink {
public:
    explicit RecorderSink(Recorder &recorder) : recorder_(recorder) {}
    bool deliver(const FrameRef &frame) override { return submitFrame(recorder_, frame); }
    void dropped() override { noteDropped(recorder_); }

private:
    Recorder &recorder_;
};

}  // namespace

struct MivoClient {
    // Held by every call on the handle: a program that exits on one thread while another still
    // draws would otherwise have its frame path meet the exit's finishing. Timed, so that an
    // exit() from a signal handler that interrupted this very thread inside a call does not
    // wait for itself.
    std::timed_mutex lock;
    unsigned generation = forkGeneration;
    std::unique_ptr<Recorder> recorder;  // null once finished
    std::unique_ptr<GlReader> reader;
    FramePacer pacer;
    std::string path;
    bool warnedNoGl = false;
    bool warnedUnsupported = false;

    MivoClient(double fps, int64_t startNs) : pacer(fps, startNs) {}
};

namespace {

// Recordings still running, so that the ones a program never stops are finished at exit. The
// list is never destroyed: it must outlive every other static of the library.
struct Registry {
    std::mutex lock;
    std::vector<MivoClient *> clients;
};

Registry &registry() {
    static Registry *live = new Registry;
    return *live;
}

void lockRegistry() { registry().lock.lock(); }
void unlockRegistry() { registry().lock.unlock(); }
void forgetInChild() {
    registry().lock.unlock();
    registry().clients.clear();
    ++forkGeneration;
}

// Registered when the library is loaded, before whoever loaded it registers its own: fork
// handlers that lock run in reverse order of registration, so a caller that holds its lock
// around our calls (the preload layer does) takes it before we take ours, as on every other path.
__attribute__((constructor)) void watchForks() { pthread_atfork(lockRegistry, unlockRegistry, forgetInChild); }

void enlist(MivoClient *client) {
    std::lock_guard<std::mutex> guard(registry().lock);
    registry().clients.push_back(client);
}

// False when the exit's finishing has already taken the client off the list: it is then
// working on it, and the handle must stay alive.
bool delist(MivoClient *client) {
    std::lock_guard<std::mutex> guard(registry().lock);
    auto &clients = registry().clients;
    for (auto it = clients.begin(); it != clients.end(); ++it) {
        if (*it == client) {
            clients.erase(it);
            return true;
        }
    }
    return false;
}

void reportStats(const RecorderStats &stats) {
    if (stats.discarded) {
        clientLog(LogInfo, "Vorna took no frame (%llu dropped), so %s was not kept\n",
                  static_cast<unsigned long long>(stats.framesDropped), stats.path.c_str());
        return;
    }
    if (stats.failed) {
        clientLog(LogInfo, "Vorna's recording to %s ended early after an error: %llu frames (%llu dropped), %.2f s were written\n",
                  stats.path.c_str(), static_cast<unsigned long long>(stats.framesWritten),
                  static_cast<unsigned long long>(stats.framesDropped), stats.durationSeconds);
        return;
    }
    clientLog(LogInfo, "Vorna wrote %llu frames (%llu dropped), %.2f s, to %s\n",
              static_cast<unsigned long long>(stats.framesWritten),
              static_cast<unsigned long long>(stats.framesDropped), stats.durationSeconds,
              stats.path.c_str());
    clientLog(LogDebug, "%llu of them were encoded on idle CPU time; %llu taken back from the idle-time encoder (%llu begun there)\n",
              static_cast<unsigned long long>(stats.framesByHelper),
              static_cast<unsigned long long>(stats.takeovers),
              static_cast<unsigned long long>(stats.restarts));
}

// Ends a recording: the reads still in flight are handed on when their context is current,
// then the file is finished. Called with client->lock held.
void finish(MivoClient *client, bool mayUseGl) {
    if (!client->recorder) return;
    RecorderSink sink(*client->recorder);
    const GlApi *gl = mayUseGl ? glApi() : nullptr;
    client->reader->finish(gl, gl ? gl->getCurrentContext() : nullptr, sink);
    reportStats(finishRecorder(std::move(client->recorder)));
}

// A recording the program never stopped is finished when the process exits normally (or when
// the library is unloaded). GL is not touched here: by now the program may have destroyed its
// context or closed its display, so frames still being read back are dropped.
__attribute__((destructor)) void finishAtExit() {
    std::vector<MivoClient *> clients;
    {
        std::lock_guard<std::mutex> guard(registry().lock);
        clients.swap(registry().clients);
    }
    for (MivoClient *client : clients) {
        std::unique_lock<std::timed_mutex> guard(client->lock, std::chrono::seconds(1));
        if (guard.owns_lock()) finish(client, false);
    }
}

bool checkedFps(double fps, double *out) {
    if (std::isfinite(fps) && fps > 0 && fps <= kMaxFps) {
        *out = fps;
        return true;
    }
    *out = kDefaultFps;
    return false;
}

uint32_t scaled(uint32_t side, uint32_t scale) {
    if (scale < 2) return side;
    uint32_t out = side / scale;
    return out < 2 ? 2 : out;
}

}  // namespace

extern "C" MIVO_EXPORT MivoClient *mivoClientCreate(const CaptureParams *params) {
    static const char kFn[] = "mivoClientCreate";
    if (!params) {
        clientLog(LogError, "%s(): no capture parameters were passed, the caller must pass a CaptureParams record\n", kFn);
        return nullptr;
    }
    const uint32_t width = params->width, height = params->height;
    if (width == 0 || height == 0) {
        clientLog(LogError, "%s(): the area to record is %ux%u pixels, nothing to record; make the insets smaller than the window\n",
                  kFn, width, height);
        return nullptr;
    }
    if (width > kMaxSide || height > kMaxSide) {
        clientLog(LogError, "%s(): the area to record is %ux%u pixels, more than the %ux%u that can be recorded; record a smaller window or cut it with INSETS\n",
                  kFn, width, height, kMaxSide, kMaxSide);
        return nullptr;
    }
    if (!params->output || !*params->output) {
        clientLog(LogError, "%s(): no output was given; set OUTPUT to a file:// URL\n", kFn);
        return nullptr;
    }
    double fps = kDefaultFps;
    if (!checkedFps(params->fps, &fps))
        clientLog(LogWarn, "%s(): FPS %g is not a frame rate above 0 and up to %g, recording at %g frames a second\n",
                  kFn, params->fps, kMaxFps, kDefaultFps);

    OutputTarget target;
    std::string error;
    if (!resolveOutput(params->output, &target, &error)) {
        clientLog(LogError, "%s", error.c_str());
        return nullptr;
    }

    const int64_t start = monotonicNowNs();
    std::unique_ptr<MivoClient> client;
    try {
        client = std::make_unique<MivoClient>(fps, start);
        client->reader = std::make_unique<GlReader>(width, height);
    } catch (const std::bad_alloc &) {
        clientLog(LogError, "%s(): not enough memory to hold %ux%u frames; record a smaller area or use SCALE\n",
                  kFn, width, height);
        releaseOutput(target.path);
        return nullptr;
    }

    RecorderSettings settings;
    settings.width = width;
    settings.height = height;
    settings.outWidth = scaled(width, params->scale);
    settings.outHeight = scaled(height, params->scale);
    settings.fps = fps;
    settings.path = target.path;
    settings.container = target.container;
    settings.startTimeNs = start;
    settings.queueCapacity = uint32_t(client->reader->slotCount());
    client->recorder = startRecorder(settings, &error);
    if (!client->recorder) {
        clientLog(LogError, "%s", error.c_str());
        return nullptr;
    }
    client->path = target.path;

    if (settings.outWidth != width || settings.outHeight != height)
        clientLog(LogInfo, "Vorna is recording %ux%u, scaled to %ux%u, at %.1f fps to %s\n", width,
                  height, settings.outWidth, settings.outHeight, fps, target.path.c_str());
    else
        clientLog(LogInfo, "Vorna is recording %ux%u at %.1f fps to %s\n", width, height, fps,
                  target.path.c_str());
    enlist(client.get());
    return client.release();
}

extern "C" MIVO_EXPORT int mivoClientCapture(MivoClient *client, uint32_t x, uint32_t y) {
    static const char kFn[] = "mivoClientCapture";
    if (!client || client->generation != forkGeneration) return 1;
    std::lock_guard<std::timed_mutex> guard(client->lock);
    if (!client->recorder) return 1;
    // After a write error the recording is over; the program goes on without us.
    if (recorderFailed(*client->recorder)) return 1;

    const GlApi *gl = glApi();
    GlxContext current = gl ? gl->getCurrentContext() : nullptr;
    if (!current) {
        if (!client->warnedNoGl)
            clientLog(LogWarn, "%s(): no OpenGL context is current on this thread, so no frame can be taken; call it from inside the buffer swap\n",
                      kFn);
        client->warnedNoGl = true;
        return 1;
    }

    const int64_t now = monotonicNowNs();
    const bool due = client->pacer.due(now);
    RecorderSink sink(*client->recorder);
    switch (client->reader->frame(*gl, current, x, y, due, now, sink)) {
    case GlReader::Result::Read:
    case GlReader::Result::Idle:
        return 0;
    case GlReader::Result::Dropped:
        return 1;
    case GlReader::Result::Unsupported:
        if (!client->warnedUnsupported)
            clientLog(LogWarn, "%s(): %s, so nothing is recorded from it\n", kFn, client->reader->reason());
        client->warnedUnsupported = true;
        return 1;
    }
    return 1;
}

extern "C" MIVO_EXPORT void mivoClientDestroy(MivoClient *client) {
    if (!client) return;
    // A child's copy of its parent's recording: the worker is not here to finish it, and the
    // file is the parent's. The memory is left alone.
    if (client->generation != forkGeneration) return;
    const bool owned = delist(client);
    {
        std::lock_guard<std::timed_mutex> guard(client->lock);
        finish(client, true);
    }
    if (owned) delete client;
}
