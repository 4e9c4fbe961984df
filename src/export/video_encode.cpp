// The silent video: every frame drawn with QPainter, converted to 4:2:0 YUV
// with the BT.709 matrix and encoded with x264.

#include <QCoreApplication>
#include <QGuiApplication>

#include "export/av_support.h"
#include "export/video_export.h"
#include "export/video_frames.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace quimbel {
namespace {

// x264's speed preset: "veryfast" keeps the whole export faster than real
// time on a two-core machine; 8 Mbit/s leaves the flat colours of the
// drawing clean at any preset.
constexpr const char* kX264Preset = "veryfast";
constexpr std::int64_t kVideoBitRate = 8'000'000;
constexpr int kKeyFrameInterval = 60;

bool sameFrame(const VideoExport::Frame& a, const VideoExport::Frame& b) {
  return a.cells == b.cells && a.glow == b.glow && a.pressed == b.pressed &&
         a.seventh == b.seventh && a.ninth == b.ninth;
}

}  // namespace

Written VideoExport::writeFrames(const std::filesystem::path& url) const {
  auto fail = [](std::string message) { return Written{std::nullopt, std::move(message)}; };
  av::quietLogging();
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) {
    return fail("cannot draw the video without the program's graphics set up");
  }

  av::Output output;
  if (std::string err = output.open("mp4", url); !err.empty()) return fail(err);
  AVFormatContext* format = output.get();

  const AVCodec* h264 = avcodec_find_encoder_by_name("libx264");
  if (h264 == nullptr) return fail("this FFmpeg has no H.264 encoder (libx264)");
  AVStream* stream = avformat_new_stream(format, nullptr);
  av::CodecContext codec(avcodec_alloc_context3(h264));
  if (stream == nullptr || !codec) return fail("out of memory for the video encoder");

  codec->width = kVideoWidth;
  codec->height = kVideoHeight;
  codec->pix_fmt = AV_PIX_FMT_YUV420P;
  codec->time_base = AVRational{1, kVideoFps};
  codec->framerate = AVRational{kVideoFps, 1};
  codec->bit_rate = kVideoBitRate;
  codec->gop_size = kKeyFrameInterval;
  codec->profile = FF_PROFILE_H264_HIGH;
  codec->color_primaries = AVCOL_PRI_BT709;
  codec->color_trc = AVCOL_TRC_BT709;
  codec->colorspace = AVCOL_SPC_BT709;
  codec->color_range = AVCOL_RANGE_MPEG;
  if ((format->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
    codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  AVDictionary* options = nullptr;
  av_dict_set(&options, "preset", kX264Preset, 0);
  av_dict_set(&options, "profile", "high", 0);
  int err = avcodec_open2(codec.get(), h264, &options);
  av_dict_free(&options);
  if (err < 0) return fail(av::failure("cannot start the video encoder", err));

  err = avcodec_parameters_from_context(stream->codecpar, codec.get());
  if (err < 0) return fail(av::failure("cannot set up the video stream", err));
  stream->time_base = codec->time_base;
  stream->avg_frame_rate = codec->framerate;
  err = avformat_write_header(format, nullptr);
  if (err < 0) return fail(av::failure("cannot write the video", err));

  av::Scaler scaler(sws_getContext(kVideoWidth, kVideoHeight, AV_PIX_FMT_BGRA, kVideoWidth,
                                   kVideoHeight, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr,
                                   nullptr));
  av::Frame yuv(av_frame_alloc());
  av::Packet packet(av_packet_alloc());
  if (!scaler || !yuv || !packet) return fail("out of memory for the video frames");
  // The drawing is full-range RGB; the video is limited-range BT.709, the
  // matrix that the stream's tags announce.
  const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
  sws_setColorspaceDetails(scaler.get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
  yuv->format = AV_PIX_FMT_YUV420P;
  yuv->width = kVideoWidth;
  yuv->height = kVideoHeight;
  yuv->color_primaries = AVCOL_PRI_BT709;
  yuv->color_trc = AVCOL_TRC_BT709;
  yuv->colorspace = AVCOL_SPC_BT709;
  yuv->color_range = AVCOL_RANGE_MPEG;
  err = av_frame_get_buffer(yuv.get(), 0);
  if (err < 0) return fail(av::failure("out of memory for the video frames", err));

  const VideoPainter painter(knob, icon);
  QImage image = VideoPainter::makeFrame();
  const std::vector<ChordHit> doubled = doubledEvents();
  const double takeEnd = 2.0 * passLength();
  const int frames = frameCount();
  std::optional<Frame> previous;
  double previousFade = -1.0;

  for (int i = 0; i < frames; ++i) {
    // The encoder may still hold the last frame's pictures; writing needs
    // buffers of our own, which carry the last picture over.
    err = av_frame_make_writable(yuv.get());
    if (err < 0) return fail(av::failure("out of memory for the video frames", err));

    const double t = static_cast<double>(i) / kVideoFps;
    bool redraw = true;
    if (t < takeEnd) {
      Frame state = frameStateOf(doubled, key, t);
      // Held chords and settled glows repeat a picture exactly; drawing and
      // converting it again would only cost time.
      redraw = !previous || !sameFrame(*previous, state);
      if (redraw) painter.drawTake(image, state);
      previous = std::move(state);
    } else {
      const double fade = outroFade(t - takeEnd);
      redraw = previous.has_value() || fade != previousFade;
      if (redraw) painter.drawOutro(image, t - takeEnd);
      previous.reset();
      previousFade = fade;
    }
    if (redraw) {
      const std::uint8_t* source[1] = {image.constBits()};
      const int stride[1] = {static_cast<int>(image.bytesPerLine())};
      sws_scale(scaler.get(), source, stride, 0, kVideoHeight, yuv->data, yuv->linesize);
    }
    yuv->pts = i;
    if (std::string e =
            av::encodeAndWrite("video", codec.get(), format, stream, yuv.get(), packet.get());
        !e.empty()) {
      return fail(e);
    }
  }
  if (std::string e =
          av::encodeAndWrite("video", codec.get(), format, stream, nullptr, packet.get());
      !e.empty()) {
    return fail(e);
  }
  err = av_write_trailer(format);
  if (err < 0) return fail(av::failure("cannot finish the video", err));
  output.close();
  return {url, {}};
}

}  // namespace quimbel
