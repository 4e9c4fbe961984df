#include "audio/core/midi_chord_map.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "audio/core/render_core_state.h"

namespace quimbel {
namespace {

constexpr std::uint8_t NoPad = 255;

// One per process, static storage: the MIDI thread reads it without locks.
struct MidiChordMap {
  std::atomic<std::uint32_t> initialised{0};
  std::atomic<std::uint32_t> sevenths{0};
  std::atomic<std::uint32_t> ninths{0};
  std::atomic<std::uint32_t> strum{0};
  std::atomic<RenderCore*> engine{nullptr};
  // The core the MIDI thread is using right now (a hazard pointer).
  std::atomic<RenderCore*> leased{nullptr};
  std::atomic<std::uint8_t> noteToPad[128] = {};
  // Bits 0-7: note count; bits 8k..8k+7: note k (k = 1..7).
  std::atomic<std::uint64_t> chords[CorePadCount][4] = {};
};

MidiChordMap chordMap;

}  // namespace

void setMidiEngine(RenderCore* core) { chordMap.engine.store(core, std::memory_order_seq_cst); }

// Publishes the core before using it and checks that it is still the target:
// either the main thread's switch came first and the lease retries with the
// new target, or the main thread sees the lease and keeps the old core.
MidiEngineLease::MidiEngineLease() noexcept
    : core_(chordMap.engine.load(std::memory_order_seq_cst)) {
  while (core_ != nullptr) {
    chordMap.leased.store(core_, std::memory_order_seq_cst);
    RenderCore* again = chordMap.engine.load(std::memory_order_seq_cst);
    if (again == core_) return;
    core_ = again;
  }
  chordMap.leased.store(nullptr, std::memory_order_release);
}

MidiEngineLease::~MidiEngineLease() { chordMap.leased.store(nullptr, std::memory_order_release); }

bool midiEngineLetGo(const RenderCore* core) {
  return chordMap.engine.load(std::memory_order_seq_cst) != core &&
         chordMap.leased.load(std::memory_order_seq_cst) != core;
}

void detachMidiEngine(RenderCore* core) {
  RenderCore* expected = core;
  chordMap.engine.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
}

void mapNoteToPad(std::uint32_t note, std::uint32_t pad) {
  if (chordMap.initialised.load(std::memory_order_acquire) == 0) {
    for (auto& entry : chordMap.noteToPad) entry.store(NoPad, std::memory_order_relaxed);
    chordMap.initialised.store(1, std::memory_order_release);
  }
  if (note < 128) {
    chordMap.noteToPad[note].store(pad < CorePadCount ? static_cast<std::uint8_t>(pad) : NoPad,
                                   std::memory_order_relaxed);
  }
}

void setPadChord(std::uint32_t pad, std::int32_t variant, const std::int32_t* notes,
                 std::int32_t count) {
  if (pad >= CorePadCount) return;
  const std::int32_t n = std::min(std::max(count, 0), 7);
  std::uint64_t packed = static_cast<std::uint64_t>(n);
  for (std::int32_t k = 0; k < n; ++k) {
    packed |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(notes[k])) << (8 * (k + 1));
  }
  const std::int32_t slot = ((variant % 4) + 4) % 4;
  chordMap.chords[pad][slot].store(packed, std::memory_order_relaxed);
}

void setChordFlags(bool sevenths, bool ninths, bool strum) {
  chordMap.sevenths.store(sevenths ? 1 : 0, std::memory_order_relaxed);
  chordMap.ninths.store(ninths ? 1 : 0, std::memory_order_relaxed);
  chordMap.strum.store(strum ? 1 : 0, std::memory_order_relaxed);
}

float velocityGain(std::int32_t velocity) {
  const std::int32_t c = std::min(std::max(velocity, 1), 127);
  return std::pow(10.0f, -static_cast<float>(127 - c) * 30.0f / 126.0f / 20.0f);
}

std::int32_t midiNoteOn(std::uint32_t note, std::int32_t velocity) {
  if (note > 127 || chordMap.initialised.load(std::memory_order_acquire) == 0) return -1;
  const std::uint8_t pad = chordMap.noteToPad[note].load(std::memory_order_relaxed);
  if (pad == NoPad) return -1;
  if (chordMap.strum.load(std::memory_order_relaxed) != 0) return pad;
  const MidiEngineLease lease;
  if (lease.core() == nullptr) return pad;
  enqueuePadChord(lease.core(), pad, velocity, velocityGain(velocity));
  return pad;
}

std::int32_t currentPadChord(std::uint32_t pad, std::int32_t* notes) noexcept {
  if (pad >= CorePadCount) return 0;
  const int variant = (chordMap.sevenths.load(std::memory_order_relaxed) != 0 ? 1 : 0) +
                      (chordMap.ninths.load(std::memory_order_relaxed) != 0 ? 2 : 0);
  const std::uint64_t packed = chordMap.chords[pad][variant].load(std::memory_order_relaxed);
  const auto count = static_cast<std::int32_t>(packed & 0xff);
  for (std::int32_t k = 0; k < count && k < 7; ++k) {
    notes[k] = static_cast<std::int32_t>((packed >> (8 * (k + 1))) & 0xff);
  }
  return std::min(count, 7);
}

}  // namespace quimbel
