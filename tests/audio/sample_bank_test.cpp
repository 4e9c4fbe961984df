#include "audio/sample_bank.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "audio/audio_fixtures.h"
#include "audio/core/render_core.h"
#include "audio/core/render_core_state.h"

namespace quimbel {
namespace {

using testing::ScratchFolder;
using testing::writeLevelCaf;

struct NameCase {
  const char* name;
  std::optional<int> note;
};

class SampleFileNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(SampleFileNameTest, StemMustBeASignedDecimalInteger) {
  EXPECT_EQ(sampleNoteFromFileName(GetParam().name), GetParam().note) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Names, SampleFileNameTest,
    ::testing::Values(NameCase{"60.caf", 60}, NameCase{"+62.caf", 62}, NameCase{"-3.caf", -3},
                      NameCase{"007.caf", 7}, NameCase{"2147483647.caf", 2147483647},
                      NameCase{"-2147483648.caf", -2147483647 - 1},
                      NameCase{"2147483648.caf", std::nullopt},
                      NameCase{"99999999999999999999.caf", std::nullopt},
                      NameCase{"piano.caf", std::nullopt}, NameCase{"6O.caf", std::nullopt},
                      NameCase{" 60.caf", std::nullopt}, NameCase{"60 .caf", std::nullopt},
                      NameCase{"+.caf", std::nullopt}, NameCase{"--60.caf", std::nullopt},
                      NameCase{"+-60.caf", std::nullopt}, NameCase{"0x3C.caf", std::nullopt},
                      NameCase{"6_0.caf", std::nullopt}));

// The level of the first left sample a stored sound holds.
float firstLevel(const StoredSound& stored) { return stored.sound().left->at(0); }

TEST(SampleLibraryTest, TakesOnlyIntegerNamedCafFilesFromThePianoFolder) {
  ScratchFolder data;
  writeLevelCaf(data.path() / "Piano" / "60.caf", 0.25f);
  writeLevelCaf(data.path() / "Piano" / "+62.caf", 0.5f);
  writeLevelCaf(data.path() / "Piano" / "piano.caf", 0.75f);
  writeLevelCaf(data.path() / "Piano" / "64.wav", 0.75f);
  writeLevelCaf(data.path() / "70.caf", 0.75f);  // top level: not used while "Piano" exists

  const SampleLibrary library = loadSampleLibrary(data.path());
  ASSERT_EQ(library.size(), 2u);
  EXPECT_FLOAT_EQ(firstLevel(library.at(60)), 0.25f);
  EXPECT_FLOAT_EQ(firstLevel(library.at(62)), 0.5f);
}

TEST(SampleLibraryTest, FallsBackToTopLevelFilesOnlyWhenThereIsNoPianoFolder) {
  ScratchFolder data;
  writeLevelCaf(data.path() / "70.caf", 0.25f);
  EXPECT_EQ(loadSampleLibrary(data.path()).count(70), 1u);

  std::filesystem::create_directory(data.path() / "Piano");
  EXPECT_TRUE(loadSampleLibrary(data.path()).empty()) << "an empty Piano folder is still the piano";
}

TEST(SampleLibraryTest, SkipsUnreadableFilesAndKeepsTheLaterOfTwoNamesForOneNote) {
  ScratchFolder data;
  const auto piano = data.path() / "Piano";
  writeLevelCaf(piano / "+60.caf", 0.25f);
  writeLevelCaf(piano / "60.caf", 0.5f);  // after "+60" in name order
  std::filesystem::create_directories(piano);
  std::ofstream(piano / "61.caf") << "not audio at all";
  std::ofstream(piano / "62.caf");  // empty
  testing::writeCaf(piano / "63.caf", 2, 48000, 0,
                    [](int, int) { return 0.0f; });  // a header without frames

  const SampleLibrary library = loadSampleLibrary(data.path());
  ASSERT_EQ(library.size(), 1u);
  EXPECT_FLOAT_EQ(firstLevel(library.at(60)), 0.5f);
}

TEST(SampleLibraryTest, MissingDataFolderGivesAnEmptyLibrary) {
  EXPECT_TRUE(loadSampleLibrary("/nonexistent/quimbel/data").empty());
}

TEST(SoundFileTest, MonoFileSharesOneArrayForBothChannelsWithExactValues) {
  ScratchFolder data;
  const std::vector<std::int16_t> samples{0, 1, -1, 32767, -32768, 12345};
  testing::writeShortCaf(data.path() / "60.caf", 1, 22050, samples);

  const SoundRead read = readSoundFile(data.path() / "60.caf");
  ASSERT_TRUE(read.sound) << read.error;
  const Sound sound = read.sound->sound();
  EXPECT_EQ(sound.left, sound.right);
  EXPECT_EQ(sound.rate, 22050.0);
  ASSERT_EQ(sound.frames(), samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i)
    EXPECT_EQ((*sound.left)[i], samples[i] / 32768.0f) << i;
  EXPECT_EQ(read.sound->bytes(), samples.size() * 2)
      << "a 16-bit mono file stays 16-bit and single";
}

TEST(SoundFileTest, UsesTheFirstTwoChannelsOfAWiderFile) {
  ScratchFolder data;
  testing::writeCaf(
      data.path() / "60.caf", 4, 48000, 8, [](int i, int c) { return 0.125f * c + 0.001f * i; },
      SF_FORMAT_FLOAT);
  const SoundRead read = readSoundFile(data.path() / "60.caf");
  ASSERT_TRUE(read.sound) << read.error;
  const Sound sound = read.sound->sound();
  ASSERT_EQ(sound.frames(), 8u);
  EXPECT_NE(sound.left, sound.right);
  EXPECT_FLOAT_EQ((*sound.left)[3], 0.003f);
  EXPECT_FLOAT_EQ((*sound.right)[3], 0.128f);
}

TEST(SoundFileTest, ReportsWhyAFileCannotBeRead) {
  const SoundRead read = readSoundFile("/nonexistent/60.caf");
  EXPECT_FALSE(read.sound);
  EXPECT_NE(read.error.find("/nonexistent/60.caf"), std::string::npos);
}

TEST(SoundAtRateTest, NearlyEqualRatesAndEmptySoundsAreNotConverted) {
  const Sound sound =
      testing::makeSound(testing::sine(1000, 48000, 0.1), testing::sine(500, 48000, 0.1), 48000);
  for (double target : {48000.0, 48000.4, 47999.6}) {
    const Sound same = soundAtRate(sound, target);
    EXPECT_EQ(same.left, sound.left) << target;
    EXPECT_EQ(same.right, sound.right) << target;
  }
  const Sound empty = testing::makeSound({}, {}, 48000);
  EXPECT_EQ(soundAtRate(empty, 44100).frames(), 0u);
}

struct RateCase {
  double from;
  double to;
};

class SoundAtRateConversionTest : public ::testing::TestWithParam<RateCase> {};

TEST_P(SoundAtRateConversionTest, KeepsLengthPitchAndLevel) {
  const auto [from, to] = GetParam();
  const Sound sound =
      testing::makeSound(testing::sine(1000, from, 1.0), testing::sine(250, from, 1.0), from);
  const Sound converted = soundAtRate(sound, to);

  EXPECT_EQ(converted.rate, to);
  EXPECT_NEAR(static_cast<double>(converted.frames()), sound.frames() * to / from, 2.0);
  EXPECT_EQ(converted.left->size(), converted.right->size());
  const auto middleLeft = testing::between(*converted.left, to, 0.25, 0.75);
  const auto middleRight = testing::between(*converted.right, to, 0.25, 0.75);
  EXPECT_NEAR(testing::strongestFrequency(middleLeft, to, 950, 1050, 1), 1000, 2);
  EXPECT_NEAR(testing::strongestFrequency(middleRight, to, 200, 300, 1), 250, 2);
  EXPECT_NEAR(testing::rms(middleLeft), 0.5 / std::sqrt(2.0), 0.005);
}

INSTANTIATE_TEST_SUITE_P(Rates, SoundAtRateConversionTest,
                         ::testing::Values(RateCase{48000, 44100}, RateCase{48000, 96000},
                                           RateCase{44100, 48000}, RateCase{48000, 48001}));

TEST(SoundAtRateTest, MonoStaysOneSharedArray) {
  std::vector<float> wave = testing::sine(440, 48000, 0.2);
  Sound mono = testing::makeSound(wave, {}, 48000);
  mono.right = mono.left;
  const Sound converted = soundAtRate(mono, 44100);
  EXPECT_EQ(converted.left, converted.right);
  EXPECT_NEAR(static_cast<double>(converted.frames()), wave.size() * 44100.0 / 48000.0, 2.0);
}

// Renders one note for a moment and gives the left channel.
std::vector<float> playNote(RenderCore* core, int note, double seconds) {
  noteOn(core, static_cast<std::uint32_t>(note), NoTag, 100, 0.5f, 0.0, seconds);
  const double rate = coreSampleRate(core);
  std::vector<float> left(static_cast<std::size_t>(rate * seconds)), right(left.size());
  for (std::size_t p = 0; p < left.size(); p += 256) {
    const auto n = static_cast<std::int32_t>(std::min<std::size_t>(256, left.size() - p));
    render(core, left.data() + p, right.data() + p, n);
  }
  return left;
}

TEST(InstallSamplesTest, ConvertsToTheCoreRateSoNotesKeepTheirPitch) {
  for (double rate : {44100.0, 48000.0, 96000.0}) {
    RenderCore* core = createCore(rate);
    installSamples(core, testing::sineLibrary({69}), rate);
    const std::vector<float> out = playNote(core, 69, 0.5);
    EXPECT_NEAR(
        testing::strongestFrequency(testing::between(out, rate, 0.05, 0.45), rate, 400, 500, 0.5),
        440.0, 1.0)
        << rate;
    destroyCore(core);
  }
}

TEST(InstallSamplesTest, NotesOutsideTheKeyboardAreKeptButNeverPlay) {
  ScratchFolder data;
  writeLevelCaf(data.path() / "Piano" / "200.caf", 0.5f, 48000, 48000);
  writeLevelCaf(data.path() / "Piano" / "-1.caf", 0.5f, 48000, 48000);
  const SampleLibrary library = loadSampleLibrary(data.path());
  ASSERT_EQ(library.size(), 2u);

  RenderCore* core = createCore(48000);
  installSamples(core, library, 48000);
  for (int note : {0, 127}) {
    const std::vector<float> out = playNote(core, note, 0.1);
    EXPECT_EQ(testing::rms(out), 0.0) << note;
  }
  destroyCore(core);
}

TEST(InstallSamplesTest, AnEmptyLibraryLeavesTheCoreSilent) {
  RenderCore* core = createCore(48000);
  installSamples(core, SampleLibrary{}, 48000);
  EXPECT_EQ(testing::rms(playNote(core, 60, 0.1)), 0.0);
  destroyCore(core);
}

}  // namespace
}  // namespace quimbel

