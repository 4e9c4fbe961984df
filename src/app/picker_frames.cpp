#include "app/picker_frames.h"

namespace quimbel {

void PickerFrames::setFrame(const std::string& name, Rect frame) { frames_[name] = frame; }

bool PickerFrames::contains(Point point) const {
  for (const char* name : {"picker", "key", "bpm"}) {
    auto found = frames_.find(name);
    if (found == frames_.end()) continue;
    const Rect& r = found->second;
    if (point.x >= r.x && point.x <= r.x + r.width && point.y >= r.y && point.y <= r.y + r.height) {
      return true;
    }
  }
  return false;
}

}  // namespace quimbel
