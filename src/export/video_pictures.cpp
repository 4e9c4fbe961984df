// Converting the drawn frames into the video's pictures, a band of rows at a
// time.

#include <algorithm>
#include <cstring>

#include "export/av_support.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

namespace quimbel::av {
namespace {

constexpr const char* kNoMemory = "out of memory for the video frames";

// The frames belong to their painter; the converter only reads them.
void keepFrame(void*, std::uint8_t*) {}

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

}  // namespace

PictureConverter::PictureConverter(int width, int height)
    : width_(width), height_(height), scaler_(makeScaler(width, height)) {
  const int size = av_image_get_buffer_size(AV_PIX_FMT_YUV420P, width, height, align_);
  if (size > 0) pool_.reset(av_buffer_pool_init(static_cast<std::size_t>(size), av_buffer_alloc));
  if (!scaler_ || !pool_) {
    error_ = kNoMemory;
    return;
  }
  std::int64_t threads = 1;
  byBands_ = av_opt_get_int(scaler_.get(), "threads", 0, &threads) >= 0 && threads > 1;
  // The drawing is full-range RGB; the video is limited-range BT.709, the
  // matrix that the stream's tags announce.
  const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
  sws_setColorspaceDetails(scaler_.get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
  changed_.resize(static_cast<std::size_t>(height));
}

std::vector<std::pair<int, int>> PictureConverter::bands(const std::vector<bool>& changed,
                                                         int height) {
  std::vector<std::pair<int, int>> out;
  for (int y = 0; y < height; ++y) {
    if (!changed[static_cast<std::size_t>(y)]) continue;
    const int first = std::max(0, y - kFilterReach) & ~1;
    int last = std::min(height, y + 1 + kFilterReach);
    if (last % 2 != 0 && last < height) ++last;
    if (!out.empty() && first <= out.back().second) {
      out.back().second = std::max(out.back().second, last);
    } else {
      out.emplace_back(first, last);
    }
  }
  return out;
}

std::string PictureConverter::newPicture(Frame& picture) {
  picture.reset(av_frame_alloc());
  if (!picture) return kNoMemory;
  picture->buf[0] = av_buffer_pool_get(pool_.get());
  if (picture->buf[0] == nullptr) return kNoMemory;
  picture->format = AV_PIX_FMT_YUV420P;
  picture->width = width_;
  picture->height = height_;
  picture->color_primaries = AVCOL_PRI_BT709;
  picture->color_trc = AVCOL_TRC_BT709;
  picture->colorspace = AVCOL_SPC_BT709;
  picture->color_range = AVCOL_RANGE_MPEG;
  const int err = av_image_fill_arrays(picture->data, picture->linesize, picture->buf[0]->data,
                                       AV_PIX_FMT_YUV420P, width_, height_, align_);
  return err < 0 ? failure(kNoMemory, err) : std::string();
}

std::string PictureConverter::repeat(Frame& picture) {
  if (!last_) return "no video picture to repeat";
  picture.reset(av_frame_clone(last_.get()));
  return picture ? std::string() : kNoMemory;
}

std::string PictureConverter::convert(const std::uint8_t* bgra, int stride,
                                      const std::uint8_t* before, Frame& picture) {
  if (!error_.empty()) return error_;

  std::vector<std::pair<int, int>> todo;
  if (byBands_ && before != nullptr && last_) {
    const auto rowBytes = static_cast<std::size_t>(width_) * 4;
    bool any = false;
    for (int y = 0; y < height_; ++y) {
      const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(y) * stride;
      const bool differs = std::memcmp(bgra + offset, before + offset, rowBytes) != 0;
      changed_[static_cast<std::size_t>(y)] = differs;
      any = any || differs;
    }
    if (!any) return repeat(picture);
    todo = bands(changed_, height_);
  } else {
    todo.emplace_back(0, height_);
  }

  Frame next;
  if (std::string e = newPicture(next); !e.empty()) return e;
  if (last_) {
    // Every row outside the bands as the picture before has it; both
    // pictures share one layout, so whole runs of rows copy at once.
    auto copyRows = [&](int first, int last) {
      for (int plane = 0; plane < 3; ++plane) {
        const int shift = plane == 0 ? 0 : 1;
        const std::ptrdiff_t line = next->linesize[plane];
        const int from = first >> shift;
        const int to = (last + shift) >> shift;
        std::memcpy(next->data[plane] + from * line, last_->data[plane] + from * line,
                    static_cast<std::size_t>((to - from) * line));
      }
    };
    int row = 0;
    for (const auto& [first, last] : todo) {
      if (first > row) copyRows(row, first);
      row = last;
    }
    if (row < height_) copyRows(row, height_);
  }

  Frame source(av_frame_alloc());
  if (!source) return kNoMemory;
  source->format = AV_PIX_FMT_BGRA;
  source->width = width_;
  source->height = height_;
  source->data[0] = const_cast<std::uint8_t*>(bgra);
  source->linesize[0] = stride;
  source->buf[0] = av_buffer_create(
      source->data[0], static_cast<std::size_t>(stride) * static_cast<std::size_t>(height_),
      keepFrame, nullptr, AV_BUFFER_FLAG_READONLY);
  if (source->buf[0] == nullptr) return kNoMemory;

  int err = sws_frame_start(scaler_.get(), next.get(), source.get());
  if (err >= 0) err = sws_send_slice(scaler_.get(), 0, static_cast<unsigned>(height_));
  for (const auto& [first, last] : todo) {
    if (err < 0) break;
    err = sws_receive_slice(scaler_.get(), static_cast<unsigned>(first),
                            static_cast<unsigned>(last - first));
  }
  sws_frame_end(scaler_.get());
  if (err < 0) return failure("cannot convert a video frame", err);

  last_ = std::move(next);
  return repeat(picture);
}

}  // namespace quimbel::av
