#include "ui/panel_font.h"

#include <algorithm>
#include <cmath>

#include "export/video_frames.h"

namespace quimbel {

QFont panelFont(double points, bool tabularDigits) {
  // The video's font loader registers the face once per process; its size is
  // in the frame's pixels, which for the panel are points.
  QFont font = videoPanelFont(points);
  // The panel's sizes are screen points, which are Qt's logical pixels; a
  // size in typographic points would grow with the desktop's font DPI (by a
  // third at 96 DPI) and no longer fit the fixed keys and pads.
  font.setPixelSize(std::max(1, static_cast<int>(std::lround(points))));
  // Qt 6.4 has no switch for OpenType features, so the tabular-figures flag
  // cannot reach the face; the digits of Uncut Sans are close to even anyway.
  (void)tabularDigits;
  return font;
}

}  // namespace quimbel
