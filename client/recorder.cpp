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

#include "encode_helper.h"
#include "frame_queue.h"
#include "log.h"
#include "muxer.h"

namespace mivo {
namespace {

// How often the worker puts what it has muxed into the file and checks that the file is still
// there. Half a second, so that a killed program loses at most a second: the half second not
// yet flushed, the frame held back for its duration, and the encoder's own latency.
constexpr std::chrono::milliseconds kFlushInterval(500);

// After the idle-time helper missed a deadline, the worker encodes alone for a while
// (idleHelperRetryMs). A helper that misses again soon after, before it has encoded a second's
// worth of frames, finds the machine as busy as before: the spell alone doubles, up to
// kLongestHold. One that had been keeping up hit a passing peak: the first spell again.
constexpr std::chrono::milliseconds kLongestHold(32000);

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

}  // namespace

class Recorder {
public:
    explicit Recorder(const RecorderSettings &settings)
        : settings_(settings), queue_(settings.queueCapacity) {
        hold_ = firstHold();
    }

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
            releaseFrame(frame);
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
        stats.framesByHelper = framesByHelper_;
        stats.takeovers = takeovers_;
        stats.restarts = restarts_;
        return stats;
    }

private:
    std::chrono::milliseconds firstHold() const {
        return std::chrono::milliseconds(std::max<uint32_t>(1, settings_.idleHelperRetryMs));
    }

    VideoConfig videoConfig() const {
        VideoConfig c;
        c.width = settings_.width;
        c.height = settings_.height;
        c.outWidth = settings_.outWidth;
        c.outHeight = settings_.outHeight;
        c.fps = settings_.fps;
        c.globalHeader = keepsGlobalHeader(settings_.container);
        return c;
    }

    int64_t msSinceStart(int64_t ns) const {
        return ns > settings_.startTimeNs ? (ns - settings_.startTimeNs) / 1000000 : 0;
    }

    std::unique_ptr<VideoCodec> openCodec(std::string *cause) const {
        try {
            return VideoCodec::open(videoConfig(), cause);
        } catch (const std::bad_alloc &) {
            *cause = "out of memory";
            return nullptr;
        }
    }

    bool open(std::string *cause) {
        codec_ = openCodec(cause);
        if (!codec_) return false;
        try {
            muxer_ = Muxer::open(settings_.path, settings_.container, settings_.fps, *codec_, cause);
        } catch (const std::bad_alloc &) {
            *cause = "out of memory";
        }
        if (!muxer_) return false;
        // Without the helper (no idle priority to be had) the worker encodes every frame itself.
        std::string unused;
        if (settings_.idleHelper) helper_ = EncodeHelper::start(&unused);
        if (helper_) spare_ = openCodec(&unused);
        if (!spare_) helper_.reset();
        return true;
    }

    void run() {
        yieldToProgram();
        std::string cause;
        if (!open(&cause)) {
            helper_.reset();
            muxer_.reset();
            codec_.reset();
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
        if (muxer_) finishFile();
        helper_.reset();
        spare_.reset();
        codec_.reset();
        if (muxer_) {
            written_ = muxer_->framesWritten();
            endMs_ = muxer_->endMs();
            muxer_.reset();
            // A video without a single frame is no video: players and readers refuse the bare
            // header, so the file is not left behind (F8 pressed twice before a frame was read).
            if (written_ == 0 && unlink(settings_.path.c_str()) == 0) discarded_ = true;
        }
    }

    void finishFile() {
        const char *who = "mivoClientDestroy";
        Packets rest;
        if (!codec_->finish(&rest)) return fail(codec_->error(), who);
        if (!mux(rest, who)) return;
        if (!muxer_->finish(msSinceStart(stopNs_))) return fail(muxer_->error(), who);
        if (muxer_->fileRemoved()) fail("the file was removed while recording", who);
    }

    // The helper gets the frame while it is keeping up. After it missed a deadline the worker
    // encodes alone for a while, longer while misses follow each other closely; with a spare
    // codec ready, so that the next miss costs no time to set one up.
    bool helperTakes(std::chrono::steady_clock::time_point now) {
        if (!helper_ || now < directUntil_ || !helper_->available()) return false;
        if (!spare_) {
            std::string unused;
            spare_ = openCodec(&unused);
            if (!spare_) return false;
        }
        return true;
    }

    void missed(std::chrono::steady_clock::time_point now) {
        ++takeovers_;
        if (double(helperRun_) >= settings_.fps) hold_ = firstHold();
        else if (takeovers_ > 1) hold_ = std::min(hold_ * 2, kLongestHold);
        helperRun_ = 0;
        directUntil_ = now + hold_;
    }

    std::chrono::steady_clock::time_point deadlineFor(const FrameRef &frame) const {
        // The frame path has queueCapacity slots: one for the frame it reads next, one the helper
        // may be left holding, this frame's, and those behind it. The helper may keep the frame
        // while all but two of those fill up, no longer: a worker that takes it back then has to
        // encode it and the frames behind it at its share of a busy machine (20-25 ms a frame
        // for a heavy 1920x1080 scene) before the frame path runs out; with one period of grace
        // client_bench dropped 2 frames in 300. Two periods (66 ms at 30 fps) with six slots:
        // glxgears at 1280x720 leaves its idle time in bursts, and one period was too short for
        // the helper to keep up there.
        const double slots = std::max<double>(1, double(settings_.queueCapacity) - 4);
        const auto budget = std::chrono::nanoseconds(int64_t(slots * 1e9 / settings_.fps));
        // steady_clock is CLOCK_MONOTONIC, the clock capture times are taken on.
        return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(frame.captureTimeNs)) +
               budget;
    }

