#include "music/chords.h"

#include <algorithm>
#include <array>

namespace quimbel::Chords {

namespace {

constexpr std::array<std::array<int, 7>, 2> kScales = {{
    {0, 2, 4, 5, 7, 9, 11},  // major
    {0, 2, 3, 5, 7, 8, 10},  // natural minor
}};

constexpr std::array<std::string_view, 12> kSharpNames = {"C",  "C#", "D",  "D#", "E",  "F",
                                                          "F#", "G",  "G#", "A",  "A#", "B"};
constexpr std::array<std::string_view, 12> kFlatNames = {"C",  "Db", "D",  "Eb", "E",  "F",
                                                         "Gb", "G",  "Ab", "A",  "Bb", "B"};

constexpr std::array<int, 4> kFlatMajorTonics = {5, 10, 3, 8};
constexpr std::array<int, 6> kFlatMinorTonics = {2, 7, 0, 5, 10, 3};

constexpr std::array<std::uint32_t, kPadFaces> kPadColors = {
    0xFF5526, 0xF9ECCF, 0xF9ECCF, 0xFF5526, 0xFF5526, 0xFF5526, 0xFFE42F, 0xF4B1C4};
constexpr std::array<std::uint32_t, kPadFaces> kPadLabelColors = {
    0xFFF1E8, 0xD23A22, 0xD23A22, 0xFFF1E8, 0xFFF1E8, 0xFFF1E8, 0xD23A22, 0xD23A22};
constexpr std::array<std::string_view, kPadFaces> kPadLabels = {"1", "2", "3", "4",
                                                                "5", "6", "7", "8"};

// Modulo that never goes negative, so a stray tonic or degree cannot index
// outside a table.
int wrap(int value, int modulus) {
  int r = value % modulus;
  return r < 0 ? r + modulus : r;
}

int floorDiv(int value, int divisor) { return (value - wrap(value, divisor)) / divisor; }

const std::array<int, 7>& scaleOf(Mode mode) { return kScales[mode == Mode::minor ? 1 : 0]; }

}  // namespace

std::string_view modeName(Mode mode) { return mode == Mode::minor ? "minor" : "major"; }

std::optional<Mode> modeFromName(std::string_view name) {
  if (name == "major") return Mode::major;
  if (name == "minor") return Mode::minor;
  return std::nullopt;
}

int scalePitch(int degree, Mode mode) {
  return scaleOf(mode)[wrap(degree, 7)] + 12 * floorDiv(degree, 7);
}

int tonicNote(int tonic) { return 45 + wrap(tonic + 3, 12); }

bool usesFlats(const Key& key) {
  int tonic = wrap(key.tonic, 12);
  if (key.mode == Mode::major) {
    return std::ranges::find(kFlatMajorTonics, tonic) != kFlatMajorTonics.end();
  }
  return std::ranges::find(kFlatMinorTonics, tonic) != kFlatMinorTonics.end();
}

std::string_view noteName(int pitchClass, bool flats) {
  return (flats ? kFlatNames : kSharpNames)[wrap(pitchClass, 12)];
}

std::string keyName(const Key& key) {
  std::string name(noteName(key.tonic, usesFlats(key)));
  if (key.mode == Mode::minor) name += 'm';
  return name;
}

std::optional<Key> keyFromName(std::string_view name) {
  static constexpr std::array<int, 7> kLetterPitch = {9, 11, 0, 2, 4, 5, 7};  // A … G
  if (name.empty() || name.front() < 'A' || name.front() > 'G') return std::nullopt;
  Key key;
  int pitch = kLetterPitch[name.front() - 'A'];
  name.remove_prefix(1);
  if (!name.empty() && (name.front() == '#' || name.front() == 'b')) {
    pitch += name.front() == '#' ? 1 : -1;
    name.remove_prefix(1);
  }
  if (name == "m") {
    key.mode = Mode::minor;
  } else if (!name.empty()) {
    return std::nullopt;
  }
  key.tonic = wrap(pitch, 12);
  return key;
}

std::set<int> keyPitchClasses(const Key& key) {
  std::set<int> classes;
  for (int step : scaleOf(key.mode)) classes.insert(wrap(step + key.tonic, 12));
  return classes;
}

std::string chordName(int degree, const Key& key, std::span<const int> notes) {
  int rootClass = wrap(tonicNote(key.tonic) + scalePitch(degree, key.mode), 12);
  std::array<bool, 12> has{};
  for (int note : notes) has[wrap(note - rootClass, 12)] = true;

  bool minor = has[3] && !has[4];
  bool diminished = minor && has[6] && !has[7];
  bool suspended = !has[3] && !has[4];

  // Views of literals: assigning literals to std::string here trips a false
  // -Wrestrict inside GCC 12's library at -O3.
  std::string_view quality, seventh, added;
  if (diminished) {
    quality = has[10] ? "\u00f8" : "dim";
  } else {
    if (minor) quality = "m";
    if (suspended && (has[5] || has[2])) quality = "sus";
    if (has[10]) {
      seventh = "7";
    } else if (has[11]) {
      seventh = "M7";
    }
  }
  // A minor ninth (interval 1) is deliberately left unnamed.
  if (has[2] && !suspended) {
    if (seventh == "7") {
      seventh = "9";
    } else if (seventh == "M7") {
      seventh = "M9";
    } else {
      added = "add9";
    }
  }
  if (has[9] && !has[10] && !has[11] && !diminished) seventh = "6";

  std::string name(noteName(rootClass, usesFlats(key)));
  name += quality;
  name += seventh;
  name += added;
  return name;
}

std::uint32_t padColor(int pad) { return kPadColors[wrap(pad, kPadFaces)]; }
std::uint32_t padLabelColor(int pad) { return kPadLabelColors[wrap(pad, kPadFaces)]; }
std::string_view padLabel(int pad) { return kPadLabels[wrap(pad, kPadFaces)]; }

}  // namespace quimbel::Chords
