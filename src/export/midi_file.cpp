#include "export/midi_file.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quimbel {
namespace {

// Keeps every tick a finite, non-negative 64-bit number whatever the input,
// far beyond any take (2^40 ticks is years at any tempo).
constexpr double kMaxTick = 1099511627776.0;

std::int64_t tickOf(double seconds, double beatSeconds) {
  const double ticks = std::round(seconds / beatSeconds * kTicksPerQuarter);
  if (!(ticks > 0.0)) return 0;  // negative, zero or not a number
  return static_cast<std::int64_t>(std::min(ticks, kMaxTick));
}

void putBigEndian(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
    out.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

// Seven bits per byte, most significant group first, bit 7 set on every byte
// but the last.
void putVariableLength(std::vector<std::uint8_t>& out, std::uint64_t value) {
  int groups = 1;
  while (groups < 10 && (value >> (7 * groups)) != 0) ++groups;
  for (int g = groups - 1; g > 0; --g) {
    out.push_back(static_cast<std::uint8_t>(0x80 | ((value >> (7 * g)) & 0x7F)));
  }
  out.push_back(static_cast<std::uint8_t>(value & 0x7F));
}

}  // namespace

std::vector<NoteEvent> noteEvents(std::span<const ChordHit> hits, double bpm) {
  std::vector<const ChordHit*> sorted;
  sorted.reserve(hits.size());
  for (const ChordHit& hit : hits) sorted.push_back(&hit);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const ChordHit* a, const ChordHit* b) { return a->t < b->t; });

  const double beatSeconds = 60.0 / bpm;
  std::vector<NoteEvent> events;
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    const ChordHit& hit = *sorted[i];
    const double next =
        i + 1 < sorted.size() ? sorted[i + 1]->t : std::numeric_limits<double>::infinity();
    const auto velocity = static_cast<std::uint8_t>(std::clamp(hit.velocity, 1, 127));
    const Voicing& voicing = hit.voicing;
    for (std::size_t k = 0; k < voicing.notes.size(); ++k) {
      const int note = voicing.notes[k];
      // A number outside the MIDI range would corrupt the byte stream.
      if (note < 0 || note > 127) continue;
      const double offset = k < voicing.offsets.size() ? voicing.offsets[k] : 0.0;
      const double start = hit.t + offset;
      const double end = start + noteLength(voicing, k, hit.length);
      const std::int64_t onTick = tickOf(start, beatSeconds);
      const std::int64_t offTick = std::max(onTick + 1, tickOf(std::min(next, end), beatSeconds));
      events.push_back({onTick, true, static_cast<std::uint8_t>(note), velocity});
      events.push_back({offTick, false, static_cast<std::uint8_t>(note), 0});
    }
  }
  // A note that sounds in two hits in a row must be let go before it is
  // struck again on the same tick, or the reader ends the new note at once.
  std::stable_sort(events.begin(), events.end(), [](const NoteEvent& a, const NoteEvent& b) {
    if (a.tick != b.tick) return a.tick < b.tick;
    return !a.on && b.on;
  });
  return events;
}

std::vector<std::uint8_t> midiFileData(std::span<const ChordHit> hits, double bpm) {
  const std::vector<NoteEvent> events = noteEvents(hits, bpm);

  std::vector<std::uint8_t> track;
  track.reserve(16 + events.size() * 5);
  // Tempo in microseconds per quarter note; three bytes hold it at any tempo
  // above 3.6 beats per minute.
  const double micros = std::round(60000000.0 / bpm);
  const auto tempo = static_cast<std::uint32_t>(
      std::isnan(micros) ? 500000.0 : std::clamp(micros, 1.0, static_cast<double>(0xFFFFFF)));
  track.insert(track.end(), {0x00, 0xFF, 0x51, 0x03});
  putBigEndian(track, tempo, 3);
  track.insert(track.end(), {0x00, 0xC0, 0x00});  // piano on channel 1
  std::int64_t previous = 0;
  for (const NoteEvent& event : events) {
    putVariableLength(track, static_cast<std::uint64_t>(event.tick - previous));
    previous = event.tick;
    track.push_back(event.on ? 0x90 : 0x80);
    track.push_back(event.note);
    track.push_back(event.on ? event.velocity : 0);
  }
  track.insert(track.end(), {0x00, 0xFF, 0x2F, 0x00});

  std::vector<std::uint8_t> file{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1};
  putBigEndian(file, kTicksPerQuarter, 2);
  file.insert(file.end(), {'M', 'T', 'r', 'k'});
  putBigEndian(file, track.size(), 4);
  file.insert(file.end(), track.begin(), track.end());
  return file;
}

Written midiFile(const Take& take) {
  const Written folder = makeTakeFolder();
  if (!folder) return folder;
  return writeFileAside(*folder.file / "my chords.mid", midiFileData(take.events, take.bpm));
}

}  // namespace quimbel
