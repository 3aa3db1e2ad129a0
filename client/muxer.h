// The file half of a recording: H.264 packets in, Matroska or fragmented MP4 on disk. Used by
// the worker thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "output.h"
#include "video_codec.h"

namespace mivo {

// Whether `container` keeps the stream headers apart (codecs for it are opened with
// VideoConfig::globalHeader set to this).
bool keepsGlobalHeader(Container container);

class Muxer {
public:
    // Opens `path` (an empty file, reserved by resolveOutput) and writes the header for the
    // stream `codec` makes. Null and the cause in *error when it cannot.
    static std::unique_ptr<Muxer> open(const std::string &path, Container container, double fps,
                                       const VideoCodec &codec, std::string *error);
    ~Muxer();
    Muxer(const Muxer &) = delete;
    Muxer &operator=(const Muxer &) = delete;

    // Takes one packet (pts in milliseconds). Each is written once the next one has told how
    // long it lasts.
    bool write(PacketPtr packet);
    // Puts everything muxed so far into the file: ends the current cluster or fragment.
    bool flushToDisk();
    // Whether the file has been removed from under us.
    bool fileRemoved();
    // Makes the last frame last until `stopMs` and writes the trailer. Done afterwards.
    bool finish(int64_t stopMs);

    const std::string &error() const { return error_; }  // why the last call failed
    uint64_t framesWritten() const { return framesWritten_; }
    int64_t endMs() const { return endMs_; }              // end of the last frame in the file

private:
    struct Impl;
    explicit Muxer(std::unique_ptr<Impl> impl);
    bool writePending();
    bool fail(int code);

    std::unique_ptr<Impl> impl_;
    std::string error_;
    bool failed_ = false;
    bool finished_ = false;
    uint64_t framesWritten_ = 0;
    uint64_t framesSinceFlush_ = 0;
    int64_t endMs_ = 0;
};

}  // namespace mivo
