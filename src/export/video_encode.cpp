// The silent video: every frame drawn with QPainter, converted to 4:2:0 YUV
// with the BT.709 matrix and encoded with x264.
//
// Thread contract: writeFrames converts the frames and runs the encoder and
// the file on its caller's thread, while a drawing thread of its own draws
// the frames ahead of it; x264 and the converter run threads of their own
// inside. The two meet only in a FrameQueue. Whichever side fails stops the
// other, and the drawing thread is always joined before writeFrames returns.

#include <QCoreApplication>
#include <QGuiApplication>
#include <array>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

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

// A drawn frame on its way to the encoder: the image that holds it and the
// bands of rows where it differs from the frame before, or no image when the
// picture before repeats.
struct Drawn {
  int image = -1;
  std::vector<av::RowBand> bands;
};

// The two images the frames are drawn into, and the hand-over of drawn
// frames to the encoder. The drawing thread draws into one image while the
// encoder converts the other; an image returns to the drawing side once the
// encoder has converted it. Repeats cost no image, so the drawing runs ahead
// through them and is done before the encoder reaches the outro's held
// picture.
class FrameQueue {
 public:
  FrameQueue() : images_{VideoPainter::makeFrame(), VideoPainter::makeFrame()} {}

  QImage& image(int index) { return images_[static_cast<std::size_t>(index)]; }

  // Drawing side: waits until the encoder is done with `index`; false once
  // the encoder has given up, so that drawing stops.
  bool claim(int index) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return abandoned_ || !busy_[static_cast<std::size_t>(index)]; });
    return !abandoned_;
  }

  // Drawing side: false once the encoder has given up.
  bool push(Drawn drawn) {
    std::lock_guard lock(mutex_);
    if (abandoned_) return false;
    if (drawn.image >= 0) busy_[static_cast<std::size_t>(drawn.image)] = true;
    queue_.push_back(std::move(drawn));
    changed_.notify_all();
    return true;
  }

  // Drawing side: no more frames; `error` says why when drawing failed.
  void finish(std::string error) {
    std::lock_guard lock(mutex_);
    finished_ = true;
    error_ = std::move(error);
    changed_.notify_all();
  }

  // Encoder side: the next frame, waiting for it; nothing once drawing has
  // finished and every frame is taken.
  std::optional<Drawn> pop() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return finished_ || !queue_.empty(); });
    if (queue_.empty()) return std::nullopt;
    Drawn drawn = std::move(queue_.front());
    queue_.pop_front();
    changed_.notify_all();
    return drawn;
  }

  // Encoder side: the image is converted and may be drawn over.
  void release(int index) {
    std::lock_guard lock(mutex_);
    busy_[static_cast<std::size_t>(index)] = false;
    changed_.notify_all();
  }

  // Encoder side: whether every frame is drawn and converted, so that the
  // images are no longer needed.
  bool drawingDone() {
    std::lock_guard lock(mutex_);
    return finished_ && error_.empty() && !busy_[0] && !busy_[1];
  }

  // Encoder side, once the drawing is done: the images' memory goes back.
  void freeImages() { images_ = {}; }

  // Encoder side: stop the drawing at its next frame.
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
  std::array<QImage, 2> images_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::array<bool, 2> busy_{};
  std::deque<Drawn> queue_;
  bool finished_ = false;
  bool abandoned_ = false;
  std::string error_;
};

