#include "export/midi_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace quimbel {
namespace {

using Bytes = std::vector<std::uint8_t>;

ChordHit hit(double t, std::vector<int> notes, int velocity = 100) {
  ChordHit h;
  h.t = t;
  h.voicing.offsets.assign(notes.size(), 0.0);
  h.voicing.notes = std::move(notes);
  h.velocity = velocity;
  return h;
}

// The note events as "tick on|off note velocity" lines, easy to compare.
std::vector<std::string> describe(const std::vector<ChordHit>& hits, double bpm) {
  std::vector<std::string> lines;
  for (const NoteEvent& e : noteEvents(hits, bpm)) {
    lines.push_back(std::to_string(e.tick) + (e.on ? " on " : " off ") + std::to_string(e.note) +
                    " " + std::to_string(e.velocity));
  }
  return lines;
}

const Bytes kEmptyFileAt120{'M',  'T',  'h',  'd',  0,    0,    0,    6,    0,    0,    0,    1,
                            0x01, 0xE0, 'M',  'T',  'r',  'k',  0,    0,    0,    14,   0x00, 0xFF,
                            0x51, 0x03, 0x07, 0xA1, 0x20, 0x00, 0xC0, 0x00, 0x00, 0xFF, 0x2F, 0x00};

// ---- Bytes ------------------------------------------------------------------

TEST(MidiFileBytesTest, TakeWithoutNotesIsTheThirtySixByteFile) {
  EXPECT_EQ(midiFileData({}, 120), kEmptyFileAt120);
  const std::vector<ChordHit> silent{hit(0, {}), hit(1.5, {})};
  EXPECT_EQ(midiFileData(silent, 120), kEmptyFileAt120);
}

TEST(MidiFileBytesTest, TempoIsMicrosecondsPerQuarterRounded) {
  const std::pair<double, Bytes> cases[] = {{90, {0x0A, 0x2C, 0x2B}},
                                            {120, {0x07, 0xA1, 0x20}},
                                            {60, {0x0F, 0x42, 0x40}},
                                            {200, {0x04, 0x93, 0xE0}},
                                            {0.5, {0xFF, 0xFF, 0xFF}}};  // capped, not wrapped
  for (const auto& [bpm, tempo] : cases) {
    const Bytes file = midiFileData({}, bpm);
    ASSERT_EQ(file.size(), 36u);
    EXPECT_EQ(Bytes(file.begin() + 26, file.begin() + 29), tempo) << bpm;
  }
}

TEST(MidiFileBytesTest, OneChordWritesItsNotesBetweenProgramAndEnd) {
  const std::vector<ChordHit> hits{hit(0, {60, 64}, 90)};
  const Bytes file = midiFileData(hits, 120);
  // 1.9 s at 120 bpm is 1824 ticks: 8E 20 as a variable-length delta.
  const Bytes track{0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20, 0x00, 0xC0, 0x00, 0x00,
                    0x90, 60,   90,   0x00, 0x90, 64,   90,   0x8E, 0x20, 0x80, 60,
                    0x00, 0x00, 0x80, 64,   0x00, 0x00, 0xFF, 0x2F, 0x00};
  ASSERT_EQ(file.size(), 22 + track.size());
  EXPECT_EQ(Bytes(file.begin() + 18, file.begin() + 22), (Bytes{0, 0, 0, 31}));
  EXPECT_EQ(Bytes(file.begin() + 22, file.end()), track);
}

TEST(MidiFileBytesTest, DeltasAreVariableLengthQuantities) {
  const std::pair<int, Bytes> cases[] = {{1, {0x01}},
                                         {127, {0x7F}},
                                         {128, {0x81, 0x00}},
                                         {16383, {0xFF, 0x7F}},
                                         {16384, {0x81, 0x80, 0x00}},
                                         {2097152, {0x81, 0x80, 0x80, 0x00}}};
  for (const auto& [ticks, delta] : cases) {
    ChordHit h = hit(0, {60});
    h.voicing.durations = std::vector<double>{ticks / 480.0};  // 480 ticks a second at 60 bpm
    const Bytes file = midiFileData(std::span(&h, 1), 60);
    // Tempo, program and the note-on take 14 bytes; the note-off's delta follows.
    const Bytes written(file.begin() + 36, file.begin() + 36 + delta.size());
    EXPECT_EQ(written, delta) << ticks;
    EXPECT_EQ(file[36 + delta.size()], 0x80) << ticks;
  }
}

// ---- Note events ------------------------------------------------------------

TEST(MidiNoteEventsTest, VelocityIsClampedAndNoteOffsCarryZero) {
  const std::vector<ChordHit> hits{hit(0, {60}, 0), hit(1, {62}, 200), hit(2, {64}, -5)};
  EXPECT_EQ(describe(hits, 120),
            (std::vector<std::string>{"0 on 60 1", "960 off 60 0", "960 on 62 127", "1920 off 62 0",
                                      "1920 on 64 1", "3744 off 64 0"}));
}

TEST(MidiNoteEventsTest, HitsAtTheSameTimeKeepTheirOrderAndTheFirstLastsOneTick) {
  const std::vector<ChordHit> hits{hit(1, {60}), hit(1, {64})};
  EXPECT_EQ(describe(hits, 120), (std::vector<std::string>{"960 on 60 100", "960 on 64 100",
                                                           "961 off 60 0", "2784 off 64 0"}));
}

TEST(MidiNoteEventsTest, ANoteStruckAgainIsReleasedFirstOnTheSameTick) {
  const std::vector<ChordHit> hits{hit(0, {60, 64}), hit(0.5, {60, 67})};
  EXPECT_EQ(describe(hits, 120),
            (std::vector<std::string>{"0 on 60 100", "0 on 64 100", "480 off 60 0", "480 off 64 0",
                                      "480 on 60 100", "480 on 67 100", "2304 off 60 0",
                                      "2304 off 67 0"}));
}

TEST(MidiNoteEventsTest, HitsAreTakenInTimeOrderWhateverTheirRecordedOrder) {
  const std::vector<ChordHit> hits{hit(2, {67}), hit(0, {60}), hit(1, {64})};
  EXPECT_EQ(describe(hits, 120),
            (std::vector<std::string>{"0 on 60 100", "960 off 60 0", "960 on 64 100",
                                      "1920 off 64 0", "1920 on 67 100", "3744 off 67 0"}));
}

TEST(MidiNoteEventsTest, NoteLengthComesFromDurationsThenHitLengthThenTheDefault) {
  struct Case {
    const char* label;
    std::optional<std::vector<double>> durations;
    std::optional<double> length;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"default 1.9 s",
       std::nullopt,
       std::nullopt,
       {"0 on 60 100", "240 on 64 100", "1824 off 60 0", "2064 off 64 0"}},
      {"hit length less each offset",
       std::nullopt,
       1.0,
       {"0 on 60 100", "240 on 64 100", "960 off 60 0", "960 off 64 0"}},
      {"hit length floored at 0.05 s",
       std::nullopt,
       0.1,
       {"0 on 60 100", "96 off 60 0", "240 on 64 100", "288 off 64 0"}},
      {"voicing durations, missing ones fall back",
       std::vector<double>{0.5},
       1.0,
       {"0 on 60 100", "240 on 64 100", "480 off 60 0", "960 off 64 0"}},
  };
  for (const Case& c : cases) {
    ChordHit h = hit(0, {60, 64});
    h.voicing.offsets = {0.0, 0.25};
    h.voicing.durations = c.durations;
    h.length = c.length;
    EXPECT_EQ(describe(std::vector<ChordHit>{h}, 120), c.expected) << c.label;
  }
}

