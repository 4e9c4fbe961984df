#pragma once

// The panel's content: the screen, the pads and knob, the foot row, the key
// picker and the resize edge, laid out for the tall (328 × 684) or the wide
// (548 × 320) panel. It draws plain values and reports what the user does;
// the app delegate wires it to the pad model.

#include <QSize>
#include <QWidget>

namespace quimbel {

class FootRow;
class KeyPicker;

class PanelView : public QWidget {
  Q_OBJECT
 public:
  static constexpr QSize kTallSize{328, 684};
  static constexpr QSize kWideSize{548, 320};

  explicit PanelView(QWidget* parent = nullptr);

  // Lays the children out for one layout; the size follows.
  void showWide(bool wide);
  bool wide() const { return wide_; }

  FootRow& foot() { return *foot_; }
  KeyPicker& picker() { return *picker_; }
  // Opens or closes the key picker above the foot row, in line with the key
  // button.
  void showPicker(bool open);

 signals:
  // The resize edge asks for the other layout.
  void resizeRequested(bool wide);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void placeChildren();

  bool wide_ = false;
  FootRow* foot_;
  KeyPicker* picker_;
};

}  // namespace quimbel
