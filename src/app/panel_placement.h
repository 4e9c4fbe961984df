#pragma once

// Where the panel opens, as a pure function of the screens, the tray icon's
// rectangle or the point of the click on it, and the panel's size, all in
// screen pixels with the origin at the top left.

#include <optional>
#include <vector>

namespace quimbel {

struct ScreenRect {
  int x = 0, y = 0, width = 0, height = 0;
  int right() const { return x + width; }
  int bottom() const { return y + height; }
};

struct ScreenPoint {
  int x = 0, y = 0;
};

// One screen: all of it, and the part its bars leave free.
struct ScreenArea {
  ScreenRect full;
  ScreenRect available;
};

// Gap between the tray icon (or the bar it sits on) and the panel, and the
// least margin kept to the screen's edges across the bar.
inline constexpr int kPanelIconGap = 6;
inline constexpr int kPanelScreenMargin = 8;

// Under the icon, its left edges aligned and kept 8 px inside the screen;
// above it for a tray in the lower half of the screen; near the top-right
// corner when the tray gives no icon geometry (some Wayland trays).
ScreenPoint placePanel(const ScreenRect& screen, const std::optional<ScreenRect>& icon, int width,
                       int height);

// The same on one of several screens (the first is the primary one). Where the
// tray gives no icon geometry, as every StatusNotifierItem host does, the
// point of the click that opened the panel stands in for the icon: the
// nearest edge of its screen's free area is where the bar is, and the panel
// opens off that edge, centred on the point across it, never over the bar.
ScreenPoint placePanel(const std::vector<ScreenArea>& screens,
                       const std::optional<ScreenRect>& icon,
                       const std::optional<ScreenPoint>& click, int width, int height);

// The top-left corner of the panel after a layout switch: the top and left
// edges stay, moved in where the new size would leave the screen.
ScreenPoint keepTopLeft(const ScreenRect& screen, const ScreenRect& panel, int newWidth,
                        int newHeight);

}  // namespace quimbel
