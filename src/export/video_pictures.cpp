// Converting the drawn frames into the video's pictures, a band of rows at a
// time.

#include <algorithm>
#include <cstring>

#include "export/av_support.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace quimbel::av {
namespace {

constexpr const char* kNoMemory = "out of memory for the video frames";

// The converter's own slice threads. FFmpeg 5.1 writes a band of luma rows
// to the wrong place when a converter without slice threads is asked for
// it, while its threaded path places every plane right; without threads the
// pictures are converted whole.
constexpr int kConverterThreads = 2;

SwsContext* makeScaler(int width, int height) {
  SwsContext* scaler = sws_alloc_context();
  if (scaler == nullptr) return nullptr;
  const bool set = av_opt_set_int(scaler, "srcw", width, 0) >= 0 &&
                   av_opt_set_int(scaler, "srch", height, 0) >= 0 &&
                   av_opt_set_int(scaler, "src_format", AV_PIX_FMT_BGRA, 0) >= 0 &&
                   av_opt_set_int(scaler, "dstw", width, 0) >= 0 &&
                   av_opt_set_int(scaler, "dsth", height, 0) >= 0 &&
                   av_opt_set_int(scaler, "dst_format", AV_PIX_FMT_YUV420P, 0) >= 0 &&
                   av_opt_set_int(scaler, "sws_flags", SWS_BICUBIC, 0) >= 0 &&
                   av_opt_set_int(scaler, "threads", kConverterThreads, 0) >= 0;
  if (!set || sws_init_context(scaler, nullptr, nullptr) < 0) {
    sws_freeContext(scaler);
    return nullptr;
  }
  return scaler;
}

// The frames belong to their painter; the converter only reads them.
void keepFrame(void*, std::uint8_t*) {}

}  // namespace

PictureConverter::PictureConverter(int width, int height)
    : width_(width),
      height_(height),
      scaler_(makeScaler(width, height)),
      picture_(av_frame_alloc()) {
  if (!scaler_ || !picture_) {
    error_ = kNoMemory;
    return;
  }
  std::int64_t threads = 1;
  byBands_ = av_opt_get_int(scaler_.get(), "threads", 0, &threads) >= 0 && threads > 1;
  // The drawing is full-range RGB; the video is limited-range BT.709, the
  // matrix that the stream's tags announce.
  const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
  sws_setColorspaceDetails(scaler_.get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);

  picture_->format = AV_PIX_FMT_YUV420P;
  picture_->width = width;
  picture_->height = height;
  picture_->color_primaries = AVCOL_PRI_BT709;
  picture_->color_trc = AVCOL_TRC_BT709;
  picture_->colorspace = AVCOL_SPC_BT709;
  picture_->color_range = AVCOL_RANGE_MPEG;
  if (const int err = av_frame_get_buffer(picture_.get(), 0); err < 0) {
    error_ = failure(kNoMemory, err);
  }
}

std::vector<RowBand> PictureConverter::changedBands(const std::uint8_t* bgra,
                                                    const std::uint8_t* before, int stride,
                                                    int width, int height) {
  const auto rowBytes = static_cast<std::size_t>(width) * 4;
  std::vector<RowBand> bands;
  for (int y = 0; y < height; ++y) {
    const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(y) * stride;
    if (std::memcmp(bgra + offset, before + offset, rowBytes) == 0) continue;
    const int first = std::max(0, y - kFilterReach) & ~1;
    int last = std::min(height, y + 1 + kFilterReach);
    if (last % 2 != 0 && last < height) ++last;
    if (!bands.empty() && first <= bands.back().second) {
      bands.back().second = std::max(bands.back().second, last);
    } else {
      bands.emplace_back(first, last);
    }
  }
  return bands;
}

std::string PictureConverter::convert(const std::uint8_t* bgra, int stride,
                                      const std::vector<RowBand>& bands) {
  if (!error_.empty()) return error_;
  // The encoder should be done with the picture by now; if it still holds
  // it, the picture moves to a copy of its own.
  if (const int err = av_frame_make_writable(picture_.get()); err < 0) {
    return failure(kNoMemory, err);
  }

  Frame source(av_frame_alloc());
  if (!source) return kNoMemory;
  source->format = AV_PIX_FMT_BGRA;
  source->width = width_;
  source->height = height_;
  source->data[0] = const_cast<std::uint8_t*>(bgra);
  source->linesize[0] = stride;
  source->buf[0] = av_buffer_create(source->data[0], static_cast<std::size_t>(stride) * height_,
                                    keepFrame, nullptr, AV_BUFFER_FLAG_READONLY);
  if (source->buf[0] == nullptr) return kNoMemory;

  const std::vector<RowBand> whole = {{0, height_}};
  const std::vector<RowBand>& todo = whole_ || !byBands_ ? whole : bands;
  int err = sws_frame_start(scaler_.get(), picture_.get(), source.get());
  if (err >= 0) err = sws_send_slice(scaler_.get(), 0, static_cast<unsigned>(height_));
  for (const auto& [first, last] : todo) {
    if (err < 0) break;
    err = sws_receive_slice(scaler_.get(), static_cast<unsigned>(first),
                            static_cast<unsigned>(last - first));
  }
  sws_frame_end(scaler_.get());
  // A half-converted picture is made whole again by the next frame.
  whole_ = err < 0;
  return err < 0 ? failure("cannot convert a video frame", err) : std::string();
}

}  // namespace quimbel::av
