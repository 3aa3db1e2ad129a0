#include "video_codec.h"

#include <string.h>
#include <unistd.h>

#include <algorithm>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
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
constexpr AVRational kTimeBase{1, 1000};

struct CodecContextFree {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};

int encoderThreads() {
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    return static_cast<int>(std::clamp(cores - 1, 1L, kMaxEncoderThreads));
}

}  // namespace

std::string avErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

void PacketFree::operator()(AVPacket *p) const { av_packet_free(&p); }

struct VideoCodec::Impl {
    VideoConfig config;
    std::unique_ptr<AVCodecContext, CodecContextFree> codec;
    std::vector<uint8_t> scaled;  // the frame at the SCALEd size, top row first
    std::unique_ptr<AVFrame, FrameFree> picture;
};

VideoCodec::VideoCodec(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

VideoCodec::~VideoCodec() = default;

std::unique_ptr<VideoCodec> VideoCodec::open(const VideoConfig &config, std::string *error) {
    // FFmpeg's default log level would print x264's banner into the program's terminal on every
    // recording; our own messages say what matters. A level someone chose is left alone.
    if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_ERROR);
    const AVCodec *h264 = avcodec_find_encoder_by_name("libx264");
    if (!h264) {
        *error = "this FFmpeg has no libx264 encoder (install Debian's libavcodec59 with libx264)";
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    Impl &m = *impl;
    m.config = config;
    std::unique_ptr<VideoCodec> codec(new VideoCodec(std::move(impl)));

    const int width = static_cast<int>(paddedToEven(config.outWidth));
    const int height = static_cast<int>(paddedToEven(config.outHeight));
    m.codec.reset(avcodec_alloc_context3(h264));
    m.picture.reset(av_frame_alloc());
    if (!m.codec || !m.picture) {
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
    if (config.globalHeader) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(c->priv_data, "preset", kPreset, 0);
    av_opt_set(c->priv_data, "tune", kTune, 0);
    av_opt_set(c->priv_data, "crf", kCrf, 0);
    av_opt_set(c->priv_data, "forced-idr", "1", 0);
    int rc = avcodec_open2(c, h264, nullptr);
    if (rc < 0) {
        *error = "cannot open the H.264 encoder for " + std::to_string(width) + "x" +
                 std::to_string(height) + ": " + avErrorText(rc);
        return nullptr;
    }

    if (config.outWidth != config.width || config.outHeight != config.height)
        m.scaled.resize(size_t(config.outWidth) * config.outHeight * 4);
    m.picture->format = AV_PIX_FMT_YUV420P;
    m.picture->width = width;
    m.picture->height = height;
    if (av_frame_get_buffer(m.picture.get(), 0) < 0) {
        *error = "out of memory";
        return nullptr;
    }
    return codec;
}

bool VideoCodec::describe(AVCodecParameters *parameters) const {
    return avcodec_parameters_from_context(parameters, impl_->codec.get()) >= 0;
}

bool VideoCodec::fail(int code) {
    if (!failed_) {
        error_ = code == AVERROR(ENOMEM) ? std::string("out of memory") : avErrorText(code);
        failed_ = true;
    }
    return false;
}

bool VideoCodec::convert(const FrameRef &frame) {
    if (failed_) return false;
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

bool VideoCodec::encodeConverted(int64_t ptsMs, Packets *out) {
    if (failed_) return false;
    AVFrame *pic = impl_->picture.get();
    pic->pts = ptsMs;
    // The encoder's own interval counts frames; a slow program needs time to decide.
    pic->pict_type = ptsMs - lastKeyMs_ >= kKeyframeIntervalMs ? AV_PICTURE_TYPE_I
                                                                : AV_PICTURE_TYPE_NONE;
    int rc = avcodec_send_frame(impl_->codec.get(), pic);
    if (rc < 0) return fail(rc);
    return drain(out);
}

bool VideoCodec::finish(Packets *out) {
    if (failed_) return false;
    int rc = avcodec_send_frame(impl_->codec.get(), nullptr);
    if (rc < 0 && rc != AVERROR_EOF) return fail(rc);
    return drain(out);
}

bool VideoCodec::drain(Packets *out) {
    for (;;) {
        PacketPtr packet(av_packet_alloc());
        if (!packet) return fail(AVERROR(ENOMEM));
        int rc = avcodec_receive_packet(impl_->codec.get(), packet.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
        if (rc < 0) return fail(rc);
        if (packet->flags & AV_PKT_FLAG_KEY) lastKeyMs_ = packet->pts;
        out->push_back(std::move(packet));
    }
}

}  // namespace mivo
