// The seam between the frame path (GL read-back, in the program's thread) and the worker
// (conversion, scaling, encoding, muxing, writing). The frame path owns the pixel memory; the
// worker reads it and hands each slot back by clearing its `busy` flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstddef>
#include <memory>
#include <string>

#include "output.h"

namespace mivo {

enum class PixelFormat {
    Bgra,  // 4 bytes a pixel, B G R A in memory (GL_BGRA / GL_UNSIGNED_BYTE)
    Rgba,  // 4 bytes a pixel, R G B A in memory (GL_RGBA / GL_UNSIGNED_BYTE)
};

// One frame, ready to be read. Rows lie as GL returns them: the first row in memory is the
// bottom row of the picture; the worker flips.
struct FrameRef {
    const uint8_t *pixels = nullptr;
    ptrdiff_t stride = 0;                  // bytes from one row in memory to the next
    PixelFormat format = PixelFormat::Bgra;
    int64_t captureTimeNs = 0;             // CLOCK_MONOTONIC, when the frame path took it
    std::atomic<bool> *busy = nullptr;     // set by the frame path, cleared by the worker when done
};

// Hands a frame's slot back to the frame path.
inline void releaseFrame(const FrameRef &frame) {
    if (frame.busy) frame.busy->store(false, std::memory_order_release);
}

struct RecorderSettings {
    uint32_t width = 0, height = 0;        // captured area, as the frame path delivers it
    uint32_t outWidth = 0, outHeight = 0;  // after SCALE; the encoder pads or crops as it needs
    double fps = 30.0;                     // valid, already checked
    std::string path;                      // file to create; chosen free by resolveOutput
    Container container = Container::Matroska;
    int64_t startTimeNs = 0;               // CLOCK_MONOTONIC at creation: time zero of the video
    uint32_t queueCapacity = 6;            // frames the worker may hold; the frame path's pool size
    bool idleHelper = true;                // encode on idle CPU time while there is some
    uint32_t idleHelperRetryMs = 1000;     // encode alone this long after the helper missed once
};

struct RecorderStats {
    uint64_t framesWritten = 0;
    uint64_t framesDropped = 0;
    double durationSeconds = 0;
    std::string path;
    bool failed = false;                   // a write error ended the recording early
    bool discarded = false;                // no frame was written, so no file was kept
    uint64_t framesByHelper = 0;           // frames encoded on idle CPU time
    uint64_t takeovers = 0;                // frames the worker took back from a starved helper
    uint64_t restarts = 0;                 // of them, the helper had begun: a fresh codec went on
};

class Recorder;

// Opens the file, sets up the encoder and starts the worker. Null and a message for the user in
// *error when it cannot: a whole line ("mivoClientCreate(): ...\n"), ready to log as it is.
std::unique_ptr<Recorder> startRecorder(const RecorderSettings &settings, std::string *error);

// Frame path: hands one frame over and returns at once. False when the worker's queue is full
// or the recording has failed; the frame then counts as dropped and its slot is freed (busy
// cleared) here, so the caller must not call noteDropped for it as well.
bool submitFrame(Recorder &recorder, const FrameRef &frame);

// Frame path: a frame that was due but could not be taken (no free slot); counted as dropped.
void noteDropped(Recorder &recorder);

// Whether a write error has ended the recording. The first call that sees it reports it, as one
// ERROR line on the calling thread; so does finishRecorder when no call saw it.
bool recorderFailed(Recorder &recorder);

// Stops taking frames, encodes what is queued, finishes the file, joins the worker. The video
// lasts until now: the last frame is shown until the stop.
RecorderStats finishRecorder(std::unique_ptr<Recorder> recorder);

}  // namespace mivo

// Recorder stays opaque to the frame path: deleting one happens in recorder.cpp, so a
// std::unique_ptr<Recorder> can be destroyed where the class is incomplete.
template <>
struct std::default_delete<mivo::Recorder> {
    void operator()(mivo::Recorder *recorder) const;
};
