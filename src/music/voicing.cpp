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

double mean(const std::vector<int>& notes) {
  if (notes.empty()) return 0.0;
  return static_cast<double>(std::accumulate(notes.begin(), notes.end(), 0LL)) /
         static_cast<double>(notes.size());
}

}  // namespace

std::vector<int> rotate(std::span<const int> notes, int k) {
  std::vector<int> out(notes.begin(), notes.end());
  if (out.empty()) return out;
  for (int i = 0; i < k; ++i) {
    int x = out.front();
    if (x + 12 > kRotationCeiling) break;
    out.erase(out.begin());
    out.push_back(x + 12);
  }
  for (int i = 0; i < -static_cast<long long>(k); ++i) {
    int x = out.back();
    if (x - 12 < kRotationFloor) break;
    out.pop_back();
    out.insert(out.begin(), x - 12);
  }
  return out;
}

std::vector<int> chordNotes(int degree, const Chords::Key& key, int inversion, bool seventh,
                            bool ninth, bool bass) {
  using Chords::scalePitch;
  std::vector<int> pitches = {scalePitch(degree, key.mode), scalePitch(degree + 2, key.mode),
                              scalePitch(degree + 4, key.mode)};
  if (seventh || ninth) pitches.push_back(scalePitch(degree + 6, key.mode));
  if (ninth) pitches.push_back(scalePitch(degree + 1, key.mode) + 12);

  const int base = Chords::tonicNote(key.tonic);
  std::vector<int> notes;
  for (int p : pitches) notes.push_back(base + p);
  std::ranges::sort(notes);

  std::vector<int> result;
  if (degree == 0) {
    result = rotate(notes, inversion);
  } else {
    // Lead every chord towards the tonic triad at the same inversion.
    const std::vector<int> tonicTriad = {base, base + scalePitch(2, key.mode),
                                         base + scalePitch(4, key.mode)};
    const double target = mean(rotate(tonicTriad, inversion));
    double best = 1e9;
    for (int c = -kSearchRotations; c <= kSearchRotations; ++c) {
      std::vector<int> candidate = rotate(notes, c);
      // The span is read from the list as it stands, not its extremes.
      double score = std::abs(mean(candidate) - target) +
                     kSpreadWeight * (candidate.back() - candidate.front());
      if (score < best - kScoreMargin) {
        best = score;
        result = std::move(candidate);
      }
    }
  }

  if (bass && !result.empty()) {
    int pc = scalePitch(degree, key.mode) % 12;
    if (pc < 0) pc += 12;
    if (pc > 6) pc -= 12;
    const int bassNote = base - 12 + pc;
    if (bassNote < result.front() - kBassClearance) result.insert(result.begin(), bassNote);
  }
  return result;
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
  const double step = strumSpanSeconds(bpm) / static_cast<double>(std::max<std::size_t>(n - 1, 1));
  v.offsets.reserve(n);
  for (std::size_t i = 0; i < n; ++i) v.offsets.push_back(static_cast<double>(i) * step);
  return v;
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
