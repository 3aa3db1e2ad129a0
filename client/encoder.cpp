#include "encoder.h"

#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "file_sink.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}
#include <libyuv/convert.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

namespace mivo {
namespace {

// Speed first: the encoder shares the machine with the program it records.
constexpr const char *kPreset = "ultrafast";
constexpr const char *kTune = "zerolatency";  // no lookahead, no B-frames, no frame delay
constexpr const char *kCrf = "23";
// x264 threads; one core is always left to the program (a 2-core machine encodes on one).
constexpr long kMaxEncoderThreads = 4;
constexpr int64_t kKeyframeIntervalMs = 1000;
// Matroska closes a cluster after this long on its own; the worker also ends one at every flush.
constexpr int64_t kClusterTimeLimitMs = 1000;
constexpr int kIoBufferSize = 256 * 1024;
constexpr AVRational kTimeBase{1, 1000};

struct CodecContextFree {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
struct FormatContextFree {
    void operator()(AVFormatContext *f) const { avformat_free_context(f); }
};
struct IoContextFree {
    void operator()(AVIOContext *io) const {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
struct FrameFree {
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};

std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

int encoderThreads() {
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    return static_cast<int>(std::clamp(cores - 1, 1L, kMaxEncoderThreads));
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

// Declared in destruction order, last first: the muxer goes before the I/O context it writes
// to, and that before the file.
struct Encoder::Impl {
    EncoderConfig config;
    FileSink sink;
    std::unique_ptr<AVIOContext, IoContextFree> io;
    std::unique_ptr<AVFormatContext, FormatContextFree> format;
    std::unique_ptr<AVCodecContext, CodecContextFree> codec;
    std::vector<uint8_t> scaled;  // the frame at the SCALEd size, top row first
    std::unique_ptr<AVFrame, FrameFree> picture;
    std::unique_ptr<AVPacket, PacketFree> packet;
    std::unique_ptr<AVPacket, PacketFree> pending;  // waits for the next one to know its duration
    AVStream *stream = nullptr;
};

Encoder::Encoder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Encoder::~Encoder() = default;

std::unique_ptr<Encoder> Encoder::open(const EncoderConfig &config, std::string *error) {
    // FFmpeg's default log level would print x264's banner into the program's terminal on every
    // recording; our own messages say what matters. A level someone chose is left alone.
    if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_ERROR);
    auto impl = std::make_unique<Impl>();
    impl->config = config;
    Impl &m = *impl;
    // From here on the destructor cleans up whatever was made.
    std::unique_ptr<Encoder> encoder(new Encoder(std::move(impl)));

    const AVCodec *h264 = avcodec_find_encoder_by_name("libx264");
    if (!h264) {
        *error = "this FFmpeg has no libx264 encoder (install Debian's libavcodec59 with libx264)";
        return nullptr;
    }
    if (!m.sink.open(config.path, error)) {
        *error += "; choose another OUTPUT";
        return nullptr;
    }

    const int width = static_cast<int>(paddedToEven(config.outWidth));
    const int height = static_cast<int>(paddedToEven(config.outHeight));
    const char *muxer = config.container == Container::FragmentedMp4 ? "mp4" : "matroska";

    AVFormatContext *format = nullptr;
    int rc = avformat_alloc_output_context2(&format, nullptr, muxer, config.path.c_str());
    if (rc < 0 || !format) {
        *error = "cannot set up the " + std::string(muxer) + " muxer: " + avError(rc);
        return nullptr;
    }
    m.format.reset(format);

    m.codec.reset(avcodec_alloc_context3(h264));
    m.picture.reset(av_frame_alloc());
    m.packet.reset(av_packet_alloc());
    m.pending.reset(av_packet_alloc());
    auto *ioBuffer = static_cast<uint8_t *>(av_malloc(kIoBufferSize));
    if (ioBuffer)
        m.io.reset(avio_alloc_context(ioBuffer, kIoBufferSize, 1, &m.sink, nullptr, writeToSink,
                                      seekSink));
    if (!m.io) av_free(ioBuffer);
    if (!m.codec || !m.picture || !m.packet || !m.pending || !m.io) {
        *error = "out of memory";
        return nullptr;
    }

    AVCodecContext *c = m.codec.get();
    c->width = width;
    c->height = height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = kTimeBase;
    c->framerate = av_d2q(config.fps, 100000);
    c->gop_size = std::max(1, static_cast<int>(config.fps * kKeyframeIntervalMs / 1000));
    c->max_b_frames = 0;
    c->thread_count = encoderThreads();
    // libyuv converts with BT.601 into limited range; say so, or players guess by size.
    c->colorspace = AVCOL_SPC_SMPTE170M;
    c->color_primaries = AVCOL_PRI_BT709;
    c->color_trc = AVCOL_TRC_BT709;
    c->color_range = AVCOL_RANGE_MPEG;
    if (m.format->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(c->priv_data, "preset", kPreset, 0);
    av_opt_set(c->priv_data, "tune", kTune, 0);
    av_opt_set(c->priv_data, "crf", kCrf, 0);
    av_opt_set(c->priv_data, "forced-idr", "1", 0);
    if ((rc = avcodec_open2(c, h264, nullptr)) < 0) {
        *error = "cannot open the H.264 encoder for " + std::to_string(width) + "x" +
                 std::to_string(height) + ": " + avError(rc);
        return nullptr;
    }

    m.stream = avformat_new_stream(m.format.get(), nullptr);
    if (!m.stream || avcodec_parameters_from_context(m.stream->codecpar, c) < 0) {
        *error = "out of memory";
        return nullptr;
    }
    m.stream->time_base = kTimeBase;
    m.stream->avg_frame_rate = c->framerate;
    m.format->pb = m.io.get();
    m.format->flags |= AVFMT_FLAG_CUSTOM_IO;

    AVDictionary *options = nullptr;
    if (config.container == Container::FragmentedMp4) {
        // A fragment per keyframe, and an empty moov up front: what is on disk always plays.
        av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
    } else {
        av_dict_set_int(&options, "cluster_time_limit", kClusterTimeLimitMs, 0);
    }
    rc = avformat_write_header(m.format.get(), &options);
    av_dict_free(&options);
    if (rc < 0) {
        *error = m.sink.lastErrno() ? strerror(m.sink.lastErrno()) : avError(rc);
        return nullptr;
    }
    avio_flush(m.io.get());
    if (m.io->error < 0) {
        *error = m.sink.lastErrno() ? strerror(m.sink.lastErrno()) : avError(m.io->error);
        return nullptr;
    }

    if (config.outWidth != config.width || config.outHeight != config.height)
        m.scaled.resize(size_t(config.outWidth) * config.outHeight * 4);

    m.picture->format = AV_PIX_FMT_YUV420P;
    m.picture->width = width;
    m.picture->height = height;
    if ((rc = av_frame_get_buffer(m.picture.get(), 0)) < 0) {
        *error = "out of memory";
        return nullptr;
    }
    return encoder;
}

bool Encoder::fail(int code) {
    if (!failed_) {
        int err = impl_->sink.lastErrno();
        error_ = err ? strerror(err) : avError(code);
        failed_ = true;
    }
    return false;
}

bool Encoder::convert(const FrameRef &frame) {
    if (failed_ || finished_) return false;
    Impl &m = *impl_;
    AVFrame *pic = m.picture.get();
    int rc = av_frame_make_writable(pic);
    if (rc < 0) return fail(rc);

    // libyuv's SIMD rows convert a 1920x1080 frame in about a quarter of a millisecond, some
    // fifteen times faster than swscale; on a 2-core machine that time is the program's.
    const int inWidth = static_cast<int>(m.config.width), inHeight = static_cast<int>(m.config.height);
    const int outWidth = static_cast<int>(m.config.outWidth);
    const int outHeight = static_cast<int>(m.config.outHeight);
    // GL hands rows bottom-up: start at the last row in memory and walk backwards.
    const uint8_t *rows = frame.pixels + static_cast<ptrdiff_t>(inHeight - 1) * frame.stride;
    int rowStride = static_cast<int>(-frame.stride);
    if (!m.scaled.empty()) {
        libyuv::ARGBScale(rows, rowStride, inWidth, inHeight, m.scaled.data(), outWidth * 4,
                          outWidth, outHeight, libyuv::kFilterBox);
        rows = m.scaled.data();
        rowStride = outWidth * 4;
    }
    // libyuv names pixels by the order of a little-endian 32-bit word: B G R A in memory is its
    // ARGB, R G B A its ABGR. An odd side gets its last colour sample from the last column or
    // row alone.
    const auto toI420 = frame.format == PixelFormat::Rgba ? libyuv::ABGRToI420 : libyuv::ARGBToI420;
    toI420(rows, rowStride, pic->data[0], pic->linesize[0], pic->data[1], pic->linesize[1],
           pic->data[2], pic->linesize[2], outWidth, outHeight);

    // The colour planes of an odd size already cover the padding; luma gets the extra column
    // or row as a copy of the last one.
    uint8_t *luma = pic->data[0];
    const ptrdiff_t pitch = pic->linesize[0];
    if (outWidth & 1)
        for (int y = 0; y < outHeight; ++y) luma[y * pitch + outWidth] = luma[y * pitch + outWidth - 1];
    if (outHeight & 1)
        memcpy(luma + outHeight * pitch, luma + (outHeight - 1) * pitch,
               paddedToEven(m.config.outWidth));
    return true;
}

bool Encoder::encode(int64_t ptsMs) {
    if (failed_ || finished_) return false;
    Impl &m = *impl_;
    ptsMs = std::max(ptsMs, lastPtsMs_ + 1);
    lastPtsMs_ = ptsMs;
    AVFrame *pic = m.picture.get();
    pic->pts = ptsMs;
    // The encoder's own interval counts frames; a slow program needs time to decide.
    pic->pict_type = ptsMs - lastKeyMs_ >= kKeyframeIntervalMs ? AV_PICTURE_TYPE_I
                                                                : AV_PICTURE_TYPE_NONE;
    int rc = avcodec_send_frame(m.codec.get(), pic);
    if (rc < 0) return fail(rc);
    return drain();
}

bool Encoder::drain() {
    Impl &m = *impl_;
    for (;;) {
        int rc = avcodec_receive_packet(m.codec.get(), m.packet.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
        if (rc < 0) return fail(rc);
        if (m.packet->flags & AV_PKT_FLAG_KEY) lastKeyMs_ = m.packet->pts;
        // No B-frames: packets come in presentation order, so the next one ends this one.
        if (m.pending->data) {
            m.pending->duration = m.packet->pts - m.pending->pts;
            if (!writePending()) return false;
        }
        av_packet_move_ref(m.pending.get(), m.packet.get());
    }
}

bool Encoder::writePending() {
    Impl &m = *impl_;
    AVPacket *p = m.pending.get();
    const int64_t end = p->pts + p->duration;
    p->stream_index = m.stream->index;
    av_packet_rescale_ts(p, kTimeBase, m.stream->time_base);
    int rc = av_write_frame(m.format.get(), p);
    av_packet_unref(p);
    if (rc < 0) return fail(rc);
    ++framesWritten_;
    ++framesSinceFlush_;
    endMs_ = end;
    return true;
}

bool Encoder::flushToDisk() {
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

bool Encoder::fileRemoved() { return impl_->sink.removed(); }

bool Encoder::finish(int64_t stopMs) {
    if (failed_ || finished_) return false;
    Impl &m = *impl_;
    int rc = avcodec_send_frame(m.codec.get(), nullptr);
    if (rc < 0) return fail(rc);
    if (!drain()) return false;
    if (m.pending->data) {
        m.pending->duration = std::max<int64_t>(1, stopMs - m.pending->pts);
        if (!writePending()) return false;
    }
    rc = av_write_trailer(m.format.get());
    if (rc < 0) return fail(rc);
    avio_flush(m.io.get());
    if (m.io->error < 0) return fail(m.io->error);
    finished_ = true;
    return true;
}

}  // namespace mivo
