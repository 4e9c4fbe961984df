#pragma once

// One pad of the panel: a coloured square with its degree and its key. Pads
// 0 … 6 play chords; pad 7 is the on-screen sevenths key. The pad draws what
// it is told (colours, labels, pressed, grey, glow) and reports the mouse's
// press and release; it knows nothing of chords.
//
// Thread contract: main thread only.

#include <QString>
#include <QWidget>
#include <cstdint>

class QVariantAnimation;

namespace quimbel {

class PadButton : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kSeventhsPad = 7;
  static constexpr double kPressedScale = 0.97;
  static constexpr int kGlowInMs = 60;
  static constexpr int kGlowOutMs = 1600;

  explicit PadButton(int pad, QWidget* parent = nullptr);

  int pad() const { return pad_; }

  // `big` is the degree ("IV7"), `small` the computer key ("4"); colours are
  // 0x00RRGGBB.
  void showFace(std::uint32_t fill, std::uint32_t type, const QString& big, const QString& small);
  // Chord pads light up while pressed and fade after; the sevenths pad only
  // shows its colours.
  void showPressed(bool pressed);
  // The panel is not the active window: the pad is drawn in grey.
  void showGrey(bool grey);
  // With reduced motion the glow jumps instead of fading.
  void showReduceMotion(bool reduce);
  // A chord of this pad sounded without the pad held (MIDI, playback): the
  // glow jumps to full and fades.
  void flash();
  // The mouse press in progress will never see its release (the panel hid or
  // lost the activation): the next press counts as a press again.
  void letGo() { mouseDown_ = false; }

  bool pressed() const { return pressed_; }
  double glow() const { return glow_; }
  QString big() const { return big_; }
  std::uint32_t fill() const { return fill_; }

 signals:
  void padPressed(int pad);
  void padReleased(int pad);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void glowTo(double target, int durationMs, bool easeOut);
  void updateAccessibleName();

  int pad_;
  std::uint32_t fill_ = 0x808080;
  std::uint32_t type_ = 0xFFFFFF;
  QString big_;
  QString small_;
  bool pressed_ = false;
  bool grey_ = false;
  bool reduceMotion_ = false;
  bool mouseDown_ = false;
  double glow_ = 0.0;
  QVariantAnimation* glowAnimation_;
};

}  // namespace quimbel
