#include "muxer.h"

#include <string.h>

#include <algorithm>

#include "file_sink.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace mivo {
namespace {

// Matroska closes a cluster after this long on its own; the worker also ends one at every flush.
constexpr int64_t kClusterTimeLimitMs = 1000;
constexpr int kIoBufferSize = 256 * 1024;
constexpr AVRational kTimeBase{1, 1000};

struct FormatContextFree {
    void operator()(AVFormatContext *f) const { avformat_free_context(f); }
};
struct IoContextFree {
    void operator()(AVIOContext *io) const {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};

const char *muxerName(Container container) {
    return container == Container::FragmentedMp4 ? "mp4" : "matroska";
}

int writeToSink(void *opaque, uint8_t *data, int size) {
    auto *sink = static_cast<FileSink *>(opaque);
    return sink->write(data, static_cast<size_t>(size)) ? size : AVERROR(sink->lastErrno());
}

int64_t seekSink(void *opaque, int64_t offset, int whence) {
    auto *sink = static_cast<FileSink *>(opaque);
    int64_t at = sink->seek(offset, whence);
    return at >= 0 ? at : AVERROR(sink->lastErrno());
}

}  // namespace

bool keepsGlobalHeader(Container container) {
    const AVOutputFormat *format = av_guess_format(muxerName(container), nullptr, nullptr);
    return format && (format->flags & AVFMT_GLOBALHEADER);
}

// Declared in destruction order, last first: the muxer goes before the I/O context it writes
// to, and that before the file.
struct Muxer::Impl {
    FileSink sink;
    std::unique_ptr<AVIOContext, IoContextFree> io;
    std::unique_ptr<AVFormatContext, FormatContextFree> format;
    PacketPtr pending;  // waits for the next one to know its duration
    AVStream *stream = nullptr;
};

Muxer::Muxer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Muxer::~Muxer() = default;

std::unique_ptr<Muxer> Muxer::open(const std::string &path, Container container, double fps,
                                   const VideoCodec &codec, std::string *error) {
    auto impl = std::make_unique<Impl>();
    Impl &m = *impl;
    // From here on the destructor cleans up whatever was made.
    std::unique_ptr<Muxer> muxer(new Muxer(std::move(impl)));
    if (!m.sink.open(path, error)) {
        *error += "; choose another OUTPUT";
        return nullptr;
    }
    const char *name = muxerName(container);
    AVFormatContext *format = nullptr;
    int rc = avformat_alloc_output_context2(&format, nullptr, name, path.c_str());
    if (rc < 0 || !format) {
        *error = "cannot set up the " + std::string(name) + " muxer: " + avErrorText(rc);
        return nullptr;
    }
    m.format.reset(format);
    auto *ioBuffer = static_cast<uint8_t *>(av_malloc(kIoBufferSize));
    if (ioBuffer)
        m.io.reset(avio_alloc_context(ioBuffer, kIoBufferSize, 1, &m.sink, nullptr, writeToSink,
                                      seekSink));
    if (!m.io) av_free(ioBuffer);
    m.stream = avformat_new_stream(m.format.get(), nullptr);
    if (!m.io || !m.stream || !codec.describe(m.stream->codecpar)) {
        *error = "out of memory";
        return nullptr;
    }
    m.stream->time_base = kTimeBase;
    m.stream->avg_frame_rate = av_d2q(fps, 100000);
    m.format->pb = m.io.get();
    m.format->flags |= AVFMT_FLAG_CUSTOM_IO;

    AVDictionary *options = nullptr;
    if (container == Container::FragmentedMp4) {
        // A fragment per keyframe, and an empty moov up front: what is on disk always plays.
        av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
    } else {
        av_dict_set_int(&options, "cluster_time_limit", kClusterTimeLimitMs, 0);
    }
    rc = avformat_write_header(m.format.get(), &options);
    av_dict_free(&options);
    if (rc < 0) {
        *error = m.sink.lastErrno() ? strerror(m.sink.lastErrno()) : avErrorText(rc);
        return nullptr;
    }
    avio_flush(m.io.get());
    if (m.io->error < 0) {
        *error = m.sink.lastErrno() ? strerror(m.sink.lastErrno()) : avErrorText(m.io->error);
        return nullptr;
    }
    return muxer;
}

bool Muxer::fail(int code) {
    if (!failed_) {
        int err = impl_->sink.lastErrno();
        error_ = err ? strerror(err) : avErrorText(code);
        failed_ = true;
    }
    return false;
}

bool Muxer::write(PacketPtr packet) {
    if (failed_ || finished_) return false;
    Impl &m = *impl_;
    // No B-frames: packets come in presentation order, so the next one ends this one.
    if (m.pending) {
        m.pending->duration = packet->pts - m.pending->pts;
        if (!writePending()) return false;
    }
    m.pending = std::move(packet);
    return true;
}

bool Muxer::writePending() {
    Impl &m = *impl_;
    PacketPtr p = std::move(m.pending);
    const int64_t end = p->pts + p->duration;
    p->stream_index = m.stream->index;
    av_packet_rescale_ts(p.get(), kTimeBase, m.stream->time_base);
    int rc = av_write_frame(m.format.get(), p.get());
    if (rc < 0) return fail(rc);
    ++framesWritten_;
    ++framesSinceFlush_;
    endMs_ = end;
    return true;
}

bool Muxer::flushToDisk() {
    if (failed_ || finished_) return false;
    Impl &m = *impl_;
    if (framesSinceFlush_ == 0) return true;
    framesSinceFlush_ = 0;
    // A null packet makes the muxer close its cluster or fragment; avio_flush then writes it.
    int rc = av_write_frame(m.format.get(), nullptr);
    if (rc < 0) return fail(rc);
    avio_flush(m.io.get());
    if (m.io->error < 0) return fail(m.io->error);
    return true;
}

bool Muxer::fileRemoved() { return impl_->sink.removed(); }

bool Muxer::finish(int64_t stopMs) {
    if (failed_ || finished_) return false;
    Impl &m = *impl_;
    if (m.pending) {
        m.pending->duration = std::max<int64_t>(1, stopMs - m.pending->pts);
        if (!writePending()) return false;
    }
    int rc = av_write_trailer(m.format.get());
    if (rc < 0) return fail(rc);
    avio_flush(m.io.get());
    if (m.io->error < 0) return fail(m.io->error);
    finished_ = true;
    return true;
}

}  // namespace mivo