namespace quimbel {
namespace {

// Runs before anything reads the whole piano, so the part is read note by
// note; it must still be what the whole library would choose.
TEST(PianoPartTest, HoldsTheNearestSamplesAndCutConversionsMatchTheWholeOnes) {
  const std::vector<int> notes{0, 22, 23, 60, 61, 127, 128, -1};
  const SampleLibrary part = pianoSamplesNearest(notes);
  const SampleLibrary& whole = sampleLibrary();
  ASSERT_FALSE(whole.empty()) << "no piano in QUIMBEL_DATA_DIR";
  std::set<int> expected;
  for (int note : notes) {
    if (const auto nearest = nearestSampleNote(whole, note)) expected.insert(*nearest);
  }
  std::set<int> got;
  for (const auto& [note, sound] : part) {
    got.insert(note);
    EXPECT_EQ(sound.frames(), whole.at(note).frames()) << note;
  }
  EXPECT_EQ(got, expected);

  // A real recording's spectrum through the converter, cut at a few points.
  const int note = *nearestSampleNote(whole, 60);
  const SampleLibrary one{{note, whole.at(note)}};
  for (double rate : {44100.0, 96000.0}) {
    RenderCore* full = createCore(rate);
    installSamples(full, one, rate);
    const CoreSample* reference = full->samples[note].load();
    for (std::size_t reach : {1u, 700u, 30000u, 150000u}) {
      RenderCore* cut = createCore(rate);
      installSampleBeginnings(cut, one, rate, {{note, reach}});
      const CoreSample* sample = cut->samples[note].load();
      ASSERT_EQ(sample->frames, static_cast<std::int32_t>(reach)) << rate;
      EXPECT_TRUE(std::equal(sample->left, sample->left + reach, reference->left) &&
                  std::equal(sample->right, sample->right + reach, reference->right))
          << rate << " Hz, cut at " << reach;
      destroyCore(cut);
    }
    destroyCore(full);
  }
}

// The process-wide piano, prepared at launch for 44100 Hz: the first core
// at that rate takes the prepared samples, every later core and a core at
// another rate convert their own, and all of them play in tune.
TEST(PianoPreparationTest, EveryCoreGetsAFullInTunePianoWhetherPreparedOrNot) {
  preloadSampleLibrary(44100);
  preloadSampleLibrary(96000);  // a second call changes nothing
  ASSERT_FALSE(sampleLibrary().empty()) << "no piano in QUIMBEL_DATA_DIR";
  for (double rate : {44100.0, 44100.0, 48000.0}) {
    RenderCore* core = createCore(rate);
    installPianoSamples(core, rate);
    const std::vector<float> out = playNote(core, 60, 1.0);
    EXPECT_NEAR(
        testing::strongestFrequency(testing::between(out, rate, 0.05, 0.95), rate, 230, 290, 0.1),
        261.63, 261.63 * 0.003)
        << rate;
    destroyCore(core);
  }
}

}  // namespace
}  // namespace quimbel
