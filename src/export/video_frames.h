#pragma once

// Drawing the video's frames with QPainter into 1080 × 1920 images of
// premultiplied BGRA pixels (QImage::Format_ARGB32_Premultiplied on a
// little-endian machine), every colour converted into the video's colour
// space. Safe on any thread once the program's QGuiApplication exists; one
// painter belongs to one thread at a time.

#include <QFont>
#include <QImage>
#include <filesystem>
#include <functional>
#include <optional>

#include "export/video_export.h"

namespace quimbel {

// The application icon ("AppIcon.png" in the data folder) as a 280 × 280
// bitmap; absent when the file is missing or unreadable.
std::optional<VideoBitmap> loadVideoIcon();

class VideoPainter {
 public:
  // `knob` is the take's knob; `icon` (sRGB) is converted once here.
  VideoPainter(int knob, const std::optional<VideoBitmap>& icon);

  // A blank frame of the video's size and format, in memory mapped for it
  // alone, so that the memory goes back to the system with the image.
  static QImage makeFrame();

  void drawTake(QImage& image, const VideoExport::Frame& frame) const;
  // `u`: seconds since the outro began.
  void drawOutro(QImage& image, double u) const;

 private:
  int knob_;
  QImage icon_;  // in the video's colour space; null without an icon
  QFont label_;
  QFont degree_;
  QFont name_;
  QFont address_;
};

// VideoExport::writeFrames, which calls `whenDrawn` on the calling thread as
// soon as the last frame is drawn and converted and the drawing's images are
// freed, while the encoder may still be working through the last pictures
// (the outro's held picture, the encoder's look-ahead).
Written writeVideoFrames(const VideoExport& take, const std::filesystem::path& url,
                         const std::function<void()>& whenDrawn);

}  // namespace quimbel