// The drawing thread: every frame of the take in order. Held chords, settled
// glows and the outro repeat a picture exactly, and drawing it again would
// only cost time; a frame that is drawn is compared with the one before,
// which the other image still holds, so that only its changed rows are
// converted.
void drawFrames(const VideoExport& take, FrameQueue& queue) {
  const VideoPainter painter(take.knob, take.icon);
  const std::vector<ChordHit> doubled = take.doubledEvents();
  const double takeEnd = 2.0 * take.passLength();
  const int frames = take.frameCount();
  std::optional<VideoExport::Frame> previous;
  double previousFade = -1.0;
  int latest = -1;  // the image holding the latest frame sent

  for (int i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kVideoFps;
    const int next = latest == 0 ? 1 : 0;
    std::optional<VideoExport::Frame> state;
    bool redraw = true;
    if (t < takeEnd) {
      state = frameStateOf(doubled, take.key, t);
      redraw = !previous || !sameFrame(*previous, *state);
    } else {
      const double fade = outroFade(t - takeEnd);
      redraw = previous.has_value() || fade != previousFade;
      previousFade = fade;
    }
    Drawn drawn;
    if (redraw) {
      if (!queue.claim(next)) return;
      QImage& image = queue.image(next);
      if (state) {
        painter.drawTake(image, *state);
      } else {
        painter.drawOutro(image, t - takeEnd);
      }
      if (latest < 0) {
        drawn = {next, {{0, kVideoHeight}}};
      } else {
        drawn.bands = av::PictureConverter::changedBands(
            image.constBits(), queue.image(latest).constBits(),
            static_cast<int>(image.bytesPerLine()), kVideoWidth, kVideoHeight);
        if (!drawn.bands.empty()) drawn.image = next;
      }
      if (drawn.image >= 0) latest = next;
    }
    previous = std::move(state);
    if (!queue.push(std::move(drawn))) return;
  }
  queue.finish({});
}

// Stops and joins the drawing thread on every way out of writeFrames.
class DrawingThread {
 public:
  explicit DrawingThread(FrameQueue& queue) : queue_(queue) {}
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
  FrameQueue& queue_;
  std::thread thread_;
};

}  // namespace

Written VideoExport::writeFrames(const std::filesystem::path& url) const {
  return writeVideoFrames(*this, url, {});
}

Written writeVideoFrames(const VideoExport& take, const std::filesystem::path& url,
                         const std::function<void()>& whenDrawn) {
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

  av::Packet packet(av_packet_alloc());
  if (!packet) return fail("out of memory for the video frames");
  av::PictureConverter converter(kVideoWidth, kVideoHeight);
  if (!converter.error().empty()) return fail(converter.error());

  FrameQueue queue;
  if (queue.image(0).isNull() || queue.image(1).isNull()) {
    return fail("out of memory for the video frames");
  }
  DrawingThread drawing(queue);
  if (!drawing.start([&take, &queue] {
        // Nothing may escape the thread; what it throws ends the export.
        try {
          drawFrames(take, queue);
        } catch (const std::exception& e) {
          queue.finish(std::string("cannot draw the video: ") + e.what());
        }
      })) {
    return fail("cannot start drawing the video");
  }
  // Once the last frame is drawn and converted, the images go, and what
  // follows the pictures may start beside the encoder's last stretch.
  bool drawn = false;
  auto drawnAll = [&] {
    drawn = true;
    queue.freeImages();
    if (whenDrawn) whenDrawn();
  };
  for (std::int64_t i = 0;; ++i) {
    const std::optional<Drawn> next = queue.pop();
    if (!next) break;
    if (next->image >= 0) {
      const QImage& image = queue.image(next->image);
      std::string e =
          converter.convert(image.constBits(), static_cast<int>(image.bytesPerLine()), next->bands);
      queue.release(next->image);
      if (!e.empty()) return fail(e);
    } else if (i == 0) {
      return fail("the video's first frame is missing");
    }
    if (!drawn && queue.drawingDone()) {
      drawnAll();
    }
    AVFrame* picture = converter.picture();
    picture->pts = i;
    if (std::string e =
            av::encodeAndWrite("video", codec.get(), format, stream, picture, packet.get());
        !e.empty()) {
      return fail(e);
    }
  }
  drawing.join();
  if (std::string e = queue.error(); !e.empty()) return fail(e);
  if (!drawn) drawnAll();

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
