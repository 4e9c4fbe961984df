#include "ui/panel_font.h"

#include <algorithm>
#include <cmath>

#include "look/font.h"

namespace quimbel {

QFont panelFont(double points, bool tabularDigits) {
  // The face is registered once per process, for the video as for the panel.
  QFont font = panelFace(points);
  // The panel's sizes are in device-independent pixels, which Qt calls pixels;
  // its points would come out a third larger on a 96 dpi desktop.
  font.setPixelSize(std::max(1, static_cast<int>(std::lround(points))));
  // Qt 6.4 has no switch for OpenType features, so the tabular-figures flag
  // cannot reach the face; the digits of Uncut Sans are close to even anyway.
  (void)tabularDigits;
  return font;
}

}  // namespace quimbel
