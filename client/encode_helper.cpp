#include "encode_helper.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <future>
#include <system_error>
#include <thread>

namespace mivo {
namespace {

// How long the destructor waits for the thread to leave before letting it go alone.
constexpr std::chrono::milliseconds kExitWait(250);

enum State : int {
    Free,       // no frame; the worker may post
    Posted,     // a frame waits for the helper; the worker may still take it back
    Taken,      // the helper is encoding it
    Done,       // encoded; the worker collects
    Abandoned,  // the worker went on without it; the helper cleans up, then Free
};

// sem_clockwait is glibc's (2.30): sem_timedwait only knows CLOCK_REALTIME, which jumps.
bool waitUntil(sem_t *sem, std::chrono::steady_clock::time_point deadline) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
    struct timespec at {};
    at.tv_sec = static_cast<time_t>(ns / 1000000000);
    at.tv_nsec = static_cast<long>(ns % 1000000000);
    while (sem_clockwait(sem, CLOCK_MONOTONIC, &at) != 0)
        if (errno != EINTR) return false;
    return true;
}

void waitFor(sem_t *sem) {
    while (sem_wait(sem) != 0 && errno == EINTR) {
    }
}

}  // namespace

struct EncodeHelper::Shared {
    Shared() {
        sem_init(&posted, 0, 0);
        sem_init(&done, 0, 0);
        sem_init(&exited, 0, 0);
    }
    ~Shared() {
        sem_destroy(&posted);
        sem_destroy(&done);
        sem_destroy(&exited);
    }

    sem_t posted, done, exited;
    std::atomic<int> state{Free};
    std::atomic<bool> quit{false};
    // The job: the worker's while the state is Free, Posted or Done, the helper's while Taken
    // or Abandoned. The state's release and acquire order every hand-over.
    std::unique_ptr<VideoCodec> codec;
    FrameRef frame;
    int64_t ptsMs = 0;
    Packets packets;
    bool ok = false;
    // Who still needs the frame's pixels: the helper until it has converted them (or the
    // worker took the frame back untouched), and the worker until doneWithFrame. The last to
    // let go hands the slot back.
    std::atomic<int> frameUsers{0};

    void letGoOfFrame(const FrameRef &f) {
        if (frameUsers.fetch_sub(1, std::memory_order_acq_rel) == 1) releaseFrame(f);
    }

    void run() {
        for (;;) {
            waitFor(&posted);
            if (quit.load(std::memory_order_acquire)) break;
            // A post whose frame the worker took back before we woke finds no frame here.
            int expected = Posted;
            if (!state.compare_exchange_strong(expected, Taken, std::memory_order_acq_rel)) continue;
            const FrameRef f = frame;
            ok = codec->convert(f);
            letGoOfFrame(f);
            ok = ok && codec->encodeConverted(ptsMs, &packets);
            expected = Taken;
            if (state.compare_exchange_strong(expected, Done, std::memory_order_acq_rel)) {
                sem_post(&done);
                continue;
            }
            codec.reset();
            packets.clear();
            state.store(Free, std::memory_order_release);
        }
        sem_post(&exited);
    }
};

EncodeHelper::EncodeHelper(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

std::unique_ptr<EncodeHelper> EncodeHelper::start(std::string *error) {
    auto shared = std::make_shared<Shared>();
    // Shared with the thread, which may still be inside set_value when get() returns here.
    auto scheduled = std::make_shared<std::promise<int>>();
    std::future<int> result = scheduled->get_future();
    std::thread thread;
    try {
        thread = std::thread([shared, scheduled] {
            sched_param param{};
            int rc = pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
            scheduled->set_value(rc);
            if (rc == 0) shared->run();
        });
    } catch (const std::system_error &e) {
        *error = std::string("cannot start the idle-time encoding thread: ") + e.what();
        return nullptr;
    }
    pthread_setname_np(thread.native_handle(), "vorna-idle");
    if (int rc = result.get()) {
        thread.join();
        *error = std::string("cannot run a thread at idle priority: ") + strerror(rc);
        return nullptr;
    }
    thread.detach();
    return std::unique_ptr<EncodeHelper>(new EncodeHelper(std::move(shared)));
}

EncodeHelper::~EncodeHelper() {
    while (shared_->frameUsers.load(std::memory_order_acquire) > 0) {
        struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
    shared_->quit.store(true, std::memory_order_release);
    sem_post(&shared_->posted);
    // The thread is detached from the start and holds its own reference to the shared state;
    // waiting for `exited` is what joining would be, with a limit.
    waitUntil(&shared_->exited, std::chrono::steady_clock::now() + kExitWait);
}

void EncodeHelper::doneWithFrame() { shared_->letGoOfFrame(shared_->frame); }

bool EncodeHelper::available() const {
    return shared_->state.load(std::memory_order_acquire) == Free;
}

void EncodeHelper::post(std::unique_ptr<VideoCodec> codec, const FrameRef &frame, int64_t ptsMs) {
    Shared &s = *shared_;
    s.codec = std::move(codec);
    s.frame = frame;
    s.ptsMs = ptsMs;
    s.packets.clear();
    s.ok = false;
    s.frameUsers.store(2, std::memory_order_relaxed);
    s.state.store(Posted, std::memory_order_release);
    sem_post(&s.posted);
}

EncodeHelper::Outcome EncodeHelper::wait(std::chrono::steady_clock::time_point deadline,
                                         std::unique_ptr<VideoCodec> *codec, Packets *out,
                                         bool *ok) {
    Shared &s = *shared_;
    for (;;) {
        if (s.state.load(std::memory_order_acquire) == Done) {
            *codec = std::move(s.codec);
            for (PacketPtr &p : s.packets) out->push_back(std::move(p));
            s.packets.clear();
            *ok = s.ok;
            s.state.store(Free, std::memory_order_release);
            return Outcome::Done;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            int expected = Posted;
            if (s.state.compare_exchange_strong(expected, Free, std::memory_order_acq_rel)) {
                *codec = std::move(s.codec);
                s.letGoOfFrame(s.frame);
                return Outcome::Reclaimed;
            }
            expected = Taken;
            if (s.state.compare_exchange_strong(expected, Abandoned, std::memory_order_acq_rel))
                return Outcome::Abandoned;
            continue;  // it has just finished
        }
        // A post left over from a frame collected without waiting only wakes us early.
        waitUntil(&s.done, deadline);
    }
}

}  // namespace mivo
