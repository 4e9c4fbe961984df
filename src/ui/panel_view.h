#pragma once

// The panel's content: the screen, the pads and knob, the foot row, the key
// picker and the resize edge, laid out for the tall (328 × 684) or the wide
// (548 × 320) panel. It draws plain values and reports what the user does;
// the app delegate wires it to the pad model.
//
// Thread contract: main thread only.

#include <QRect>
#include <QSize>
#include <QWidget>
#include <array>
#include <set>

namespace quimbel {

class FootRow;
class KeyPicker;
class KnobDial;
class PadButton;
class ResizeEdge;
class ScreenCanvas;

class PanelView : public QWidget {
  Q_OBJECT
 public:
  static constexpr QSize kTallSize{328, 684};
  static constexpr QSize kWideSize{548, 320};
  static constexpr int kPadFaces = 8;
  static constexpr int kChordPads = 7;
  static constexpr int kPadGap = 8;

  // Where everything sits in one layout, in the panel's points.
  struct Layout {
    QRect screen;
    QRect pads;  // the 3 × 3 grid of pads with the knob in its last cell
    int padSide;
    QRect foot;
    QRect edge;
    QRect grip;
    int pickerRightmost;  // the key picker follows the key button up to here
  };
  static Layout layout(bool wide);
  // Pad i of the grid, in the grid's own coordinates; the knob is "pad" 8.
  static QRect padCell(int i, int side);

  explicit PanelView(QWidget* parent = nullptr);

  // Lays the children out for one layout; the size follows.
  void showWide(bool wide);
  bool wide() const { return wide_; }

  FootRow& foot() { return *foot_; }
  KeyPicker& picker() { return *picker_; }
  ScreenCanvas& screen() { return *screen_; }
  PadButton& pad(int i) { return *pads_[static_cast<std::size_t>(i)]; }
  KnobDial& knob() { return *knob_; }
  ResizeEdge& edge() { return *edge_; }
  ResizeEdge& grip() { return *grip_; }

  // Opens or closes the key picker above the foot row, in line with the key
  // button.
  void showPicker(bool open);

  // --- What the pads show ---
  // Pads 0 … 6 held down (by keys, the mouse or loop playback).
  void showHeld(const std::set<int>& held);
  // The degree suffix ("7", or "9" with ninths) and the sevenths pad, which
  // turns light and counts as pressed while either is on.
  void showModifiers(bool sevenths, bool ninths);
  // The panel is the active window; otherwise the pads are grey.
  void showLive(bool live);
  void showReduceMotion(bool reduce);
  // Forgets the mouse presses in progress on the pads (PadButton::letGo).
  void letGoOfPads();

 signals:
  // The resize edge asks for the other layout.
  void resizeRequested(bool wide);
  // A pad was pressed or let go with the mouse (pad 7: the sevenths key).
  void padPressed(int pad);
  void padReleased(int pad);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void placeChildren();
  void showPadFaces();

  bool wide_ = false;
  bool sevenths_ = false;
  bool ninths_ = false;
  ScreenCanvas* screen_;
  std::array<PadButton*, kPadFaces> pads_{};
  KnobDial* knob_;
  FootRow* foot_;
  KeyPicker* picker_;
  ResizeEdge* edge_;
  ResizeEdge* grip_;
};

}  // namespace quimbel
