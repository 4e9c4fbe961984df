#pragma once

#include <compare>

namespace quimbel::Chords {

enum class Mode { major, minor };

// A key: the tonic's pitch class (0 = C … 11 = B) and its mode.
struct Key {
  int tonic = 0;
  Mode mode = Mode::major;

  friend bool operator==(const Key&, const Key&) = default;
};

}  // namespace quimbel::Chords
