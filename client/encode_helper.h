// A second encoding thread that runs only on CPU time nobody else wants (SCHED_IDLE), so that
// while the program leaves a core idle now and then, encoding costs it nothing at all. The worker
// hands it one frame at a time, with the codec to encode it with, and waits until a deadline.
// A SCHED_IDLE thread can starve for seconds while the program keeps every core busy, and an
// unprivileged thread cannot raise itself out of SCHED_IDLE again; so past the deadline the
// worker takes the frame back. If the helper had begun on it, the codec is the helper's to
// throw away and the worker goes on with a fresh one: its stream continues the same file.
//
// The helper shares no lock with anyone: a starved thread holding a mutex would stall whoever
// waits for it. Hand-over goes through one atomic state and two semaphores.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "video_codec.h"

namespace mivo {

class EncodeHelper {
public:
    enum class Outcome {
        Done,       // the frame is encoded; the codec is back
        Reclaimed,  // the helper had not begun: frame and codec are back untouched
        Abandoned,  // the helper is in the middle of it: the codec is lost with the frame's packets
    };

    // Starts the thread. Null and the cause in *error when it cannot start or cannot run at
    // idle priority (then it would be no better than the worker itself).
    static std::unique_ptr<EncodeHelper> start(std::string *error);
    // Stops the thread. It waits while the helper still reads a frame's pixels (they belong to
    // the frame path, which frees them next); a helper busy encoding an abandoned frame is then
    // left to finish and clean up alone rather than keep the caller waiting on a starved thread.
    ~EncodeHelper();
    EncodeHelper(const EncodeHelper &) = delete;
    EncodeHelper &operator=(const EncodeHelper &) = delete;

    // Whether it can take a frame: not still busy with one it was left holding.
    bool available() const;
    // Hands over `frame` and `codec`; only when available(). From here on the frame's slot is
    // handed back (its busy flag cleared) by doneWithFrame(), or by the helper if it is still
    // reading the pixels then.
    void post(std::unique_ptr<VideoCodec> codec, const FrameRef &frame, int64_t ptsMs);
    // Waits for the frame posted last, until `deadline` at most. On Done the packets are
    // appended to *out and *ok says whether the codec succeeded (its error() says why not);
    // on Done and Reclaimed the codec is handed back in *codec.
    Outcome wait(std::chrono::steady_clock::time_point deadline, std::unique_ptr<VideoCodec> *codec,
                 Packets *out, bool *ok);
    // The worker is done with the frame posted last, whatever wait() said.
    void doneWithFrame();

    struct Shared;

private:
    explicit EncodeHelper(std::shared_ptr<Shared> shared);
    std::shared_ptr<Shared> shared_;
};

}  // namespace mivo
