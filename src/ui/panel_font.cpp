#include "ui/panel_font.h"

#include "export/video_frames.h"

namespace quimbel {

QFont panelFont(double points, bool tabularDigits) {
  // The video's font loader registers the face once per process; its size is
  // in the frame's pixels, which for the panel are points.
  QFont font = videoPanelFont(points);
  font.setPointSizeF(points);
  // Qt 6.4 has no switch for OpenType features, so the tabular-figures flag
  // cannot reach the face; the digits of Uncut Sans are close to even anyway.
  (void)tabularDigits;
  return font;
}

}  // namespace quimbel
