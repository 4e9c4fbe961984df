#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quimbel::ChordScreen {

// What the screen shows of one chord: its notes, its name and its colour
// (0x00RRGGBB).
struct Shown {
  std::vector<int> notes;
  std::string name;
  std::uint32_t color = 0;

  friend bool operator==(const Shown&, const Shown&) = default;
};

}  // namespace quimbel::ChordScreen
