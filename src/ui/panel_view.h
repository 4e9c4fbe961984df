#pragma once

// The panel's content: the screen, the pads and knob, the foot row, the key
// picker and the resize edge, laid out for the tall (328 × 684) or the wide
// (548 × 320) panel. It draws plain values and reports what the user does;
// the app delegate wires it to the pad model.

#include <QSize>
#include <QWidget>

namespace quimbel {

class PanelView : public QWidget {
  Q_OBJECT
 public:
  static constexpr QSize kTallSize{328, 684};
  static constexpr QSize kWideSize{548, 320};

  explicit PanelView(QWidget* parent = nullptr);

  // Lays the children out for one layout; the size follows.
  void showWide(bool wide);
  bool wide() const { return wide_; }

 signals:
  // The resize edge asks for the other layout.
  void resizeRequested(bool wide);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool wide_ = false;
};

}  // namespace quimbel
