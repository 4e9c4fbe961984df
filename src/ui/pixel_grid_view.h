#pragma once

// A 16 × 16 grid of square cells with 1-point gaps, animated from a function
// of the time. It draws 60 frames a second only while it is visible, and a
// frame repaints only the cells whose colour changed.

#include <QTimer>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>

#include "screen/about_face.h"

namespace quimbel {

class PixelGridView : public QWidget {
  Q_OBJECT
 public:
  // The cells at a time in milliseconds of uptime.
  using CellsAt = std::function<AboutFace::Cells(double nowMs)>;
  // Milliseconds of uptime; the steady clock unless a test hands in its own.
  using Clock = std::function<double()>;

  explicit PixelGridView(CellsAt cellsAt, QWidget* parent = nullptr, Clock clock = {});

  // A new animation: every cell is taken from it at the next frame.
  void setCellsAt(CellsAt cellsAt);
  // Takes the cells for now and repaints those that changed.
  void drawFrame();

  // Whether the frame timer runs (only while the grid is visible).
  bool animating() const { return timer_.isActive(); }
  // The colour 0x00RRGGBB a cell was last given.
  std::uint32_t shown(int index) const { return shown_[static_cast<std::size_t>(index)]; }

  static double uptimeMs();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  QRectF cellRect(int index) const;

  CellsAt cellsAt_;
  Clock clock_;
  std::array<std::uint32_t, AboutFace::kCellCount> shown_{};
  QTimer timer_;
};

}  // namespace quimbel
