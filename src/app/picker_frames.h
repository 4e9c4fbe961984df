#pragma once

// Where the key picker's areas sit in the panel window: the open picker and
// the two foot-row keys that open it ("picker", "key", "bpm"). A click in
// none of them closes the picker. View geometry, in window points, reported
// by the widgets whenever they move; plain C++, main thread only.

#include <map>
#include <string>

namespace quimbel {

class PickerFrames {
 public:
  struct Rect {
    double x = 0.0, y = 0.0, width = 0.0, height = 0.0;
  };
  struct Point {
    double x = 0.0, y = 0.0;
  };

  void setFrame(const std::string& name, Rect frame);
  // True when a frame holds the point, its edges included.
  bool contains(Point point) const;

 private:
  std::map<std::string, Rect> frames_;
};

}  // namespace quimbel
