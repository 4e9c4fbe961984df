// The silent video: every frame drawn with QPainter, converted to 4:2:0 YUV
// with the BT.709 matrix and encoded with x264.
//
// Thread contract: writeFrames runs the encoder and the file on its caller's
// thread, while a drawing thread of its own draws and converts the pictures a
// little ahead of it; x264 runs its own threads inside the encoder. The two
// meet only in a PictureQueue. Whichever side fails stops the other, and the
// drawing thread is always joined before writeFrames returns.

#include <QCoreApplication>
#include <QGuiApplication>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

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

// Converted pictures waiting for the encoder. Two let drawing and encoding
// overlap fully; each more only holds another 3 MB while x264 sets the pace.
constexpr std::size_t kPicturesAhead = 2;

bool sameFrame(const VideoExport::Frame& a, const VideoExport::Frame& b) {
  return a.cells == b.cells && a.glow == b.glow && a.pressed == b.pressed &&
         a.seventh == b.seventh && a.ninth == b.ninth;
}

// One picture for the encoder: a converted frame, or none to show the
// picture before it once more (held chords, settled glows and the outro
// repeat a picture exactly, and drawing it again would only cost time).
struct Picture {
  av::Frame frame;
};

// The hand-over between the drawing thread and the encoder, bounded so that
// drawing never runs far ahead. Frames the encoder is done with come back as
// spares, so the drawing side allocates only a handful in all.
class PictureQueue {
 public:
  // Drawing side: a frame to convert into, or null when none is spare.
  av::Frame spare() {
    std::lock_guard lock(mutex_);
    if (spares_.empty()) return {};
    av::Frame frame = std::move(spares_.back());
    spares_.pop_back();
    return frame;
  }

  // Drawing side: waits while the queue is full; false once the encoder
  // has given up, so that drawing stops.
  bool push(Picture picture) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return abandoned_ || pictures_.size() < kPicturesAhead; });
    if (abandoned_) return false;
    pictures_.push_back(std::move(picture));
    changed_.notify_all();
    return true;
  }

  // Drawing side: no more pictures; `error` says why when drawing failed.
  void finish(std::string error) {
    std::lock_guard lock(mutex_);
    finished_ = true;
    error_ = std::move(error);
    changed_.notify_all();
  }

  // Encoder side: the next picture, waiting for it; nothing once drawing
  // has finished and every picture is taken.
  std::optional<Picture> pop() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return finished_ || !pictures_.empty(); });
    if (pictures_.empty()) return std::nullopt;
    Picture picture = std::move(pictures_.front());
    pictures_.pop_front();
    changed_.notify_all();
    return picture;
  }

  // Encoder side: a frame the encoder no longer reads from.
  void recycle(av::Frame frame) {
    std::lock_guard lock(mutex_);
    spares_.push_back(std::move(frame));
  }

  // Encoder side: stop the drawing at its next picture.
  void abandon() {
    std::lock_guard lock(mutex_);
    abandoned_ = true;
    changed_.notify_all();
  }

  // What went wrong while drawing, once drawing has finished.
  std::string error() {
    std::lock_guard lock(mutex_);
    return error_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Picture> pictures_;
  std::vector<av::Frame> spares_;
  bool finished_ = false;
  bool abandoned_ = false;
  std::string error_;
};

// A frame to convert into: a spare one, made writable again in case the
// encoder still holds a reference to its pictures, or a new one.
std::string takeFrame(PictureQueue& queue, av::Frame& frame) {
  frame = queue.spare();
  if (frame) {
    const int err = av_frame_make_writable(frame.get());
    return err < 0 ? av::failure("out of memory for the video frames", err) : std::string();
  }
  frame.reset(av_frame_alloc());
  if (!frame) return "out of memory for the video frames";
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = kVideoWidth;
  frame->height = kVideoHeight;
  frame->color_primaries = AVCOL_PRI_BT709;
  frame->color_trc = AVCOL_TRC_BT709;
  frame->colorspace = AVCOL_SPC_BT709;
  frame->color_range = AVCOL_RANGE_MPEG;
  const int err = av_frame_get_buffer(frame.get(), 0);
  return err < 0 ? av::failure("out of memory for the video frames", err) : std::string();
}

// The drawing thread: every picture of the take in order, drawn and converted
// only where it differs from the one before.
void drawPictures(const VideoExport& take, SwsContext* scaler, PictureQueue& queue) {
  const VideoPainter painter(take.knob, take.icon);
  QImage image = VideoPainter::makeFrame();
  const std::vector<ChordHit> doubled = take.doubledEvents();
  const double takeEnd = 2.0 * take.passLength();
  const int frames = take.frameCount();
  std::optional<VideoExport::Frame> previous;
  double previousFade = -1.0;

  for (int i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kVideoFps;
    bool redraw = true;
    if (t < takeEnd) {
      VideoExport::Frame state = frameStateOf(doubled, take.key, t);
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
    Picture picture;
    if (redraw) {
      if (std::string e = takeFrame(queue, picture.frame); !e.empty()) {
        queue.finish(std::move(e));
        return;
      }
      const std::uint8_t* source[1] = {image.constBits()};
      const int stride[1] = {static_cast<int>(image.bytesPerLine())};
      sws_scale(scaler, source, stride, 0, kVideoHeight, picture.frame->data,
                picture.frame->linesize);
    }
    if (!queue.push(std::move(picture))) return;
  }
  queue.finish({});
}

// Stops and joins the drawing thread on every way out of writeFrames.
class DrawingThread {
 public:
  explicit DrawingThread(PictureQueue& queue) : queue_(queue) {}
  DrawingThread(const DrawingThread&) = delete;
  DrawingThread& operator=(const DrawingThread&) = delete;
  ~DrawingThread() { join(); }

  // False when the system has no thread to spare.
  template <class Work>
  bool start(Work work) {
    try {
      thread_ = std::thread(std::move(work));
      return true;
    } catch (const std::system_error&) {
      return false;
    }
  }

  void join() {
    queue_.abandon();
    if (thread_.joinable()) thread_.join();
  }

 private:
  PictureQueue& queue_;
  std::thread thread_;
};

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
  av::Packet packet(av_packet_alloc());
  if (!scaler || !packet) return fail("out of memory for the video frames");
  // The drawing is full-range RGB; the video is limited-range BT.709, the
  // matrix that the stream's tags announce.
  const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
  sws_setColorspaceDetails(scaler.get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);

  PictureQueue queue;
  DrawingThread drawing(queue);
  if (!drawing.start([this, &scaler, &queue] { drawPictures(*this, scaler.get(), queue); })) {
    return fail("cannot start drawing the video");
  }

  // The picture on screen: sent again for every repeat, handed back as a
  // spare once the next one replaces it.
  av::Frame shown;
  for (std::int64_t i = 0;; ++i) {
    std::optional<Picture> picture = queue.pop();
    if (!picture) break;
    if (picture->frame) {
      if (shown) queue.recycle(std::move(shown));
      shown = std::move(picture->frame);
    }
    if (!shown) return fail("the video's first picture is missing");
    shown->pts = i;
    if (std::string e =
            av::encodeAndWrite("video", codec.get(), format, stream, shown.get(), packet.get());
        !e.empty()) {
      return fail(e);
    }
  }
  drawing.join();
  if (std::string e = queue.error(); !e.empty()) return fail(e);

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
