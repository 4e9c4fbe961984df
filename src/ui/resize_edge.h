#pragma once

// The resize edge: a strip along the panel's right side (it shows a bar while
// the pointer is over it) and a grip at the bottom-right corner. Dragging
// either sideways asks for the other layout once the would-be width passes a
// threshold: below 430 points the wide panel asks to become tall, above 450
// the tall one asks to become wide. The 20-point band between keeps the
// layout from flickering back and forth.
//
// Thread contract: main thread only.

#include <QWidget>
#include <optional>

namespace quimbel {

class ResizeEdge : public QWidget {
  Q_OBJECT
 public:
  enum class Kind { strip, grip };

  static constexpr double kWideWidth = 548.0;
  static constexpr double kTallWidth = 328.0;
  static constexpr double kNarrowBelow = 430.0;
  static constexpr double kWidenAbove = 450.0;

  explicit ResizeEdge(Kind kind, QWidget* parent = nullptr);

  // The panel's current layout, which the drag starts from.
  void showWide(bool wide);
  bool hovered() const { return hover_; }

 signals:
  void resizeRequested(bool wide);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  Kind kind_;
  bool wide_ = false;
  bool hover_ = false;
  // Where the drag began (global x) and the panel width it began from.
  std::optional<std::pair<double, double>> drag_;
};

}  // namespace quimbel
