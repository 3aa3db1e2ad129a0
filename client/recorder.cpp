#include "recorder.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <system_error>
#include <thread>

#include "encoder.h"
#include "frame_queue.h"
#include "log.h"

namespace mivo {
namespace {

// How often the worker puts what it has muxed into the file and checks that the file is still
// there. Half a second, so that a killed program loses at most a second: the half second not
// yet flushed, the frame held back for its duration, and the encoder's own latency.
constexpr std::chrono::milliseconds kFlushInterval(500);

int64_t monotonicNs() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The worker, and the encoder threads it starts (they inherit this), must not cut into the
// program's frame path: under SCHED_BATCH a worker that wakes for a new frame never preempts a
// running program thread, yet keeps its full share of the CPU. A lower share (a higher nice
// value, or SCHED_IDLE) starves it while the program runs flat out: at 1920x1080 and 60 fps
// nice 5 already dropped frames.
void yieldToProgram() {
    sched_param param{};
    pthread_setschedparam(pthread_self(), SCHED_BATCH, &param);
}

void release(const FrameRef &frame) {
    if (frame.busy) frame.busy->store(false, std::memory_order_release);
}

}  // namespace

class Recorder {
public:
    explicit Recorder(const RecorderSettings &settings)
        : settings_(settings), queue_(settings.queueCapacity) {}

    ~Recorder() {
        if (worker_.joinable()) stop();
    }

    // Starts the worker and waits until it has opened the file and the encoder: everything that
    // writes to the file runs on the worker and its signal mask. False and the cause in *error
    // when it could not.
    bool start(std::string *error) {
        std::future<std::string> opened = openResult_.get_future();
        // The worker must not take the program's signals: a handler the program installed
        // would run on our thread, and SIGXFSZ from a file-size limit would kill the program
        // instead of turning into an EFBIG write error. Faults stay deliverable.
        sigset_t all, previous;
        sigfillset(&all);
        for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&all, fault);
        pthread_sigmask(SIG_BLOCK, &all, &previous);
        try {
            worker_ = std::thread([this] { run(); });
        } catch (const std::system_error &e) {
            *error = std::string("cannot start the encoding thread: ") + e.what();
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        if (!worker_.joinable()) return false;
        pthread_setname_np(worker_.native_handle(), "vorna-encode");
        *error = opened.get();
        if (error->empty()) return true;
        worker_.join();
        return false;
    }

    bool submit(const FrameRef &frame) {
        if (failed() || !queue_.tryPush(frame)) {
            release(frame);
            noteDropped();
            return false;
        }
        return true;
    }

    void noteDropped() { dropped_.fetch_add(1, std::memory_order_relaxed); }
    // On the caller's thread, the first time it sees the recording failed: the worker leaves its
    // ERROR line here, since the core's logMessage writes through buffers of its own that a
    // second thread must not use while the program's thread is in the core.
    bool failed() {
        if (!failed_.load(std::memory_order_acquire)) return false;
        if (!failureSaid_.exchange(true)) clientLog(LogError, "%s", failureLine_.c_str());
        return true;
    }

    RecorderStats stop() {
        stopNs_ = monotonicNs();
        queue_.close();
        worker_.join();
        failed();
        RecorderStats stats;
        stats.framesWritten = written_;
        stats.framesDropped = dropped_.load(std::memory_order_relaxed);
        stats.durationSeconds = static_cast<double>(endMs_) / 1000.0;
        stats.path = settings_.path;
        stats.failed = failed();
        stats.discarded = discarded_;
        return stats;
    }

private:
    EncoderConfig config() const {
        EncoderConfig c;
        c.width = settings_.width;
        c.height = settings_.height;
        c.outWidth = settings_.outWidth;
        c.outHeight = settings_.outHeight;
        c.fps = settings_.fps;
        c.container = settings_.container;
        c.path = settings_.path;
        return c;
    }

    int64_t msSinceStart(int64_t ns) const {
        return ns > settings_.startTimeNs ? (ns - settings_.startTimeNs) / 1000000 : 0;
    }

