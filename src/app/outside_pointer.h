#pragma once

// The pointer as the whole desktop sees it, also over other programs'
// windows: whether the left or right button is held and where the pointer
// is. Read from the X server; absent where it cannot be read (Wayland, the
// offscreen platform).

#include <QPoint>
#include <optional>

namespace quimbel {

struct OutsidePointer {
  bool left = false;
  bool right = false;
  QPoint position;
};

std::optional<OutsidePointer> readOutsidePointer();

}  // namespace quimbel