TEST(MidiNoteEventsTest, NotesAreCutWhereTheNextHitBeginsAndLastAtLeastOneTick) {
  // The second hit has no notes but still ends the first; the third comes
  // 0.0001 s after the second, which rounds to the same tick.
  const std::vector<ChordHit> hits{hit(0, {60}), hit(1, {}), hit(3, {62}), hit(3.0001, {64})};
  EXPECT_EQ(describe(hits, 120),
            (std::vector<std::string>{"0 on 60 100", "960 off 60 0", "2880 on 62 100",
                                      "2880 on 64 100", "2881 off 62 0", "4704 off 64 0"}));
}

TEST(MidiNoteEventsTest, NotesOutsideTheMidiRangeAreLeftOut) {
  const std::vector<ChordHit> hits{hit(0, {-1, 60, 128})};
  EXPECT_EQ(describe(hits, 120), (std::vector<std::string>{"0 on 60 100", "1824 off 60 0"}));
}

// ---- Read back by an independent reader -------------------------------------

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quimbel-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

std::string run(const std::string& command) {
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    ::pclose(pipe);
  }
  return output;
}

TEST(MidiFileReaderTest, ATakeReadsBackWithItsNotesTimesAndTempo) {
  if (std::system("command -v midicsv > /dev/null 2>&1") != 0) GTEST_SKIP() << "no midicsv";
  TempDir dir;
  const char* previous = std::getenv("TMPDIR");
  const std::string saved = previous ? previous : "";
  ::setenv("TMPDIR", dir.path().c_str(), 1);

  Take take;
  take.bpm = 90;  // 0.5 s at 90 bpm is 360 ticks
  ChordHit first = hit(0, {48, 52, 55}, 96);
  first.voicing.offsets = {0.0, 1.0 / 12, 2.0 / 12};  // a strum: 0, 60, 120 ticks
  ChordHit second = hit(2.0, {55, 59}, 127);
  second.length = 1.0;
  take.events = {first, second};
  const Written written = midiFile(take);

  if (previous) {
    ::setenv("TMPDIR", saved.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  ASSERT_TRUE(written) << written.error;
  EXPECT_EQ(written.file->filename(), "my chords.mid");
  EXPECT_EQ(written.file->parent_path().parent_path(), dir.path() / "Takes");

  const std::string csv = run("midicsv '" + written.file->string() + "'");
  EXPECT_EQ(csv,
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
            "1, 1440, Note_on_c, 0, 59, 127\n"
            "1, 2160, Note_off_c, 0, 55, 0\n"
            "1, 2160, Note_off_c, 0, 59, 0\n"
            "1, 2160, End_track\n"
            "0, 0, End_of_file\n");
}

}  // namespace
}  // namespace quimbel