    void run() {
        yieldToProgram();
        std::string cause;
        try {
            encoder_ = Encoder::open(config(), &cause);
        } catch (const std::bad_alloc &) {
            cause = "out of memory";
        }
        if (!encoder_) {
            openResult_.set_value(cause.empty() ? "the encoder could not be set up" : cause);
            return;
        }
        openResult_.set_value(std::string());

        auto nextFlush = std::chrono::steady_clock::now() + kFlushInterval;
        for (;;) {
            FrameRef frame;
            FrameQueue::Pop got = queue_.pop(&frame, nextFlush);
            if (got == FrameQueue::Pop::Closed) break;
            if (got == FrameQueue::Pop::Frame) take(frame);
            if (std::chrono::steady_clock::now() >= nextFlush) {
                housekeeping();
                nextFlush = std::chrono::steady_clock::now() + kFlushInterval;
            }
        }
        if (encoder_) {
            if (!encoder_->finish(msSinceStart(stopNs_)))
                fail(encoder_->error(), "mivoClientDestroy");
            else if (encoder_->fileRemoved())
                fail("the file was removed while recording", "mivoClientDestroy");
        }
        if (encoder_) {
            written_ = encoder_->framesWritten();
            endMs_ = encoder_->endMs();
            encoder_.reset();
            // A video without a single frame is no video: players and readers refuse the bare
            // header, so the file is not left behind (F8 pressed twice before a frame was read).
            if (written_ == 0 && unlink(settings_.path.c_str()) == 0) discarded_ = true;
        }
    }

    void take(const FrameRef &frame) {
        if (!encoder_) {
            release(frame);
            noteDropped();
            return;
        }
        bool converted = encoder_->convert(frame);
        release(frame);
        // The first frame stands for the start of the recording: the video has no empty lead-in.
        int64_t pts = firstFrame_ ? 0 : msSinceStart(frame.captureTimeNs);
        firstFrame_ = false;
        if (!converted || !encoder_->encode(pts)) fail(encoder_->error());
    }

    void housekeeping() {
        if (!encoder_) return;
        if (encoder_->fileRemoved()) fail("the file was removed while recording");
        else if (!encoder_->flushToDisk()) fail(encoder_->error());
    }

    // Ends the recording after a write error: one message, the encoder and its file closed at
    // once, and every later frame refused. `who` is the call the user sees behind it: frames
    // go in through mivoClientCapture, the file is finished by mivoClientDestroy.
    void fail(const std::string &cause, const char *who = "mivoClientCapture") {
        failureLine_ = std::string(who) + "(): recording to " + settings_.path + " failed: " + cause +
                       "; the recording has ended and the file keeps what was written before\n";
        written_ = encoder_->framesWritten();
        endMs_ = encoder_->endMs();
        encoder_.reset();
        failed_.store(true, std::memory_order_release);
    }

    RecorderSettings settings_;
    std::unique_ptr<Encoder> encoder_;  // the worker's alone
    FrameQueue queue_;
    std::promise<std::string> openResult_;  // empty when the encoder is ready
    std::thread worker_;
    std::atomic<bool> failed_{false};
    std::string failureLine_;  // the worker's, written before failed_ is set
    std::atomic<bool> failureSaid_{false};
    std::atomic<uint64_t> dropped_{0};
    int64_t stopNs_ = 0;    // written before the queue closes, read by the worker after
    uint64_t written_ = 0;  // worker's, read after the join
    int64_t endMs_ = 0;
    bool discarded_ = false;  // worker's, read after the join
    bool firstFrame_ = true;
};

std::unique_ptr<Recorder> startRecorder(const RecorderSettings &settings, std::string *error) {
    RecorderSettings s = settings;
    if (s.startTimeNs == 0) s.startTimeNs = monotonicNs();
    if (s.outWidth == 0 || s.outHeight == 0) {
        s.outWidth = s.width;
        s.outHeight = s.height;
    }
    auto refuse = [&](const std::string &why) {
        *error = "mivoClientCreate(): cannot record to " + s.path + ": " + why + "\n";
        releaseOutput(s.path);
        return nullptr;
    };
    if (s.width == 0 || s.height == 0) return refuse("the area is empty");

    std::unique_ptr<Recorder> recorder;
    try {
        recorder = std::make_unique<Recorder>(s);
    } catch (const std::bad_alloc &) {
        return refuse("out of memory");
    }
    std::string cause;
    if (!recorder->start(&cause)) return refuse(cause);
    return recorder;
}

bool submitFrame(Recorder &recorder, const FrameRef &frame) { return recorder.submit(frame); }

void noteDropped(Recorder &recorder) { recorder.noteDropped(); }

bool recorderFailed(Recorder &recorder) { return recorder.failed(); }

RecorderStats finishRecorder(std::unique_ptr<Recorder> recorder) {
    if (!recorder) return {};
    return recorder->stop();
}

}  // namespace mivo

void std::default_delete<mivo::Recorder>::operator()(mivo::Recorder *recorder) const {
    delete recorder;
}
