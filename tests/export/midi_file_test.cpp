#include "export/midi_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/scratch.h"
#include "music/voicing.h"

namespace quimbel {
namespace {

using Bytes = std::vector<std::uint8_t>;

ChordHit hit(double t, std::vector<int> notes, int velocity = 100) {
  return {.t = t, .voicing = plainVoicing(notes), .velocity = velocity};
}

TEST(MidiFileBytesTest, EmptyFileTempoAndVariableLengthDeltas) {
  const Bytes at120{'M',  'T',  'h',  'd',  0,    0,   0,    6, 0, 0,    0,    1,
                    1,    0xE0, 'M',  'T',  'r',  'k', 0,    0, 0, 14,   0,    0xFF,
                    0x51, 3,    0x07, 0xA1, 0x20, 0,   0xC0, 0, 0, 0xFF, 0x2F, 0};
  EXPECT_EQ(midiFileData({}, 120), at120);
  const std::vector<ChordHit> silent{hit(0, {}), hit(1.5, {})};
  EXPECT_EQ(midiFileData(silent, 120), at120);
  // Microseconds a quarter note, rounded; a tempo too slow for three bytes is
  // capped rather than wrapped.
  for (const auto& [bpm, tempo] :
       {std::pair<double, Bytes>{90, {0x0A, 0x2C, 0x2B}}, {0.5, {0xFF, 0xFF, 0xFF}}}) {
    const Bytes file = midiFileData({}, bpm);
    ASSERT_EQ(file.size(), 36u);
    EXPECT_EQ(Bytes(file.begin() + 26, file.begin() + 29), tempo) << bpm;
  }
  for (const auto& [ticks, delta] : {std::pair<int, Bytes>{127, {0x7F}},
                                     {128, {0x81, 0x00}},
                                     {16384, {0x81, 0x80, 0x00}},
                                     {2097152, {0x81, 0x80, 0x80, 0x00}}}) {
    ChordHit h = hit(0, {60});
    h.voicing.durations = std::vector<double>{ticks / 480.0};  // 480 ticks a second at 60 bpm
    const Bytes file = midiFileData(std::span(&h, 1), 60);
    // Tempo, program and the note-on take 14 bytes; the note-off's delta follows.
    EXPECT_EQ(Bytes(file.begin() + 36, file.begin() + 36 + delta.size()), delta) << ticks;
    EXPECT_EQ(file[36 + delta.size()], 0x80) << ticks;
  }
}

TEST(MidiNoteEventsTest, OrderAndClamping) {
  struct Case {
    const char* rule;
    std::vector<ChordHit> hits;
    std::vector<std::string> expected;  // "tick on|off note velocity"
  };
  const Case cases[] = {
      {"time order, velocity clamped, notes outside the range left out",
       {hit(2, {-1, 64}, -5), hit(0, {60}, 0), hit(1, {62, 128}, 200)},
       {"0 on 60 1", "960 off 60 0", "960 on 62 127", "1920 off 62 0", "1920 on 64 1",
        "3744 off 64 0"}},
      {"hits on one tick keep their order; the first lasts one tick",
       {hit(1, {60}), hit(1, {64})},
       {"960 on 60 100", "960 on 64 100", "961 off 60 0", "2784 off 64 0"}},
      {"a note struck again is released first on the same tick",
       {hit(0, {60, 64}), hit(0.5, {60, 67})},
       {"0 on 60 100", "0 on 64 100", "480 off 60 0", "480 off 64 0", "480 on 60 100",
        "480 on 67 100", "2304 off 60 0", "2304 off 67 0"}},
      {"cut by the next hit, even one without notes or 0.0001 s later",
       {hit(0, {60}), hit(1, {}), hit(3, {62}), hit(3.0001, {64})},
       {"0 on 60 100", "960 off 60 0", "2880 on 62 100", "2880 on 64 100", "2881 off 62 0",
        "4704 off 64 0"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> lines;
    for (const NoteEvent& e : noteEvents(c.hits, 120)) {
      lines.push_back(std::to_string(e.tick) + (e.on ? " on " : " off ") + std::to_string(e.note) +
                      " " + std::to_string(e.velocity));
    }
    EXPECT_EQ(lines, c.expected) << c.rule;
  }
}

TEST(MidiFileReaderTest, ATakeReadsBackWithItsNotesTimesAndTempo) {
  ScratchDir dir;
  Take take;
  take.bpm = 90;  // 720 ticks a second
  // A strum of the default length, then two chords whose notes last the hit's
  // length less their offset (at least 0.05 s) unless their durations say.
  take.events = {hit(0, {48, 52, 55}, 96), hit(2.0, {55, 59}, 127), hit(4.0, {60, 64})};
  take.events[0].voicing.offsets = {0.0, 1.0 / 12, 2.0 / 12};  // 0, 60, 120 ticks
  take.events[1].voicing.offsets = take.events[2].voicing.offsets = {0.0, 0.25};
  take.events[1].length = 1.0;
  take.events[2].length = 0.1;
  take.events[2].voicing.durations = std::vector<double>{0.5};
  const Written written = midiFile(take);
  ASSERT_TRUE(written) << written.error;
  EXPECT_EQ(written.file->filename(), "my chords.mid");
  EXPECT_EQ(written.file->parent_path().parent_path(), dir.path() / "Quimbel" / "Takes");

  const auto csv = runIfInstalled("midicsv", "'" + written.file->string() + "'");
  if (!csv) GTEST_SKIP() << "midicsv is not installed";
  EXPECT_EQ(*csv,
            "0, 0, Header, 0, 1, 480\n"
            "1, 0, Start_track\n"
            "1, 0, Tempo, 666667\n"
            "1, 0, Program_c, 0, 0\n"
            "1, 0, Note_on_c, 0, 48, 96\n"
            "1, 60, Note_on_c, 0, 52, 96\n"
            "1, 120, Note_on_c, 0, 55, 96\n"
            "1, 1368, Note_off_c, 0, 48, 0\n"  // 1.9 s
            "1, 1428, Note_off_c, 0, 52, 0\n"  // 1.9 s after its strum offset
            "1, 1440, Note_off_c, 0, 55, 0\n"  // cut by the next chord
            "1, 1440, Note_on_c, 0, 55, 127\n"
            "1, 1620, Note_on_c, 0, 59, 127\n"
            "1, 2160, Note_off_c, 0, 55, 0\n"  // the hit's 1 s
            "1, 2160, Note_off_c, 0, 59, 0\n"  // 1 s less its offset
            "1, 2880, Note_on_c, 0, 60, 100\n"
            "1, 3060, Note_on_c, 0, 64, 100\n"
            "1, 3096, Note_off_c, 0, 64, 0\n"  // 0.1 s less 0.25 s: 0.05 s
            "1, 3240, Note_off_c, 0, 60, 0\n"  // its duration, 0.5 s
            "1, 3240, End_track\n"
            "0, 0, End_of_file\n");
}

}  // namespace
}  // namespace quimbel
