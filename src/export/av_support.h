#pragma once

// Owning handles for the FFmpeg objects the video export uses, and FFmpeg's
// error codes as words. Internal to the video export.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include <filesystem>
#include <memory>
#include <string>

namespace quimbel::av {

// FFmpeg reports through our messages, not on the console: its progress
// chatter is kept quiet once per process.
inline void quietLogging() {
  static const bool once = [] {
    av_log_set_level(AV_LOG_ERROR);
    return true;
  }();
  (void)once;
}

// FFmpeg's own message for an error code.
inline std::string message(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

// "<what>: <FFmpeg's message>".
inline std::string failure(const std::string& what, int code) {
  return what + ": " + message(code);
}

// Sends one frame (null: the end of the stream) to the encoder and writes
// every packet it has ready into the stream; an empty string on success.
// `what` names the stream in messages ("video", "sound").
inline std::string encodeAndWrite(const char* what, AVCodecContext* codec, AVFormatContext* format,
                                  AVStream* stream, const AVFrame* frame, AVPacket* packet) {
  const std::string noun(what);
  int err = avcodec_send_frame(codec, frame);
  if (err < 0) return failure("the " + noun + " encoder refused its input", err);
  while (true) {
    err = avcodec_receive_packet(codec, packet);
    if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return {};
    if (err < 0) return failure("the " + noun + " encoder failed", err);
    av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
    packet->stream_index = stream->index;
    err = av_interleaved_write_frame(format, packet);
    if (err < 0) return failure("cannot write the " + noun, err);
  }
}

struct CodecContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
struct InputClose {
  void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};

using CodecContext = std::unique_ptr<AVCodecContext, CodecContextFree>;
using Frame = std::unique_ptr<AVFrame, FrameFree>;
using Packet = std::unique_ptr<AVPacket, PacketFree>;
using Scaler = std::unique_ptr<SwsContext, SwsFree>;
using Input = std::unique_ptr<AVFormatContext, InputClose>;

// An output file being muxed: the format context and its open file. Closing
// without finish() leaves a partial file, which the owner removes.
class Output {
 public:
  Output() = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  ~Output() { close(); }

  // Creates the context for `format` ("mp4", "ipod") writing to `path`;
  // an empty string on success, else what went wrong.
  std::string open(const char* format, const std::filesystem::path& path) {
    int err = avformat_alloc_output_context2(&context_, nullptr, format, path.c_str());
    if (err < 0 || context_ == nullptr)
      return failure("cannot make an " + std::string(format) + " file", err);
    err = avio_open(&context_->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (err < 0) return failure("cannot open " + path.string(), err);
    return {};
  }

  AVFormatContext* get() const { return context_; }

  void close() {
    if (context_ == nullptr) return;
    if (context_->pb != nullptr) avio_closep(&context_->pb);
    avformat_free_context(context_);
    context_ = nullptr;
  }

 private:
  AVFormatContext* context_ = nullptr;
};

}  // namespace quimbel::av
