#include "export/video_frames.h"

#include <sys/mman.h>

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QString>
#include <algorithm>
#include <cstring>

#include "files/data_folder.h"
#include "look/font.h"
#include "look/palette.h"
#include "music/chords.h"
#include "screen/compose.h"

namespace quimbel {
namespace {

// Frame geometry, in pixels from the top left.
constexpr double kScreenX = 144.8;
constexpr double kScreenY = 154.0;
constexpr double kScreenSide = 790.4;
constexpr double kCellPitch = 24.78125;
constexpr double kCellSide = 22.18125;
constexpr double kCornerRadius = 31.2;
constexpr double kPadX = 144.8;
constexpr double kPadY = 975.6;
constexpr double kPadPitch = 270.4;
constexpr double kPadSide = 249.6;
constexpr double kPressedInset = 3.744;
constexpr double kIconSide = 280.0;

constexpr std::uint32_t kFrameBackground = 0x0A0A0A;

// A frame's pixels, rows without padding.
constexpr std::size_t kFrameBytes = std::size_t{kVideoWidth} * 4 * kVideoHeight;

// QImage measures fonts at its own resolution; at 72 dots per inch a point
// is a pixel, so font sizes below are frame pixels.
constexpr int kDotsPerMeterAt72Dpi = 2835;

QColor videoColor(std::uint32_t rgb, double alpha = 1.0) {
  const std::uint32_t v = toVideoColor(rgb);
  QColor color(static_cast<int>((v >> 16) & 0xFF), static_cast<int>((v >> 8) & 0xFF),
               static_cast<int>(v & 0xFF));
  color.setAlphaF(static_cast<float>(alpha));
  return color;
}

// Text whose top left is at (x, top).
void drawTextFromTop(QPainter& painter, const QFont& font, double x, double top,
                     const QString& text) {
  painter.setFont(font);
  painter.drawText(QPointF(x, top + QFontMetricsF(font, painter.device()).ascent()), text);
}

QString degreeText(int pad, const VideoExport::Frame& frame) {
  static const char* const kDegrees[] = {"I", "II", "III", "IV", "V", "VI", "VII"};
  if (pad >= Chords::kPlayablePads) return QStringLiteral("7th");
  QString text = QString::fromLatin1(kDegrees[pad]);
  if (frame.ninth) {
    text += QLatin1Char('9');
  } else if (frame.seventh) {
    text += QLatin1Char('7');
  }
  return text;
}

}  // namespace

std::optional<VideoBitmap> loadVideoIcon() {
  const std::filesystem::path file = dataFolder() / "AppIcon.png";
  QImage image(QString::fromStdString(file.string()));
  if (image.isNull()) return std::nullopt;
  image = image
              .scaled(static_cast<int>(kIconSide), static_cast<int>(kIconSide),
                      Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
              .convertToFormat(QImage::Format_ARGB32_Premultiplied);
  VideoBitmap bitmap;
  bitmap.width = image.width();
  bitmap.height = image.height();
  bitmap.bgra.resize(static_cast<std::size_t>(bitmap.width) * bitmap.height * 4);
  for (int y = 0; y < bitmap.height; ++y) {
    std::memcpy(bitmap.bgra.data() + static_cast<std::size_t>(y) * bitmap.width * 4,
                image.constScanLine(y), static_cast<std::size_t>(bitmap.width) * 4);
  }
  return bitmap;
}

VideoPainter::VideoPainter(int knob, const std::optional<VideoBitmap>& icon)
    : knob_(knob),
      label_(panelFace(104.0, -2.08)),
      degree_(panelFace(36.4)),
      name_(panelFace(84.0, -1.68)),
      address_(panelFace(44.0)) {
  const bool usable = icon && icon->width > 0 && icon->height > 0 &&
                      icon->bgra.size() == static_cast<std::size_t>(icon->width) * icon->height * 4;
  if (!usable) return;
  QImage straight = QImage(icon->bgra.data(), icon->width, icon->height, icon->width * 4,
                           QImage::Format_ARGB32_Premultiplied)
                        .convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < straight.height(); ++y) {
    auto* row = reinterpret_cast<QRgb*>(straight.scanLine(y));
    for (int x = 0; x < straight.width(); ++x) {
      const std::uint32_t v = toVideoColor(row[x] & 0xFFFFFF);
      row[x] = (row[x] & 0xFF000000u) | v;
    }
  }
  icon_ = straight.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QImage VideoPainter::makeFrame() {
  void* memory =
      mmap(nullptr, kFrameBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return {};
  QImage image(
      static_cast<uchar*>(memory), kVideoWidth, kVideoHeight, kVideoWidth * 4,
      QImage::Format_ARGB32_Premultiplied, [](void* mapped) { munmap(mapped, kFrameBytes); },
      memory);
  image.setDotsPerMeterX(kDotsPerMeterAt72Dpi);
  image.setDotsPerMeterY(kDotsPerMeterAt72Dpi);
  return image;
}

void VideoPainter::drawTake(QImage& image, const VideoExport::Frame& frame) const {
  image.fill(videoColor(kFrameBackground));
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::TextAntialiasing);
  painter.setPen(Qt::NoPen);

  // The screen: its background and cells fill the whole square, then the
  // corners outside the rounded outline are painted back in the frame's
  // colour, which smooths the outline as an antialiased clip would.
  const QRectF screen(kScreenX, kScreenY, kScreenSide, kScreenSide);
  painter.fillRect(screen, videoColor(kScreenGapColor));
  std::uint32_t lastRgb = 0xFFFFFFFFu;
  QColor lastColor;
  for (int n = 0; n < ChordScreen::kCellCount; ++n) {
    const std::uint32_t rgb = frame.cells[n].value_or(ChordScreen::kBackground);
    if (rgb != lastRgb) {
      lastRgb = rgb;
      lastColor = videoColor(rgb);
    }
    const int column = n % ChordScreen::kSide;
    const int row = n / ChordScreen::kSide;
    painter.fillRect(
        QRectF(kScreenX + column * kCellPitch, kScreenY + row * kCellPitch, kCellSide, kCellSide),
        lastColor);
  }
  QPainterPath corners;
  corners.setFillRule(Qt::OddEvenFill);
  corners.addRect(screen);
  corners.addRoundedRect(screen, kCornerRadius, kCornerRadius);
  painter.fillPath(corners, videoColor(kFrameBackground));

  const QFontMetricsF degreeMetrics(degree_, &image);
  for (int i = 0; i < kVideoPads; ++i) {
    const int column = i % 3;
    const int row = i / 3;
    QRectF rect(kPadX + column * kPadPitch, kPadY + row * kPadPitch, kPadSide, kPadSide);
    std::uint32_t fill = Chords::padColor(i);
    std::uint32_t type = Chords::padLabelColor(i);
    if (i < Chords::kPlayablePads) {
      if (frame.pressed[i]) {
        rect.adjust(kPressedInset, kPressedInset, -kPressedInset, -kPressedInset);
      }
      fill = glowColor(fill, frame.glow[i]);
      type = glowColor(type, frame.glow[i]);
    } else if (frame.seventh) {
      fill = kSeventhsOnFill;
      type = kSeventhsOnType;
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(videoColor(fill));
    painter.drawRoundedRect(rect, kCornerRadius, kCornerRadius);

    painter.setPen(videoColor(type));
    drawTextFromTop(painter, label_, rect.x() + 23.4, rect.y() + 18.2,
                    QString::fromUtf8(Chords::padLabel(i).data(),
                                      static_cast<int>(Chords::padLabel(i).size())));
    painter.setFont(degree_);
    painter.drawText(QPointF(rect.x() + 26.0, rect.bottom() - 20.8 - degreeMetrics.descent()),
                     degreeText(i, frame));
  }

  const ChordScreen::KnobColors knob =
      ChordScreen::kKnobPalette[ChordScreen::knobPaletteIndex(knob_)];
  const QRectF body(kPadX + 2 * kPadPitch, kPadY + 2 * kPadPitch, kPadSide, kPadSide);
  painter.setPen(Qt::NoPen);
  painter.setBrush(videoColor(knob.first));
  painter.drawEllipse(body);
  painter.translate(body.center());
  painter.rotate(knob_ * 30.0);  // clockwise on screen: y grows downwards
  painter.setBrush(videoColor(knob.second));
  painter.drawRoundedRect(QRectF(-3.9, -98.8, 7.8, 72.8), 3.9, 3.9);
}

void VideoPainter::drawOutro(QImage& image, double u) const {
  image.fill(videoColor(kFrameBackground));
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::TextAntialiasing);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);

  // The outro fades in over a quarter second. The text colours carry the
  // fade as well, on top of the painter's opacity.
  const double a = outroFade(u);
  painter.setOpacity(a);
  if (!icon_.isNull()) {
    painter.drawImage(QRectF(400.0, 640.0, kIconSide, kIconSide), icon_);
  }

  const QString name = QStringLiteral("Quimbel");
  const double nameWidth = QFontMetricsF(name_, &image).horizontalAdvance(name);
  painter.setPen(videoColor(0xEDEDED, a));
  drawTextFromTop(painter, name_, (kVideoWidth - nameWidth) / 2.0, 966.0, name);

  const QString address = QString::fromLatin1(kMakerAddress);
  const double addressWidth = QFontMetricsF(address_, &image).horizontalAdvance(address);
  painter.setPen(videoColor(0xA8A8A8, a));
  drawTextFromTop(painter, address_, (kVideoWidth - addressWidth) / 2.0, 1082.0, address);
  painter.setOpacity(1.0);
}

}  // namespace quimbel
