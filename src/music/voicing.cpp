#include "music/voicing.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "music/chords.h"

namespace quimbel {

namespace {

// Voice leading tries this many rotations either way of the stacked chord.
constexpr int kSearchRotations = 8;
// Penalty per semitone of span, so a close chord beats a spread one at the
// same mean.
constexpr double kSpreadWeight = 0.05;
// A later candidate must win by more than this; ties go to the lowest rotation.
constexpr double kScoreMargin = 1e-9;
// The bass only joins when it stands more than this many semitones clear.
constexpr int kBassClearance = 4;
constexpr float kLoudnessReference = 0.7f;

double mean(std::span<const int> notes) {
  if (notes.empty()) return 0.0;
  return static_cast<double>(std::accumulate(notes.begin(), notes.end(), 0LL)) /
         static_cast<double>(notes.size());
}

// A pad chord's few notes put in order in place (the library's sorts look
// past a six-note array in code they never reach, which the compiler flags).
void sortInPlace(std::span<int> notes) noexcept {
  for (std::size_t i = 1; i < notes.size(); ++i)
    for (std::size_t j = i; j > 0 && notes[j - 1] > notes[j]; --j)
      std::swap(notes[j - 1], notes[j]);
}

// rotate on the list itself: the pad chords turn without the heap.
void rotateInPlace(std::span<int> notes, int k) noexcept {
  if (notes.empty()) return;
  for (int i = 0; i < k; ++i) {
    const int x = notes.front();
    if (x + 12 > kRotationCeiling) break;
    std::rotate(notes.begin(), notes.begin() + 1, notes.end());
    notes.back() = x + 12;
  }
  for (int i = 0; i < -static_cast<long long>(k); ++i) {
    const int x = notes.back();
    if (x - 12 < kRotationFloor) break;
    std::rotate(notes.begin(), notes.end() - 1, notes.end());
    notes.front() = x - 12;
  }
}

}  // namespace

std::vector<int> rotate(std::span<const int> notes, int k) {
  std::vector<int> out(notes.begin(), notes.end());
  rotateInPlace(out, k);
  return out;
}

ChordNoteArray padChordNotes(int degree, const Chords::Key& key, int inversion, bool seventh,
                             bool ninth, bool bass) noexcept {
  using Chords::scalePitch;
  const int base = Chords::tonicNote(key.tonic);
  ChordNoteArray stacked;
  auto add = [&stacked, base](int pitch) { stacked.notes[stacked.count++] = base + pitch; };
  add(scalePitch(degree, key.mode));
  add(scalePitch(degree + 2, key.mode));
  add(scalePitch(degree + 4, key.mode));
  if (seventh || ninth) add(scalePitch(degree + 6, key.mode));
  if (ninth) add(scalePitch(degree + 1, key.mode) + 12);
  sortInPlace(std::span<int>(stacked.notes.data(), stacked.count));

  ChordNoteArray result = stacked;
  const std::span<int> chord(result.notes.data(), result.count);
  if (degree == 0) {
    rotateInPlace(chord, inversion);
  } else {
    // Lead every chord towards the tonic triad at the same inversion.
    std::array<int, 3> tonicTriad = {base, base + scalePitch(2, key.mode),
                                     base + scalePitch(4, key.mode)};
    rotateInPlace(tonicTriad, inversion);
    const double target = mean(tonicTriad);
    double best = 1e9;
    for (int c = -kSearchRotations; c <= kSearchRotations; ++c) {
      ChordNoteArray candidate = stacked;
      const std::span<int> turned(candidate.notes.data(), candidate.count);
      rotateInPlace(turned, c);
      // The span is read from the list as it stands, not its extremes.
      const double score =
          std::abs(mean(turned) - target) + kSpreadWeight * (turned.back() - turned.front());
      if (score < best - kScoreMargin) {
        best = score;
        result = candidate;
      }
    }
  }

  if (bass && result.count > 0) {
    int pc = scalePitch(degree, key.mode) % 12;
    if (pc < 0) pc += 12;
    if (pc > 6) pc -= 12;
    const int bassNote = base - 12 + pc;
    if (bassNote < result.notes[0] - kBassClearance) {
      std::copy_backward(result.notes.begin(), result.notes.begin() + result.count,
                         result.notes.begin() + result.count + 1);
      result.notes[0] = bassNote;
      ++result.count;
    }
  }
  return result;
}

ChordNoteArray ascending(ChordNoteArray chord) noexcept {
  sortInPlace(std::span<int>(chord.notes.data(), chord.count));
  return chord;
}

std::vector<int> chordNotes(int degree, const Chords::Key& key, int inversion, bool seventh,
                            bool ninth, bool bass) {
  const ChordNoteArray notes = padChordNotes(degree, key, inversion, seventh, ninth, bass);
  return {notes.notes.begin(), notes.notes.begin() + static_cast<std::ptrdiff_t>(notes.count)};
}

Voicing plainVoicing(std::span<const int> notes) {
  Voicing v;
  v.notes.assign(notes.begin(), notes.end());
  v.offsets.assign(notes.size(), 0.0);
  return v;
}

double strumSpanSeconds(double bpm) {
  // Written so that a NaN tempo also falls back to 1.
  if (!(bpm >= 1.0)) bpm = 1.0;
  return 0.5 * 60.0 / bpm;
}

Voicing strumVoicing(std::span<const int> notes, double bpm) {
  Voicing v;
  v.notes.assign(notes.begin(), notes.end());
  std::ranges::sort(v.notes);
  const std::size_t n = v.notes.size();
  if (n == 0) return v;
  v.offsets.reserve(n);
  for (std::size_t i = 0; i < n; ++i) v.offsets.push_back(strumOffset(i, n, bpm));
  return v;
}

double strumOffset(std::size_t index, std::size_t count, double bpm) noexcept {
  const double step =
      strumSpanSeconds(bpm) / static_cast<double>(std::max<std::size_t>(count, 2) - 1);
  return static_cast<double>(index) * step;
}

float chordScale(std::size_t noteCount) {
  return kLoudnessReference / std::sqrt(std::max(static_cast<float>(noteCount) / 3.0f, 1.0f));
}

double noteLength(const Voicing& voicing, std::size_t index, std::optional<double> hitLength) {
  if (voicing.durations && index < voicing.durations->size()) return (*voicing.durations)[index];
  if (hitLength) {
    const double offset = index < voicing.offsets.size() ? voicing.offsets[index] : 0.0;
    return std::max(*hitLength - offset, kMinNoteSeconds);
  }
  return kDefaultNoteSeconds;
}

}  // namespace quimbel
