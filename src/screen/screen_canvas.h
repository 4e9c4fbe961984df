#pragma once

// The panel's pixel screen: 60 times a second, while the panel is on screen,
// it takes a snapshot from its source, composes the 32 × 32 cells and, when
// any cell changed, pushes them as one 32 × 32 picture that painting scales up
// with nearest-neighbour filtering. Dark 1-point gaps drawn over it make the
// cells read as square lamps. While the panel is not the active window the
// whole screen is grey.
//
// Thread contract: main thread only; the frame timer is a QTimer on the main
// loop and runs only while the canvas is told that the panel is visible.

#include <QImage>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>

#include "look/palette.h"
#include "screen/compose.h"
#include "screen/input.h"

class QPainter;
class QTimer;

namespace quimbel {

class ScreenCanvas : public QWidget {
  Q_OBJECT
 public:
  // What the screen shows at one moment: the snapshot, the time it was taken
  // for (ms of system uptime) and whether the panel is the active window.
  struct Frame {
    ChordScreen::Input input;
    double nowMs = 0.0;
    bool live = true;
  };
  using Source = std::function<Frame()>;

  // The view's own background and the lines between the cells.
  static constexpr std::uint32_t kGapColor = kScreenGapColor;
  // Qt timers count whole milliseconds; 16 ms keeps pace with a 60 Hz display.
  static constexpr int kFrameIntervalMs = 16;

  explicit ScreenCanvas(QWidget* parent = nullptr);

  // Without a source nothing is drawn.
  void setSource(Source source);

  // The panel came on screen (frames run, one drawn at once) or went away
  // (the timer stops: a hidden panel costs no composition). Repeating a value
  // changes nothing.
  void showVisible(bool visible);
  bool animating() const { return timer_ != nullptr; }

  // One frame: compose, compare the final colours with the ones last pushed
  // and push when any cell changed. True when a picture was pushed.
  bool drawFrame();

  // Rounds the screen's corners by painting what lies outside the rounded
  // outline in the colour around the screen, as the video does.
  void showCorners(double radius, std::uint32_t outside);

  // The picture last pushed, one pixel per cell (null before the first).
  const QImage& picture() const { return picture_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void paintCells(QPainter& painter);

  Source source_;
  QTimer* timer_ = nullptr;
  // The colour last pushed for each cell; no real colour has the top byte
  // set, so the first frame always differs.
  std::array<std::uint32_t, ChordScreen::kCellCount> shown_;
  QImage picture_;
  double cornerRadius_ = 0.0;
  std::uint32_t outside_ = kGapColor;
};

}  // namespace quimbel
