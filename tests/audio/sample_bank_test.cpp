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

TEST(SampleFileNameTest, StemMustBeASignedDecimalIntegerInRange) {
  const std::pair<const char*, std::optional<int>> cases[] = {{"60.caf", 60},
                                                              {"+62.caf", 62},
                                                              {"-3.caf", -3},
                                                              {"007.caf", 7},
                                                              {"2147483647.caf", 2147483647},
                                                              {"piano.caf", {}},
                                                              {"2147483648.caf", {}},
                                                              {" 60.caf", {}},
                                                              {"+.caf", {}},
                                                              {"+-60.caf", {}},
                                                              {"0x3C.caf", {}}};
  for (const auto& [name, note] : cases) EXPECT_EQ(sampleNoteFromFileName(name), note) << name;
}

// A small stereo file holding one constant 16-bit value: enough to tell files apart.
void writeLevel(const std::filesystem::path& file, std::int16_t level, int frames = 64) {
  testing::writeCaf(file, 2, 48000, std::vector<std::int16_t>(2 * frames, level));
}

float firstLevel(const StoredSound& stored) { return stored.sound().left->at(0) * 32768.0f; }

TEST(SampleLibraryTest, TakesReadableIntegerNamedCafFilesTheLaterNameWinning) {
  ScratchFolder data;
  const auto piano = data.path() / "Piano";
  writeLevel(piano / "+60.caf", 3);
  writeLevel(piano / "60.caf", 1);  // after "+60" in name order
  writeLevel(piano / "+62.caf", 2);
  writeLevel(piano / "piano.caf", 4);
  writeLevel(piano / "64.wav", 4);
  std::ofstream(piano / "65.caf") << "not audio at all";
  testing::writeCaf(piano / "66.caf", 2, 48000, {});  // a header without frames
  writeLevel(data.path() / "70.caf", 4);              // top level: unused while "Piano" exists

  const SampleLibrary library = loadSampleLibrary(data.path());
  ASSERT_EQ(library.size(), 2u);
  EXPECT_EQ(firstLevel(library.at(60)), 1);
  EXPECT_EQ(firstLevel(library.at(62)), 2);

  std::filesystem::remove_all(piano);
  EXPECT_EQ(loadSampleLibrary(data.path()).count(70), 1u) << "no Piano folder: the top level";
  EXPECT_TRUE(loadSampleLibrary("/nonexistent/quimbel/data").empty());
}

TEST(SoundFileTest, MonoSharesOneExactArrayAndWiderFilesGiveTheirFirstTwoChannels) {
  ScratchFolder data;
  const std::vector<std::int16_t> samples{0, 1, -1, 32767, -32768, 12345};
  testing::writeCaf(data.path() / "mono.caf", 1, 22050, samples);
  const SoundRead mono = readSoundFile(data.path() / "mono.caf");
  ASSERT_TRUE(mono.sound) << mono.error;
  const Sound sound = mono.sound->sound();
  EXPECT_EQ(sound.left, sound.right);
  EXPECT_EQ(sound.rate, 22050.0);
  ASSERT_EQ(sound.frames(), samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i)
    EXPECT_EQ((*sound.left)[i], samples[i] / 32768.0f) << i;
  EXPECT_EQ(mono.sound->bytes(), samples.size() * 2) << "16-bit mono stays 16-bit and single";

  testing::writeCaf(data.path() / "wide.caf", 4, 48000, {0, 1, 2, 3, 10, 11, 12, 13});
  const SoundRead wide = readSoundFile(data.path() / "wide.caf");
  ASSERT_TRUE(wide.sound) << wide.error;
  EXPECT_EQ(wide.sound->sound().left->at(1), 10 / 32768.0f);
  EXPECT_EQ(wide.sound->sound().right->at(1), 11 / 32768.0f);
}

TEST(SoundAtRateTest, RatesLessThanHalfAHertzApartAreNotConverted) {
  const std::vector<float> wave = testing::sine(1000, 48000, 0.1);
  const Sound sound = testing::makeSound(wave, wave, 48000);
  for (double target : {48000.4, 47999.6}) {
    const Sound same = soundAtRate(sound, target);
    EXPECT_TRUE(same.left == sound.left && same.right == sound.right) << target;
  }
  EXPECT_EQ(soundAtRate(testing::makeSound({}, {}, 48000), 44100).frames(), 0u);
}

