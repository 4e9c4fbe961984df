#include "screen/compose.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string_view>

#include "music/chords.h"
#include "screen/pixel_font.h"

namespace quimbel::ChordScreen {
namespace {

constexpr std::uint32_t kScaleLit = 0xFF5526;
constexpr std::uint32_t kWhiteKey = 0x9A9A9A;
constexpr std::uint32_t kBlackKey = 0x3C3C3C;
constexpr std::uint32_t kKeyName = 0xA8A8A8;
constexpr std::uint32_t kLegendOn = 0xEDEDED;
constexpr std::uint32_t kLegendOff = 0x5E5E5E;
constexpr std::uint32_t kVolumeLit = 0xEDEDED;
constexpr std::uint32_t kVolumeUnlit = 0x333333;
constexpr std::uint32_t kRecordingFrame = 0x843426;
constexpr std::array<std::uint32_t, 4> kCountColors{0xFF5526, 0x9AD63B, 0xFFE42F, 0x2261D2};

// Heights of the ten volume bars, round(i × 22 / 9): they all stand on row 28.
constexpr std::array<int, 10> kBarHeights{0, 2, 5, 7, 10, 12, 15, 17, 20, 22};
constexpr int kBarFloorRow = 28;

constexpr std::array<int, 7> kWhitePitchClasses{0, 2, 4, 5, 7, 9, 11};
struct BlackKey {
  int pitchClass;
  int slot;  // the white key whose right edge it covers
};
constexpr std::array<BlackKey, 5> kBlackKeys{{{1, 0}, {3, 1}, {6, 3}, {8, 4}, {10, 5}}};

// The recording flash lasts this long and starts at this share of red.
constexpr double kFlashMs = 400.0;
constexpr double kFlashStrength = 0.18;

// Text can be far wider than the grid; positions are 64-bit so that nothing
// overflows before the clipping skips them.
using Pos = std::int64_t;

Pos floorHalf(Pos value) { return value >= 0 ? value / 2 : -((-value + 1) / 2); }

class Canvas {
 public:
  explicit Canvas(Cells& cells) : cells_(cells) {}

  void set(Pos row, Pos column, std::uint32_t color) {
    if (row < 0 || row >= kSide || column < 0 || column >= kSide) return;
    cells_[static_cast<std::size_t>(row * kSide + column)] = color;
  }

  void fill(Pos top, Pos bottom, Pos left, Pos right, std::uint32_t color) {
    for (Pos row = std::max<Pos>(top, 0); row <= std::min<Pos>(bottom, kSide - 1); ++row) {
      for (Pos column = std::max<Pos>(left, 0); column <= std::min<Pos>(right, kSide - 1);
           ++column) {
        set(row, column, color);
      }
    }
  }

  // Large-font text centred in the grid's width, each glyph cell an
  // s × s block; whatever falls outside the grid is skipped.
  void text(std::string_view text, Pos top, Pos scale, std::uint32_t color) {
    Pos width = -1;  // the gaps between characters: one fewer than characters
    for (std::size_t pos = 0; pos < text.size();) {
      width += largeGlyph(nextCharacter(text, pos)).width() + 1;
    }
    Pos x = floorHalf(kSide - width * scale);
    for (std::size_t pos = 0; pos < text.size() && x < kSide;) {
      const Glyph& glyph = largeGlyph(nextCharacter(text, pos));
      for (int r = 0; r < glyph.height(); ++r) {
        for (int c = 0; c < glyph.width(); ++c) {
          if (!glyph.lit(r, c)) continue;
          const Pos row = top + r * scale;
          const Pos column = x + c * scale;
          fill(row, row + scale - 1, column, column + scale - 1, color);
        }
      }
      x += (glyph.width() + 1) * scale;
    }
  }

  void smallGlyph(std::string_view character, Pos top, Pos left, std::uint32_t color) {
    const Font& font = smallFont();
    auto found = font.find(character);
    if (found == font.end()) return;
    const Glyph& glyph = found->second;
    for (int r = 0; r < glyph.height(); ++r) {
      for (int c = 0; c < glyph.width(); ++c) {
        if (glyph.lit(r, c)) set(top + r, left + c, color);
      }
    }
  }

 private:
  Cells& cells_;
};

// Decimal text of a number into a caller's buffer: no allocation.
struct Decimal {
  char digits[24];
  std::size_t length;

  explicit Decimal(std::int64_t value) {
    length =
        static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, value).ptr - digits);
  }
  std::string_view view() const { return {digits, length}; }
};

void drawLegend(Canvas& canvas, const Legend& legend) {
  struct Line {
    bool on;
    std::string_view key;
    std::string_view label;
  };
  const std::array<Line, 3> lines{{
      {legend.seventh, "8", "7TH"},
      {legend.ninth, "9", "9TH"},
      {legend.strum, "0", "STRUM"},
  }};
  for (Pos i = 0; i < 3; ++i) {
    const Line& line = lines[static_cast<std::size_t>(i)];
    const std::uint32_t color = line.on ? kLegendOn : kLegendOff;
    const Pos top = 10 * i + 3;
    canvas.fill(top, top, 1, 7, color);
    canvas.fill(top + 6, top + 6, 1, 7, color);
    canvas.fill(top + 1, top + 5, 1, 1, color);
    canvas.fill(top + 1, top + 5, 7, 7, color);
    canvas.smallGlyph(line.key, top + 1, 3, color);
    for (std::size_t m = 0; m < line.label.size(); ++m) {
      canvas.smallGlyph(line.label.substr(m, 1), top + 1, 12 + 4 * static_cast<Pos>(m), color);
    }
  }
}

