// Draws the application icon: three chord pads in the pads' colours standing
// side by side like piano keys on a dark tile. Written as a PNG at build
// time so that no image file is kept in the sources.
//
// Usage: quimbel_app_icon OUTPUT.png [SIZE]

#include <QColor>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void drawIcon(QImage& image) {
  const double s = image.width();
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);

  // The tile, inset a little so the icon sits well beside others.
  const QRectF tile(s * 0.06, s * 0.06, s * 0.88, s * 0.88);
  p.setBrush(QColor(0x16, 0x16, 0x16));
  p.drawRoundedRect(tile, s * 0.2, s * 0.2);

  // Three keys: orange, cream and yellow, the middle one pressed a little.
  const QColor colors[3] = {QColor(0xFF, 0x55, 0x26), QColor(0xF9, 0xEC, 0xCF),
                            QColor(0xFF, 0xE4, 0x2F)};
  const double gap = s * 0.04;
  const double width = (tile.width() - 2 * s * 0.12 - 2 * gap) / 3.0;
  const double top = tile.top() + s * 0.16;
  const double height = tile.height() - 2 * s * 0.16;
  for (int i = 0; i < 3; ++i) {
    QRectF key(tile.left() + s * 0.12 + i * (width + gap), top, width, height);
    if (i == 1) key.adjust(s * 0.01, s * 0.04, -s * 0.01, 0.0);
    p.setBrush(colors[i]);
    p.drawRoundedRect(key, s * 0.05, s * 0.05);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: quimbel_app_icon OUTPUT.png [SIZE]\n");
    return 2;
  }
  const int size = argc > 2 ? std::atoi(argv[2]) : 512;
  if (size < 16 || size > 4096) {
    std::fprintf(stderr, "quimbel_app_icon: size must be 16 to 4096\n");
    return 2;
  }
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QGuiApplication app(argc, argv);
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  drawIcon(image);
  if (!image.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "quimbel_app_icon: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
