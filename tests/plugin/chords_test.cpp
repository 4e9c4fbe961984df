// The chord generator in a host: the notes it sends against the tray
// program's pads, and how its chords end.

#include <gtest/gtest.h>

#include "music/voicing.h"
#include "plugin/plugin_fixtures.h"

namespace quimbel::testing {
namespace {

constexpr char kChords[] = "https://quimbel.app/lv2/chords";
constexpr int kWhiteKeys[] = {60, 62, 64, 65, 67, 69, 71};

struct Sent {
  std::int64_t frame;
  int status, note, velocity;
  friend bool operator==(const Sent&, const Sent&) = default;
};

// What the run sent since `from` (all of it, or only note-ons).
std::vector<Sent> sent(const PluginRun& run, bool onlyNoteOns = false, std::size_t from = 0) {
  std::vector<Sent> out;
  for (std::size_t i = from; i < run.out.size(); ++i) {
    const auto& b = run.out[i].bytes;
    if (!onlyNoteOns || b[0] >> 4 == 9) out.push_back({run.out[i].frame, b[0], b[1], b[2]});
  }
  return out;
}

// The seven white keys, in any octave, send what the tray's pads play for the
// same settings: first with the controls as the host finds them (a fresh
// install), then turned between chords. The notes in sounding order, a
// strum's notes at their offsets at the host's tempo, a held C♯ or D♯ as Tab
// or Shift.
TEST(ChordsTest, SevenWhiteKeysSendWhatTheTraysPadsPlay) {
  SinePiano piano;
  const struct {
    Setting setting;
    int black;  // held through the seven chords, or 0
  } cases[] = {
      {{}, 0},
      {{1, 1, -3, false, false, true, true, 90}, 61},
      {{7, 0, 4, false, false, false, true, 200}, 75},
      {{5, 0, -1, true, false, true, false, 120}, 0},
      {{10, 1, 5, false, true, false, true, 75}, 0},
  };
  Lv2Host host;
  PluginRun run(host, kChords, 48000.0);
  ASSERT_TRUE(run.ok());
  for (const auto& c : cases) {
    if (&c != &cases[0]) applySetting(run, c.setting);
    Setting asPads = c.setting;
    if (c.black != 0) (c.black % 12 == 1 ? asPads.sevenths : asPads.ninths) = true;
    TrayPads pads(piano.scratch.path(), 48000.0, asPads);
    std::vector<Event> start = {tempo(0, c.setting.bpm)};
    if (c.black != 0) start.push_back(noteOn(0, c.black));
    run.run(64, start);
    for (int pad = 0; pad < 7; ++pad) {
      const std::int64_t at = run.frame() + 37;
      const std::size_t before = run.out.size();
      const int key = kWhiteKeys[pad] + 12 * (pad % 3 - 1);
      run.play({noteOn(at, key, 90), noteOff(at + 23000, key)}, run.frame() + 24000, 512);
      const ChordHit hit = pads.model->hitFor(pad, 90);
      std::vector<Sent> expected;
      for (std::size_t j = 0; j < hit.voicing.notes.size(); ++j) {
        const auto wait = std::int64_t(hit.voicing.offsets[j] * 48000.0);
        expected.push_back({at + wait, 0x90, hit.voicing.notes[j], 90});
      }
      EXPECT_EQ(sent(run, true, before), expected) << "pad " << pad << ", black " << c.black;
    }
    if (c.black != 0) run.run(64, {noteOff(0, c.black)});
  }
}

// A chord ends when its key is released or the next chord begins: its notes
// stop at that frame, before the next chord's, and strum notes still waiting
// never start. Other keys' releases and black keys send nothing; other
// messages pass through, all-notes-off ending the chord first.
TEST(ChordsTest, ChordsEndOnTheirKeysReleaseOrTheNextChord) {
  Lv2Host host;
  PluginRun run(host, kChords, 48000.0);
  ASSERT_TRUE(run.ok());
  applySetting(run, {0, 0, 0, false, false, false});
  auto chord = [](int pad) { return chordNotes(pad, {0, Chords::Mode::major}, 2, 0, 0, 0); };
  run.play({noteOn(10, 60, 99), noteOff(20, 62), noteOn(25, 66), noteOff(30, 66),
            message(40, {0xB0, 1, 64}), noteOn(100, 67, 98), noteOff(150, 60), noteOff(200, 67),
            noteOn(300, 65, 97, 2), message(400, {0xB2, 123, 0})},
           512, 64);
  std::vector<Sent> expected;
  auto add = [&](std::int64_t frame, int status, const std::vector<int>& notes, int velocity) {
    for (int note : notes) expected.push_back({frame, status, note, velocity});
  };
  add(10, 0x90, chord(0), 99);
  expected.push_back({40, 0xB0, 1, 64});
  add(100, 0x80, chord(0), 0);
  add(100, 0x90, chord(4), 98);
  add(200, 0x80, chord(4), 0);
  add(300, 0x92, chord(3), 97);
  add(400, 0x82, chord(3), 0);
  expected.push_back({400, 0xB2, 123, 0});
  EXPECT_EQ(sent(run), expected);

  // At 60 bpm a three-note strum sends a note every 0.25 s: released after
  // 0.3 s, its last note never starts; its notes cross blocks on their frames.
  run.out.clear();
  run.set("strum", 1);
  run.play({tempo(600, 60), noteOn(1000, 60), noteOff(15400, 60)}, 48000, 4096);
  const ChordNoteArray up = ascending(padChordNotes(0, {0, Chords::Mode::major}, 2, 0, 0, 0));
  EXPECT_EQ(sent(run), (std::vector<Sent>{{1000, 0x90, up.notes[0], 100},
                                          {13000, 0x90, up.notes[1], 100},
                                          {15400, 0x80, up.notes[0], 0},
                                          {15400, 0x80, up.notes[1], 0}}));
}

}  // namespace
}  // namespace quimbel::testing
