#include "app/panel_placement.h"

#include <algorithm>

namespace quimbel {

namespace {

// `value` moved into [low, high]; where the range is empty, `low` wins so that
// the panel's top or left edge stays on screen.
int clampTo(int value, int low, int high) { return std::max(low, std::min(value, high)); }

const ScreenArea* screenAt(const std::vector<ScreenArea>& screens, int x, int y) {
  for (const ScreenArea& screen : screens) {
    const ScreenRect& r = screen.full;
    if (x >= r.x && x < r.right() && y >= r.y && y < r.bottom()) return &screen;
  }
  return nullptr;
}

// The panel off the bar nearest to the click. A click on the bar itself lies
// outside the free area: its distance to that edge is negative, so that edge
// wins, and the panel keeps clear of the bar.
ScreenPoint besideClick(const ScreenRect& area, ScreenPoint click, int width, int height) {
  const int toTop = click.y - area.y;
  const int toBottom = area.bottom() - click.y;
  const int toLeft = click.x - area.x;
  const int toRight = area.right() - click.x;
  const int nearest = std::min({toTop, toBottom, toLeft, toRight});
  int x = clampTo(click.x - width / 2, area.x + kPanelScreenMargin,
                  area.right() - width - kPanelScreenMargin);
  int y = clampTo(click.y - height / 2, area.y + kPanelScreenMargin,
                  area.bottom() - height - kPanelScreenMargin);
  // At a corner the horizontal bar wins: it is the more common one.
  if (nearest == toTop) {
    y = std::max(click.y, area.y) + kPanelIconGap;
  } else if (nearest == toBottom) {
    y = std::min(click.y, area.bottom()) - kPanelIconGap - height;
  } else if (nearest == toLeft) {
    x = std::max(click.x, area.x) + kPanelIconGap;
  } else {
    x = std::min(click.x, area.right()) - kPanelIconGap - width;
  }
  return {clampTo(x, area.x, area.right() - width), clampTo(y, area.y, area.bottom() - height)};
}

}  // namespace

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

ScreenPoint placePanel(const std::vector<ScreenArea>& screens,
                       const std::optional<ScreenRect>& icon,
                       const std::optional<ScreenPoint>& click, int width, int height) {
  const bool hasIcon = icon && icon->width > 0 && icon->height > 0;
  const ScreenArea* screen = nullptr;
  if (hasIcon) screen = screenAt(screens, icon->x + icon->width / 2, icon->y + icon->height / 2);
  if (!screen && click) screen = screenAt(screens, click->x, click->y);
  if (!screen && !screens.empty()) screen = &screens.front();
  const ScreenRect area = screen ? screen->available : ScreenRect{0, 0, 1280, 800};
  if (!hasIcon && click) return besideClick(area, *click, width, height);
  return placePanel(area, hasIcon ? icon : std::nullopt, width, height);
}

ScreenPoint keepTopLeft(const ScreenRect& screen, const ScreenRect& panel, int newWidth,
                        int newHeight) {
  int x = std::min(panel.x, screen.right() - newWidth);
  int y = std::min(panel.y, screen.bottom() - newHeight);
  return {std::max(x, screen.x), std::max(y, screen.y)};
}

}  // namespace quimbel
