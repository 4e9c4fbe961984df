#pragma once

// The panel's foot row: key button, tempo key, elapsed time, play, record,
// volume, pin, the Audio / MIDI / Video drag keys and drop.

#include <QRect>
#include <QWidget>

namespace quimbel {

class FootRow : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kHeight = 28;
  explicit FootRow(QWidget* parent = nullptr);

  // The key button's frame in this widget's coordinates (the key picker opens
  // in line with it).
  QRect keyButtonFrame() const;

 signals:
  void keyButtonFrameChanged(QRect frame);
};

}  // namespace quimbel
