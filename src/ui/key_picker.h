#pragma once

// The key picker: the twelve tonics laid out like an octave of a keyboard
// (naturals below, sharps and flats above between them) and Major / Minor,
// opening above the foot row. It sizes itself to its chips, draws the key it
// is shown and reports the chip the user chose.
//
// Thread contract: main thread only.

#include <QRect>
#include <QWidget>

#include "music/key.h"

class QVariantAnimation;

namespace quimbel {

class KeyPicker : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kWidth = 252;
  static constexpr int kPadding = 8;
  static constexpr int kChipHeight = 28;
  static constexpr int kGap = 4;
  static constexpr int kMajorChip = 12;
  static constexpr int kMinorChip = 13;
  static constexpr int kChips = 14;

  explicit KeyPicker(QWidget* parent = nullptr);

  void showKey(const Chords::Key& key);
  // No fade when the desktop asks for less motion.
  void setReduceMotion(bool reduce) { reduceMotion_ = reduce; }

  // Chip 0 … 11 is that tonic, then Major and Minor; in this widget's points.
  QRectF chipFrame(int chip) const;
  static QString chipTitle(int chip);

 signals:
  void tonicChosen(int tonic);
  void modeChosen(Chords::Mode mode);
  // Moved, resized or shown: its frame in the window changed.
  void placed();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  int chipAt(QPointF point) const;
  void hoverTo(int chip);

  Chords::Key key_;
  int hover_ = -1;
  int pressed_ = -1;
  bool reduceMotion_ = false;
  double opacity_ = 1.0;
  QVariantAnimation* appear_;
};

}  // namespace quimbel
