#pragma once

// The screen's two pixel fonts. A glyph is a list of equally long rows, top
// row first, where "#" marks a lit cell; each font maps a one-character string
// (UTF-8, so "ø" is two bytes) to its glyph and is built once, on first use.

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quimbel::ChordScreen {

struct Glyph {
  std::vector<std::string> rows;

  int width() const { return rows.empty() ? 0 : static_cast<int>(rows.front().size()); }
  int height() const { return static_cast<int>(rows.size()); }
  bool lit(int row, int column) const { return rows[row][column] == '#'; }
};

using Font = std::map<std::string, Glyph, std::less<>>;

// 3 × 5: the legend's keycaps and labels (0 7 8 9 H M R S T U).
const Font& smallFont();

// 5 × 7: chord names, the key name and numbers.
const Font& largeFont();

// The large-font glyph a character is drawn with; a character the font lacks
// is drawn as the number sign.
const Glyph& largeGlyph(std::string_view character);

// The next character of UTF-8 text starting at byte `pos`, advancing `pos`
// past it. A byte that does not start a well-formed sequence counts as one
// character of its own, so any text can be measured and drawn.
std::string_view nextCharacter(std::string_view text, std::size_t& pos);

}  // namespace quimbel::ChordScreen
