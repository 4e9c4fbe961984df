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

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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

// Rows [first, last) of a frame.
using RowBand = std::pair<int, int>;

// The video's pictures from its drawn frames: 32-bit BGRA, full range, to
// limited-range BT.709 4:2:0 by swscale's bicubic converter. Consecutive
// frames mostly differ in a few bands of rows (a pad lighting up, a line of
// the screen), so the converter keeps one picture and converts again only
// the bands where the frame changed, with a margin for the rows that the
// converter's filters reach across; every other row already holds exactly
// what converting it again would give. One converter belongs to one thread.
class PictureConverter {
 public:
  // Rows either side of a changed row that are converted again: the
  // converter's vertical filters read a few rows around each output row.
  static constexpr int kFilterReach = 32;

  PictureConverter(int width, int height);

  // An empty string when the converter is ready, else what went wrong.
  const std::string& error() const { return error_; }

  // Converts the bands of a frame of `stride` bytes a row into the picture;
  // the first frame, and any frame after a failure, converts whole.
  std::string convert(const std::uint8_t* bgra, int stride, const std::vector<RowBand>& bands);

  // The latest picture. The encoder may keep references to it: the next
  // conversion then works on a copy.
  AVFrame* picture() const { return picture_.get(); }

  // The bands to convert again where a frame differs from the frame before
  // (both `stride` bytes a row, `width` pixels wide): merged, widened by the
  // filters' reach, inside the frame and on even rows for the 4:2:0 chroma.
  // Empty when the two frames are the same.
  static std::vector<RowBand> changedBands(const std::uint8_t* bgra, const std::uint8_t* before,
                                           int stride, int width, int height);

 private:
  int width_;
  int height_;
  std::string error_;
  Scaler scaler_;
  bool byBands_ = false;  // whole pictures only, where bands would come out wrong
  bool whole_ = true;     // the picture does not yet hold a whole frame
  Frame picture_;
};

}  // namespace quimbel::av
