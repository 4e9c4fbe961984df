// The chord generator in a host: the notes it sends against the command
// line's `chords` and the tray program's pads, and how its chords end.

#include "music/chords.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "music/fresh_settings.h"
#include "music/voicing.h"
#include "plugin/plugin_fixtures.h"

#ifdef QUIMBEL_EXE
#include "app/run_program.h"
#endif

namespace quimbel::testing {
namespace {

constexpr char kChords[] = "https://quimbel.app/lv2/chords";
constexpr int kWhiteKeys[] = {60, 62, 64, 65, 67, 69, 71};

struct Sent {
  std::int64_t frame;
  int status, note, velocity;
  friend bool operator==(const Sent&, const Sent&) = default;
};

std::vector<Sent> sent(const PluginRun& run) {
  std::vector<Sent> out;
  for (const Event& e : run.out) out.push_back({e.frame, e.bytes[0], e.bytes[1], e.bytes[2]});
  return out;
}

std::vector<Sent> chordAt(std::int64_t frame, const std::vector<int>& notes, int velocity = 100) {
  std::vector<Sent> out;
  for (int note : notes) out.push_back({frame, 0x90, note, velocity});
  return out;
}

#ifdef QUIMBEL_EXE
// C4 at frame 37 sends the first pad's chord at frame 37, and every white key
// its pad's chord, note for note as `quimbel chords` lists them.
TEST(ChordsTest, WhiteKeysSendTheChordsTheCommandLineLists) {
  const struct {
    Setting setting;
    std::vector<std::string> args;
  } cases[] = {
      {{}, {}},
      {{0, 0, 0, true, false, true, false, 120}, {"--key", "C", "--knob", "0", "--sevenths"}},
      {{9, 1, 3, false, true, false, false, 120},
       {"--key", "Am", "--knob", "3", "--ninths", "--no-bass"}},
      {{3, 1, -5, false, false, true, false, 120}, {"--key", "Ebm", "--knob", "-5"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "chords");
    args.push_back("--json");
    const Outcome cli = runQuimbel(args);
    ASSERT_EQ(cli.status, 0) << cli.err;
    const auto listed = nlohmann::json::parse(cli.out);
    for (int pad = 0; pad < 7; ++pad) {
      Lv2Host host;
      PluginRun run(host, kChords, 48000.0);
      ASSERT_TRUE(run.ok());
      applySetting(run, c.setting);
      run.play({noteOn(37, kWhiteKeys[pad] + 12 * (pad % 3 - 1))}, 64, 64);
      EXPECT_EQ(sent(run), chordAt(37, listed[pad]["notes"].get<std::vector<int>>()))
          << cli.out << " pad " << pad;
    }
  }
}
#endif

// The seven white keys send what the tray's pads play for the same settings:
// the notes in sounding order, a strum's notes at their offsets at the host's
// tempo, the black keys holding sevenths and ninths as Tab and Shift do.
TEST(ChordsTest, SevenWhiteKeysSendWhatTheTraysPadsPlay) {
  SinePiano piano;
  const struct {
    Setting setting;
    int black;  // held from the start, or 0
  } cases[] = {
      {{}, 0},
      {{1, 1, -3, false, false, true, true, 90}, 61},
      {{7, 0, 4, false, false, false, true, 200}, 75},
      {{5, 0, -1, true, false, true, false, 120}, 0},
  };
  for (const auto& c : cases) {
    Setting asPads = c.setting;
    if (c.black != 0) (c.black % 12 == 1 ? asPads.sevenths : asPads.ninths) = true;
    TrayPads pads(piano.folder(), 48000.0, asPads);
    for (int pad = 0; pad < 7; ++pad) {
      SCOPED_TRACE("pad " + std::to_string(pad) + " black " + std::to_string(c.black));
      Lv2Host host;
      PluginRun run(host, kChords, 48000.0);
      ASSERT_TRUE(run.ok());
      applySetting(run, c.setting);
      std::vector<Event> take = {tempo(0, c.setting.bpm)};
      if (c.black != 0) take.push_back(noteOn(0, c.black));
      take.push_back(noteOn(37, kWhiteKeys[pad], 90));
      run.play(take, 48000, 512);

      const ChordHit hit = pads.model->hitFor(pad, 90);
      std::vector<Sent> expected;
      for (std::size_t j = 0; j < hit.voicing.notes.size(); ++j) {
        const auto wait = static_cast<std::int64_t>(hit.voicing.offsets[j] * 48000.0);
        expected.push_back({37 + wait, 0x90, hit.voicing.notes[j], 90});
      }
      EXPECT_EQ(sent(run), expected);
    }
  }
}

// Turning a control changes the next chord, whichever chords came before.
TEST(ChordsTest, ControlsChangeTheNextChord) {
  Lv2Host host;
  PluginRun run(host, kChords, 48000.0);
  ASSERT_TRUE(run.ok());
  const Setting turns[] = {
      {},
      {5, 1, -3},
      {5, 0, -3},
      {5, 0, 4},
      {5, 0, 4, true},
      {5, 0, 4, true, true},
      {5, 0, 4, true, true, false},
      {10, 0, 4, true, true, false},
      {10, 0, -5, false, true, false},
      {10, 1, -5},
      {},
  };
  for (const Setting& now : turns) {
    applySetting(run, now);
    run.out.clear();
    run.run(64, {noteOn(10, 64), noteOff(20, 64)});
    std::vector<int> played;
    for (const Sent& s : sent(run))
      if (s.status == 0x90) played.push_back(s.note);
    const Chords::Key key{now.tonic, now.mode == 1 ? Chords::Mode::minor : Chords::Mode::major};
    EXPECT_EQ(played, chordNotes(2, key, now.knob + 2, now.sevenths, now.ninths, now.bass))
        << Chords::keyName(key) << " knob " << now.knob;
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
  run.set("tonic", 0);
  run.set("mode", 0);
  run.set("knob", 0);
  run.set("bass", 0);
  const Chords::Key cMajor{0, Chords::Mode::major};
  auto chord = [&](int pad) { return chordNotes(pad, cMajor, 2, false, false, false); };
  const std::vector<Event> take = {
      noteOn(10, 60, 99),     noteOff(20, 62),         noteOn(25, 66),   noteOff(30, 66),
      {40, {0xB0, 1, 64}, 0}, noteOn(100, 67, 98),     noteOff(150, 60), noteOff(200, 67),
      noteOn(300, 65, 97, 2), {400, {0xB2, 123, 0}, 0}};
  run.play(take, 512, 64);
  std::vector<Sent> expected = chordAt(10, chord(0), 99);
  expected.push_back({40, 0xB0, 1, 64});
  for (int note : chord(0)) expected.push_back({100, 0x80, note, 0});
  for (const Sent& s : chordAt(100, chord(4), 98)) expected.push_back(s);
  for (int note : chord(4)) expected.push_back({200, 0x80, note, 0});
  for (int note : chord(3)) expected.push_back({300, 0x92, note, 97});
  for (int note : chord(3)) expected.push_back({400, 0x82, note, 0});
  expected.push_back({400, 0xB2, 123, 0});
  EXPECT_EQ(sent(run), expected);

  // At 60 bpm a strum of three notes takes half a second, a note every
  // 0.25 s: released after 0.3 s, its last note never starts, and the notes
  // cross blocks at their own frames.
  run.out.clear();
  run.set("strum", 1);
  run.play({tempo(600, 60), noteOn(1000, 60), noteOff(1000 + 14400, 60)}, 48000, 4096);
  std::vector<int> up = chord(0);
  std::ranges::sort(up);
  EXPECT_EQ(sent(run), (std::vector<Sent>{{1000, 0x90, up[0], 100},
                                          {1000 + 12000, 0x90, up[1], 100},
                                          {1000 + 14400, 0x80, up[0], 0},
                                          {1000 + 14400, 0x80, up[1], 0}}));
}

// The controls start as a fresh install's settings, as the host reads them
// from the plugins' description.
TEST(ChordsTest, ControlsStartAsAFreshInstall) {
  Lv2Host host;
  for (const char* uri : {kChords, "https://quimbel.app/lv2/quimbel"}) {
    const LilvPlugin* plugin = host.plugin(uri);
    ASSERT_NE(plugin, nullptr) << uri;
    std::vector<float> defaults(lilv_plugin_get_num_ports(plugin));
    lilv_plugin_get_port_ranges_float(plugin, nullptr, nullptr, defaults.data());
    auto fresh = [&](const char* symbol) {
      LilvNode* name = lilv_new_string(host.world(), symbol);
      const LilvPort* port = lilv_plugin_get_port_by_symbol(plugin, name);
      lilv_node_free(name);
      return port != nullptr ? defaults[lilv_port_get_index(plugin, port)] : NAN;
    };
    EXPECT_EQ(fresh("tonic"), kFreshKey.tonic);
    EXPECT_EQ(fresh("mode"), kFreshKey.mode == Chords::Mode::minor ? 1 : 0);
    EXPECT_EQ(fresh("knob"), kFreshKnob);
    EXPECT_EQ(fresh("bass"), kFreshBass ? 1 : 0);
    EXPECT_EQ(fresh("sevenths"), 0);
    EXPECT_EQ(fresh("ninths"), 0);
    EXPECT_EQ(fresh("strum"), 0);
    if (std::string(uri) != kChords) {
      EXPECT_FLOAT_EQ(fresh("volume"), kFreshVolume);
    }
  }
}

}  // namespace
}  // namespace quimbel::testing
