#include "app/panel_placement.h"

#include <algorithm>

namespace quimbel {

ScreenPoint placePanel(const ScreenRect& screen, const std::optional<ScreenRect>& icon, int width,
                       int height) {
  const int leftLimit = screen.x + kPanelScreenMargin;
  const int rightLimit = screen.right() - width - kPanelScreenMargin;
  if (!icon || icon->width <= 0 || icon->height <= 0) {
    return {std::max(rightLimit, leftLimit), screen.y + kPanelScreenMargin};
  }
  int x = std::min(icon->x, rightLimit);
  if (x <= leftLimit) x = leftLimit;
  const bool trayBelow = icon->y + icon->height / 2 > screen.y + screen.height / 2;
  int y = trayBelow ? icon->y - kPanelIconGap - height : icon->bottom() + kPanelIconGap;
  // A panel taller than the room beside the tray still shows its top.
  y = std::max(screen.y, std::min(y, screen.bottom() - height));
  return {x, y};
}

ScreenPoint keepTopLeft(const ScreenRect& screen, const ScreenRect& panel, int newWidth,
                        int newHeight) {
  int x = std::min(panel.x, screen.right() - newWidth);
  int y = std::min(panel.y, screen.bottom() - newHeight);
  return {std::max(x, screen.x), std::max(y, screen.y)};
}

}  // namespace quimbel