class SoundAtRateConversionTest : public ::testing::TestWithParam<double> {};

TEST_P(SoundAtRateConversionTest, KeepsLengthPitchAndLevel) {
  const double from = 48000, to = GetParam();
  const Sound sound =
      testing::makeSound(testing::sine(1000, from, 1.0), testing::sine(250, from, 1.0), from);
  const Sound converted = soundAtRate(sound, to);
  EXPECT_EQ(converted.rate, to);
  EXPECT_NEAR(static_cast<double>(converted.frames()), to, 2.0);
  EXPECT_EQ(converted.right->size(), converted.left->size());
  const auto left = testing::between(*converted.left, to, 0.25, 0.75);
  EXPECT_NEAR(testing::strongestFrequency(left, to, 950, 1050, 1), 1000, 2);
  EXPECT_NEAR(testing::strongestFrequency(testing::between(*converted.right, to, 0.25, 0.75), to,
                                          200, 300, 1),
              250, 2);
  EXPECT_NEAR(testing::rms(left), 0.5 / std::sqrt(2.0), 0.005);
}

INSTANTIATE_TEST_SUITE_P(Rates, SoundAtRateConversionTest, ::testing::Values(44100, 48001, 96000));

// Renders one note for a moment and gives the left channel.
std::vector<float> playNote(RenderCore* core, int note, double seconds) {
  noteOn(core, static_cast<std::uint32_t>(note), NoTag, 100, 0.5f, 0.0, seconds);
  std::vector<float> left(static_cast<std::size_t>(coreSampleRate(core) * seconds)), right(left);
  for (std::size_t p = 0; p < left.size(); p += 256) {
    const auto n = static_cast<std::int32_t>(std::min<std::size_t>(256, left.size() - p));
    render(core, left.data() + p, right.data() + p, n);
  }
  return left;
}

TEST(InstallSamplesTest, NotesOutsideTheKeyboardAreKeptButNeverPlay) {
  ScratchFolder data;
  writeLevel(data.path() / "Piano" / "200.caf", 16384, 48000);
  writeLevel(data.path() / "Piano" / "-1.caf", 16384, 48000);
  const SampleLibrary library = loadSampleLibrary(data.path());
  ASSERT_EQ(library.size(), 2u);
  RenderCore* core = createCore(48000);
  installSamples(core, library, 48000);
  for (int note : {0, 127}) EXPECT_EQ(testing::rms(playNote(core, note, 0.1)), 0.0) << note;
  destroyCore(core);
}

// Runs before anything reads the whole piano, so the part is read note by
// note; it must still be what the whole library would choose, and a sample
// converted only up to a point must match the whole conversion up to there.
TEST(PianoPartTest, HoldsTheNearestSamplesAndCutConversionsMatchTheWholeOnes) {
  const std::vector<int> notes{0, 22, 23, 60, 61, 127, 128, -1};
  const SampleLibrary part = pianoSamplesNearest(notes);
  const SampleLibrary& whole = sampleLibrary();
  ASSERT_FALSE(whole.empty()) << "no piano in QUIMBEL_DATA_DIR";
  std::set<int> expected, got;
  for (int note : notes) {
    if (const auto nearest = nearestSampleNote(whole, note)) expected.insert(*nearest);
  }
  for (const auto& [note, sound] : part) {
    got.insert(note);
    EXPECT_EQ(sound.frames(), whole.at(note).frames()) << note;
  }
  EXPECT_EQ(got, expected);

  const int note = *nearestSampleNote(whole, 60);
  const SampleLibrary one{{note, whole.at(note)}};
  for (double rate : {44100.0, 96000.0}) {
    RenderCore* full = createCore(rate);
    installSamples(full, one, rate);
    const CoreSample* reference = full->samples[note].load();
    for (std::size_t reach : {1u, 700u, 150000u}) {
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

// The piano prepared at launch for 44100 Hz: the first core at that rate
// takes the prepared samples, later cores and other rates convert their own,
// and all of them play middle C in tune.
TEST(PianoPreparationTest, EveryCoreGetsAnInTunePianoWhetherPreparedOrNot) {
  preloadSampleLibrary(44100);
  preloadSampleLibrary(96000);  // a second call changes nothing
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
