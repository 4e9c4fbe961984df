// Draws the foot row and the key picker of both panel layouts in the take's
// states into PNG files, for a look at them: foot_row_shots <folder>.

#include <QApplication>
#include <QDir>
#include <QPainter>
#include <vector>

#include "ui/foot_row.h"
#include "ui/key_picker.h"
#include "ui/panel_view.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
  QDir().mkpath(folder);
  using quimbel::PadState;
  struct Shot {
    const char* name;
    PadState state;
    bool picker;
  };
  const Shot shots[] = {{"ready", PadState::ready, true},
                        {"count", PadState::count, false},
                        {"rec", PadState::rec, false},
                        {"done", PadState::done, false}};
  std::vector<QImage> sheet;
  for (bool wide : {false, true}) {
    for (const Shot& shot : shots) {
      quimbel::PanelView view;
      view.showWide(wide);
      quimbel::FootRow& foot = view.foot();
      foot.showKey({1, quimbel::Chords::Mode::minor});
      foot.showTempo(120, shot.state == PadState::rec);
      foot.showState(shot.state);
      foot.showCount(3);
      foot.showElapsed(75);
      foot.showVolume(shot.state == PadState::done ? 0.0 : 0.8);
      foot.showPinned(shot.state == PadState::rec);
      foot.showVideoRendering(shot.state == PadState::done);
      view.picker().setReduceMotion(true);
      view.picker().showKey({1, quimbel::Chords::Mode::minor});
      foot.showPickerOpen(shot.picker);
      view.showPicker(shot.picker);
      // The lower part of the panel, where the row and the picker sit, at 2×.
      const int top = foot.y() - (shot.picker ? view.picker().height() + 20 : 12);
      const QRect area(0, top, view.width(), view.height() - top);
      QImage image(area.size() * 2, QImage::Format_ARGB32_Premultiplied);
      image.setDevicePixelRatio(2.0);
      image.fill(Qt::transparent);
      view.render(&image, QPoint(), QRegion(area));
      image.save(QStringLiteral("%1/foot-%2-%3.png")
                     .arg(folder, wide ? QStringLiteral("524") : QStringLiteral("304"),
                          QString::fromLatin1(shot.name)));
      sheet.push_back(image);
    }
  }
  // All of them on one sheet, one under the other.
  int height = 0;
  for (const QImage& image : sheet) height += image.height() + 8;
  QImage all(1100, height, QImage::Format_ARGB32_Premultiplied);
  all.fill(QColor(0x40, 0x40, 0x40));
  QPainter painter(&all);
  int y = 0;
  for (const QImage& image : sheet) {
    QImage plain = image;
    plain.setDevicePixelRatio(1.0);
    painter.drawImage(0, y, plain);
    y += image.height() + 8;
  }
  painter.end();
  all.save(folder + QStringLiteral("/foot-all.png"));
  return 0;
}
