// One video file: BGRA frames in, H.264 (libx264) in Matroska or fragmented MP4 out.
// Used by the worker thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "output.h"
#include "recorder.h"

namespace mivo {

struct EncoderConfig {
    uint32_t width = 0, height = 0;        // frames as they come in
    uint32_t outWidth = 0, outHeight = 0;  // picture in the file, before padding to even sizes
    double fps = 30.0;
    Container container = Container::Matroska;
    std::string path;                      // an empty file, reserved by resolveOutput
};

// Encoded sizes: yuv420p halves the colour planes, so an odd dimension gets one more
// column or row, a copy of the last one.
inline uint32_t paddedToEven(uint32_t n) { return n + (n & 1u); }

class Encoder {
public:
    // Null and the cause in *error when the file, the encoder or the muxer cannot be set up.
    static std::unique_ptr<Encoder> open(const EncoderConfig &config, std::string *error);
    ~Encoder();
    Encoder(const Encoder &) = delete;
    Encoder &operator=(const Encoder &) = delete;

    // Flips, converts and scales one frame into the encoder's picture. The caller may reuse
    // the pixels once it returns.
    bool convert(const FrameRef &frame);
    // Encodes the converted picture at `ptsMs` (milliseconds from the start; raised to stay
    // strictly increasing).
    bool encode(int64_t ptsMs);
    // Puts everything muxed so far into the file: ends the current cluster or fragment.
    bool flushToDisk();
    // Whether the file has been removed from under us.
    bool fileRemoved();
    // Encodes what the encoder holds, makes the last frame last until `stopMs`, writes the
    // trailer. The encoder is done afterwards.
    bool finish(int64_t stopMs);

    const std::string &error() const { return error_; }  // why the last call failed
    uint64_t framesWritten() const { return framesWritten_; }
    int64_t endMs() const { return endMs_; }              // end of the last frame in the file

private:
    struct Impl;
    explicit Encoder(std::unique_ptr<Impl> impl);
    bool drain();
    bool writePending();
    bool fail(int code);

    std::unique_ptr<Impl> impl_;
    std::string error_;
    bool failed_ = false;
    bool finished_ = false;
    uint64_t framesWritten_ = 0;
    uint64_t framesSinceFlush_ = 0;
    int64_t endMs_ = 0;
    int64_t lastPtsMs_ = -1;
    int64_t lastKeyMs_ = INT64_MIN / 2;
};

}  // namespace mivo