    void take(const FrameRef &frame) {
        if (!muxer_) {
            releaseFrame(frame);
            noteDropped();
            return;
        }
        // The first frame stands for the start of the recording: the video has no empty lead-in.
        int64_t pts = firstFrame_ ? 0 : msSinceStart(frame.captureTimeNs);
        pts = std::max(pts, lastPtsMs_ + 1);
        lastPtsMs_ = pts;
        firstFrame_ = false;

        Packets packets;
        bool encoded = false, ok = false;
        const bool lent = helperTakes(std::chrono::steady_clock::now());
        if (lent) {
            helper_->post(std::move(codec_), frame, pts);
            switch (helper_->wait(deadlineFor(frame), &codec_, &packets, &ok)) {
            case EncodeHelper::Outcome::Done:
                encoded = true;
                ++framesByHelper_;
                ++helperRun_;
                break;
            case EncodeHelper::Outcome::Reclaimed:
                missed(std::chrono::steady_clock::now());
                break;
            case EncodeHelper::Outcome::Abandoned:
                missed(std::chrono::steady_clock::now());
                ++restarts_;
                codec_ = std::move(spare_);
                break;
            }
        }
        if (!encoded) ok = codec_->encode(frame, pts, &packets);
        if (lent) helper_->doneWithFrame();
        else releaseFrame(frame);
        if (!ok) fail(codec_->error());
        else mux(packets);
    }

    bool mux(Packets &packets, const char *who = "mivoClientCapture") {
        for (PacketPtr &p : packets)
            if (!muxer_->write(std::move(p))) {
                fail(muxer_->error(), who);
                return false;
            }
        return true;
    }

    void housekeeping() {
        if (!muxer_) return;
        if (muxer_->fileRemoved()) fail("the file was removed while recording");
        else if (!muxer_->flushToDisk()) fail(muxer_->error());
    }

    // Ends the recording after a write error: one message, the encoder and its file closed at
    // once, and every later frame refused. `who` is the call the user sees behind it: frames
    // go in through mivoClientCapture, the file is finished by mivoClientDestroy.
    void fail(const std::string &cause, const char *who = "mivoClientCapture") {
        failureLine_ = std::string(who) + "(): recording to " + settings_.path + " failed: " + cause +
                       "; the recording has ended and the file keeps what was written before\n";
        written_ = muxer_->framesWritten();
        endMs_ = muxer_->endMs();
        muxer_.reset();
        failed_.store(true, std::memory_order_release);
    }

    RecorderSettings settings_;
    // The worker's alone, but for a codec lent to the helper for one frame.
    std::unique_ptr<VideoCodec> codec_;
    std::unique_ptr<VideoCodec> spare_;  // ready for when the helper keeps one
    std::unique_ptr<Muxer> muxer_;
    std::unique_ptr<EncodeHelper> helper_;
    std::chrono::steady_clock::time_point directUntil_{};
    uint64_t helperRun_ = 0;  // frames the helper encoded since its last miss
    std::chrono::milliseconds hold_{1000};
    int64_t lastPtsMs_ = -1;
    uint64_t framesByHelper_ = 0, takeovers_ = 0, restarts_ = 0;  // worker's, read after the join
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