void drawVolume(Canvas& canvas, double volume) {
  const double level = std::round(volume * 10.0);  // halves away from zero
  for (Pos i = 0; i < 10; ++i) {
    const Pos height = kBarHeights[static_cast<std::size_t>(i)];
    const std::uint32_t color = static_cast<double>(i) < level ? kVolumeLit : kVolumeUnlit;
    canvas.fill(25 - height, kBarFloorRow, 3 * i + 1, 3 * i + 2, color);
  }
}

void drawCount(Canvas& canvas, int countN) {
  const std::int64_t n = std::max<std::int64_t>(countN, 1);
  canvas.text(Decimal(n).view(), 2, 4, kCountColors[static_cast<std::size_t>((n - 1) % 4)]);
}

void drawKnob(Canvas& canvas, int knob) {
  const Decimal step(static_cast<std::int64_t>(knob) + 6);
  const std::uint32_t color = kKnobPalette[static_cast<std::size_t>(knobPaletteIndex(knob))].first;
  if (step.length == 1) {
    canvas.text(step.view(), 2, 4, color);
  } else {
    canvas.text(step.view(), 5, 3, color);
  }
}

void drawSheet(Canvas& canvas, const std::vector<Shown>& sheet) {
  // A chord held over several hits in a row is one line; the same chord
  // coming back later is a line of its own.
  const std::string* previous = nullptr;
  Pos line = 0;
  for (const Shown& entry : sheet) {
    if (previous != nullptr && *previous == entry.name) continue;
    previous = &entry.name;
    canvas.text(entry.name, 8 * line + 1, 1, entry.color);
    if (++line == 4) break;
  }
}

void drawKeyboard(Canvas& canvas, const Input& input) {
  std::array<bool, 12> lit{};
  std::uint32_t litColor = kScaleLit;
  if (input.shown) {
    for (int note : input.shown->notes) lit[static_cast<std::size_t>((note % 12 + 12) % 12)] = true;
    litColor = input.shown->color;
  } else {
    for (int degree = 0; degree < 7; ++degree) {
      const int pitchClass = (Chords::scalePitch(degree, input.key.mode) + input.key.tonic) % 12;
      lit[static_cast<std::size_t>((pitchClass + 12) % 12)] = true;
    }
  }
  for (Pos k = 0; k < 7; ++k) {
    const bool on = lit[static_cast<std::size_t>(kWhitePitchClasses[static_cast<std::size_t>(k)])];
    canvas.fill(14, 29, 4 * k + 2, 4 * k + 4, on ? litColor : kWhiteKey);
  }
  for (const BlackKey& key : kBlackKeys) {
    const bool on = lit[static_cast<std::size_t>(key.pitchClass)];
    canvas.fill(14, 23, 4 * key.slot + 4, 4 * key.slot + 6, on ? litColor : kBlackKey);
  }

  if (input.shown) {
    canvas.text(input.shown->name, 3, 1, input.shown->color);
    return;
  }
  // The key's name, as the music model spells it, built without allocating.
  const std::string_view tonic = Chords::noteName(input.key.tonic, Chords::usesFlats(input.key));
  char name[8] = {};
  std::size_t length = std::min(tonic.size(), sizeof name - 1);
  std::copy_n(tonic.data(), length, name);
  if (input.key.mode == Chords::Mode::minor) name[length++] = 'm';
  canvas.text(std::string_view(name, length), 3, 1, kKeyName);
}

void overlayRecording(Cells& cells, Canvas& canvas, double sinceStartMs) {
  if (sinceStartMs < kFlashMs) {
    const double f = kFlashStrength * (1.0 - sinceStartMs / kFlashMs);
    // Before the recording began (a clock that is behind) the formula would
    // pass 255; a channel never spills into its neighbour.
    auto channel = [f](double base, double span) {
      return static_cast<std::uint32_t>(std::clamp(std::round(base + span * f), 0.0, 255.0));
    };
    const std::uint32_t flash = channel(31, 224) << 16 | channel(31, 46) << 8 | channel(31, 15);
    for (Cell& cell : cells) {
      if (!cell) cell = flash;
    }
  }
  canvas.fill(0, 0, 0, kSide - 1, kRecordingFrame);
  canvas.fill(kSide - 1, kSide - 1, 0, kSide - 1, kRecordingFrame);
  canvas.fill(0, kSide - 1, 0, 0, kRecordingFrame);
  canvas.fill(0, kSide - 1, kSide - 1, kSide - 1, kRecordingFrame);
}

}  // namespace

int knobPaletteIndex(int knob) {
  return static_cast<int>(((static_cast<std::int64_t>(knob) + 3) % 7 + 7) % 7);
}

Cells compose(const Input& input, double now) {
  Cells cells{};
  Canvas canvas(cells);
  if (input.legend) {
    drawLegend(canvas, *input.legend);
  } else if (input.volume) {
    drawVolume(canvas, *input.volume);
  } else if (input.state == PadState::count) {
    drawCount(canvas, input.countN);
  } else if (input.knob) {
    drawKnob(canvas, *input.knob);
  } else if (input.state == PadState::done) {
    drawSheet(canvas, input.sheet);
  } else {
    drawKeyboard(canvas, input);
  }
  if (input.state == PadState::rec) overlayRecording(cells, canvas, now - input.recAt);
  return cells;
}

}  // namespace quimbel::ChordScreen
