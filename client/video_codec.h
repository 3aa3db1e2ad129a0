// The picture half of a recording: BGRA or RGBA frames in, H.264 packets (libx264) out. One
// thread at a time; the worker and its idle-time helper hand a codec back and forth, and a
// codec the helper was left holding is thrown away with what it made.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "recorder.h"

struct AVPacket;
struct AVCodecParameters;

namespace mivo {

struct VideoConfig {
    uint32_t width = 0, height = 0;        // frames as they come in
    uint32_t outWidth = 0, outHeight = 0;  // picture in the file, before padding to even sizes
    double fps = 30.0;
    bool globalHeader = true;              // the container keeps the stream headers apart
};

// Encoded sizes: yuv420p halves the colour planes, so an odd dimension gets one more
// column or row, a copy of the last one.
inline uint32_t paddedToEven(uint32_t n) { return n + (n & 1u); }

// FFmpeg's text for an error code.
std::string avErrorText(int code);

struct PacketFree {
    void operator()(AVPacket *p) const;
};
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using Packets = std::vector<PacketPtr>;

class VideoCodec {
public:
    // Null and the cause in *error when libx264 is missing or refuses the size.
    static std::unique_ptr<VideoCodec> open(const VideoConfig &config, std::string *error);
    ~VideoCodec();
    VideoCodec(const VideoCodec &) = delete;
    VideoCodec &operator=(const VideoCodec &) = delete;

    // Flips, converts and scales `frame`, encodes it at `ptsMs` (milliseconds from the start,
    // strictly increasing) and appends what comes out to *out. Codecs opened alike start with
    // the same stream headers, so the packets of a fresh one continue another's stream: its
    // first frame is a keyframe.
    bool encode(const FrameRef &frame, int64_t ptsMs, Packets *out) {
        return convert(frame) && encodeConverted(ptsMs, out);
    }
    // The two halves of encode(): the first is done with the frame's pixels when it returns.
    bool convert(const FrameRef &frame);
    bool encodeConverted(int64_t ptsMs, Packets *out);
    // What the codec still holds, appended to *out. The codec is done afterwards.
    bool finish(Packets *out);
    // The stream's parameters, headers included, for the muxer.
    bool describe(AVCodecParameters *parameters) const;

    const std::string &error() const { return error_; }  // why the last call failed

private:
    struct Impl;
    explicit VideoCodec(std::unique_ptr<Impl> impl);
    bool drain(Packets *out);
    bool fail(int code);

    std::unique_ptr<Impl> impl_;
    std::string error_;
    bool failed_ = false;
    int64_t lastKeyMs_ = INT64_MIN / 2;
};

}  // namespace mivo
