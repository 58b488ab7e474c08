#include "Avidrift/Capture/VideoEncoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <array>

#include "Avidrift/Capture/CapturedFrame.h"

namespace Avidrift {

namespace {

std::string ErrorText(int code) {
    std::array<char, AV_ERROR_MAX_STRING_SIZE> text{};
    av_strerror(code, text.data(), text.size());
    return text.data();
}

}  // namespace

// Released in reverse order of their making; the file is closed last, after the trailer.
struct VideoEncoder::Resources {
    std::string name;
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVStream* stream = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    SwsContext* scaler = nullptr;
    bool written = false;
    // Until the header is written there is nothing a trailer could finish.
    bool finished = true;

    ~Resources() {
        sws_freeContext(scaler);
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&codec);
        if (format != nullptr) {
            avio_closep(&format->pb);
            avformat_free_context(format);
        }
    }

    [[noreturn]] void Fail(const char* what, int code) const {
        throw CaptureError("Cannot write " + name + ": " + what + " (" + ErrorText(code) + ")");
    }
};

VideoEncoder::VideoEncoder(const std::filesystem::path& path, int width, int height,
                           int framesPerSecond)
    : m_resources(std::make_unique<Resources>()) {
    // FFmpeg's encoders report their settings on standard error at every file; only its
    // errors are the user's business, and those reach the page through CaptureError.
    av_log_set_level(AV_LOG_ERROR);
    Resources& r = *m_resources;
    r.name = path.string();
    width &= ~1;
    height &= ~1;
    if (width <= 0 || height <= 0 || framesPerSecond <= 0) {
        r.Fail("no picture to encode", AVERROR(EINVAL));
    }
    int result = avformat_alloc_output_context2(&r.format, nullptr, "mp4", r.name.c_str());
    if (result < 0 || r.format == nullptr) {
        r.Fail("no MP4 muxer", result);
    }
    const AVCodec* encoder = avcodec_find_encoder_by_name("libx264");
    if (encoder == nullptr) {
        encoder = avcodec_find_encoder(AV_CODEC_ID_H264);
    }
    if (encoder == nullptr) {
        r.Fail("FFmpeg has no H.264 encoder", AVERROR_ENCODER_NOT_FOUND);
    }
    r.stream = avformat_new_stream(r.format, nullptr);
    r.codec = avcodec_alloc_context3(encoder);
    r.frame = av_frame_alloc();
    r.packet = av_packet_alloc();
    if (r.stream == nullptr || r.codec == nullptr || r.frame == nullptr || r.packet == nullptr) {
        r.Fail("out of memory", AVERROR(ENOMEM));
    }
    r.codec->width = width;
    r.codec->height = height;
    r.codec->pix_fmt = AV_PIX_FMT_YUV420P;
    r.codec->time_base = AVRational{1, framesPerSecond};
    r.codec->framerate = AVRational{framesPerSecond, 1};
    r.codec->gop_size = framesPerSecond;
    // One thread: the encoder already runs beside the renderer, and the two cores a small
    // machine has are the renderer's; without look-ahead a frame leaves the encoder at once,
    // so stopping never waits for a backlog inside it.
    r.codec->thread_count = 1;
    if (r.format->oformat->flags & AVFMT_GLOBALHEADER) {
        r.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    // The fastest preset: on a machine without a GPU the encoder takes its processor time from
    // the renderer, and a larger file costs the user less than slower frames while recording.
    av_opt_set(r.codec->priv_data, "preset", "ultrafast", 0);
    av_opt_set(r.codec->priv_data, "tune", "zerolatency", 0);
    if ((result = avcodec_open2(r.codec, encoder, nullptr)) < 0) {
        r.Fail("the H.264 encoder refused the size", result);
    }
    if ((result = avcodec_parameters_from_context(r.stream->codecpar, r.codec)) < 0) {
        r.Fail("stream parameters", result);
    }
    r.stream->time_base = r.codec->time_base;
    r.frame->format = AV_PIX_FMT_YUV420P;
    r.frame->width = width;
    r.frame->height = height;
    if ((result = av_frame_get_buffer(r.frame, 0)) < 0) {
        r.Fail("out of memory", result);
    }
    if ((result = avio_open(&r.format->pb, r.name.c_str(), AVIO_FLAG_WRITE)) < 0) {
        r.Fail("cannot create the file", result);
    }
    if ((result = avformat_write_header(r.format, nullptr)) < 0) {
        r.Fail("cannot write the header", result);
    }
    r.finished = false;
}

VideoEncoder::~VideoEncoder() {
    try {
        Finish();
    } catch (const CaptureError&) {
        // The owner that let a failing file reach its destructor has already reported a
        // failure; the resources go either way.
    }
}

int VideoEncoder::GetWidth() const {
    return m_resources->codec->width;
}

int VideoEncoder::GetHeight() const {
    return m_resources->codec->height;
}

void VideoEncoder::Write(const CapturedFrame& frame, std::int64_t index) {
    Resources& r = *m_resources;
    if (frame.width <= 0 || frame.height <= 0 ||
        frame.rgba.size() < static_cast<std::size_t>(frame.width) * frame.height * 4) {
        r.Fail("a frame without pixels", AVERROR(EINVAL));
    }
    // The encoder may still hold the previous frame's buffers.
    int result = av_frame_make_writable(r.frame);
    if (result < 0) {
        r.Fail("out of memory", result);
    }
    r.scaler = sws_getCachedContext(r.scaler, frame.width, frame.height, AV_PIX_FMT_RGBA,
                                    r.codec->width, r.codec->height, AV_PIX_FMT_YUV420P,
                                    SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (r.scaler == nullptr) {
        r.Fail("no colour conversion for the frame", AVERROR(EINVAL));
    }
    // The rows arrive bottom-up: start at the last and step backwards to turn the picture over.
    const int stride = frame.width * 4;
    const std::uint8_t* top =
        frame.rgba.data() + static_cast<std::size_t>(frame.height - 1) * stride;
    const std::uint8_t* const source[1] = {top};
    const int sourceStride[1] = {-stride};
    sws_scale(r.scaler, source, sourceStride, 0, frame.height, r.frame->data, r.frame->linesize);
    r.frame->pts = index;
    r.written = true;
    Send(false);
}

void VideoEncoder::Repeat(std::int64_t index) {
    if (!m_resources->written) {
        return;
    }
    m_resources->frame->pts = index;
    Send(false);
}

void VideoEncoder::Send(bool flush) {
    Resources& r = *m_resources;
    int result = avcodec_send_frame(r.codec, flush ? nullptr : r.frame);
    if (result < 0) {
        r.Fail("the encoder refused a frame", result);
    }
    for (;;) {
        result = avcodec_receive_packet(r.codec, r.packet);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
            return;
        }
        if (result < 0) {
            r.Fail("the encoder failed", result);
        }
        // Every packet holds one frame. Without a duration the muxer guesses the last sample's
        // length, and players then read a rate a frame off (121/4 for 120 frames in 4 s).
        if (r.packet->duration == 0) {
            r.packet->duration = 1;
        }
        av_packet_rescale_ts(r.packet, r.codec->time_base, r.stream->time_base);
        r.packet->stream_index = r.stream->index;
        result = av_interleaved_write_frame(r.format, r.packet);
        if (result < 0) {
            r.Fail("writing failed", result);
        }
    }
}

void VideoEncoder::Finish() {
    Resources& r = *m_resources;
    if (r.finished) {
        return;
    }
    r.finished = true;
    // The trailer is written even when draining failed: without it no player opens the file,
    // while the frames that reached it before the failure still play.
    std::string failure;
    try {
        Send(true);
    } catch (const CaptureError& error) {
        failure = error.what();
    }
    int result = av_write_trailer(r.format);
    if (failure.empty() && result < 0) {
        failure =
            "Cannot write " + r.name + ": cannot write the trailer (" + ErrorText(result) + ")";
    }
    result = avio_closep(&r.format->pb);
    if (failure.empty() && result < 0) {
        failure = "Cannot write " + r.name + ": closing failed (" + ErrorText(result) + ")";
    }
    if (!failure.empty()) {
        throw CaptureError(failure);
    }
}

}  // namespace Avidrift
