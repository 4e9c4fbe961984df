#pragma once

// Where the panel opens, as a pure function of the screen's free area, the
// tray icon's rectangle and the panel's size, all in screen pixels with the
// origin at the top left.

#include <optional>

namespace quimbel {

struct ScreenRect {
  int x = 0, y = 0, width = 0, height = 0;
  int right() const { return x + width; }
  int bottom() const { return y + height; }
};

struct ScreenPoint {
  int x = 0, y = 0;
};

// Gap between the tray icon and the panel, and the least margin kept to the
// screen's left and right edges.
inline constexpr int kPanelIconGap = 6;
inline constexpr int kPanelScreenMargin = 8;

// Under the icon, its left edges aligned and kept 8 px inside the screen;
// above it for a tray in the lower half of the screen; near the top-right
// corner when the tray gives no icon geometry (some Wayland trays).
ScreenPoint placePanel(const ScreenRect& screen, const std::optional<ScreenRect>& icon, int width,
                       int height);

// The top-left corner of the panel after a layout switch: the top and left
// edges stay, moved in where the new size would leave the screen.
ScreenPoint keepTopLeft(const ScreenRect& screen, const ScreenRect& panel, int newWidth,
                        int newHeight);

}  // namespace quimbel
