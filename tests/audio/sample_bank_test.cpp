#include "audio/sample_bank.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <fstream>
#include <set>
#include <stdexcept>

#include "audio/audio_fixtures.h"
#include "audio/core/render_core.h"

namespace quimbel {
namespace {

using testing::ScratchFolder;

// A 16-bit CAF file of the given interleaved samples.
inline void writeCaf(const std::filesystem::path& file, int channels, int rate,
                     const std::vector<std::int16_t>& interleaved) {
  std::filesystem::create_directories(file.parent_path());
  SF_INFO info{0, rate, channels, SF_FORMAT_CAF | SF_FORMAT_PCM_16, 0, 0};
  SNDFILE* out = sf_open(file.c_str(), SFM_WRITE, &info);
  if (out == nullptr) throw std::runtime_error("cannot write " + file.string());
  sf_writef_short(out, interleaved.data(), static_cast<sf_count_t>(interleaved.size()) / channels);
  sf_close(out);
}

// A mono file "+62.caf" of exact 16-bit values, a four-channel "60.caf"
// that replaces "+60.caf" (earlier in name order), and files that are no
// samples: the stem must be a signed decimal integer in range.
TEST(SampleLibraryTest, ReadsIntegerNamedCafFilesMonoOrWideTheLaterNameWinning) {
  ScratchFolder data;
  const auto piano = data.path() / "Piano";
  const std::vector<std::int16_t> mono{0, 1, -1, 32767, -32768, 12345};
  writeCaf(piano / "+62.caf", 1, 22050, mono);
  writeCaf(piano / "+60.caf", 2, 48000, {5, 5});
  writeCaf(piano / "60.caf", 4, 48000, {0, 1, 2, 3, 10, 11, 12, 13});
  for (const char* kept : {"200.caf", "007.caf", "-3.caf"})  // kept, though not all played
    writeCaf(piano / kept, 1, 48000, {1});
  // "70.caf" at the top level is unused while "Piano" exists.
  for (const char* name : {"Piano/piano.caf", "Piano/64.wav", "70.caf", "Piano/2147483648.caf",
                           "Piano/ 61.caf", "Piano/+-61.caf", "Piano/0x3D.caf", "Piano/6_1.caf"})
    writeCaf(data.path() / name, 1, 48000, {1});
  writeCaf(piano / "66.caf", 2, 48000, {});  // a header without frames
  std::ofstream(piano / "65.caf") << "not audio at all";

  const SampleLibrary library = loadSampleLibrary(data.path());
  std::set<int> notes;
  for (const auto& [note, sound] : library) notes.insert(note);
  ASSERT_EQ(notes, (std::set<int>{-3, 7, 60, 62, 200}));
  const Sound wide = library.at(60).sound(), single = library.at(62).sound();
  EXPECT_EQ(wide.left->at(1) * 32768, 10);
  EXPECT_EQ(wide.right->at(1) * 32768, 11);
  EXPECT_EQ(single.left, single.right);
  EXPECT_EQ(single.rate, 22050.0);
  std::vector<float> exact;
  for (std::int16_t x : mono) exact.push_back(x / 32768.0f);
  EXPECT_EQ(*single.left, exact);
  EXPECT_EQ(library.at(62).bytes(), mono.size() * 2) << "16-bit mono stays 16-bit and single";

  std::filesystem::remove_all(piano);
  EXPECT_EQ(loadSampleLibrary(data.path()).count(70), 1u) << "no Piano folder: the top level";
  EXPECT_TRUE(loadSampleLibrary("/nonexistent/quimbel/data").empty());
}

TEST(SoundAtRateTest, ConversionKeepsLengthPitchAndLevelAndNearRatesAreNotConverted) {
  const Sound sound =
      testing::makeSound(testing::sine(1000, 48000, 1.0), testing::sine(250, 48000, 1.0), 48000);
  for (double target : {48000.4, 47999.6})  // less than half a hertz apart
    EXPECT_EQ(soundAtRate(sound, target).left, sound.left) << target;
  EXPECT_EQ(soundAtRate(testing::makeSound({}, {}, 48000), 44100).frames(), 0u);
  for (const double to : {44100.0, 48001.0, 96000.0}) {
    const Sound converted = soundAtRate(sound, to);
    EXPECT_NEAR(static_cast<double>(converted.frames()), to, 2.0);
    EXPECT_EQ(converted.right->size(), converted.left->size());
    const auto left = testing::between(*converted.left, to, 0.25, 0.75);
    EXPECT_NEAR(testing::strongestFrequency(left, to, 950, 1050, 1), 1000, 2);
    EXPECT_NEAR(testing::rms(left), 0.5 / std::sqrt(2.0), 0.005) << to;
  }
}

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

TEST(InstallSamplesTest, NotesOutsideTheKeyboardAreNeverInstalledNorPlayed) {
  const std::vector<float> level(48000, 0.5f);
  const StoredSound sound(testing::makeSound(level, level, 48000));
  RenderCore* core = createCore(48000);
  installSamples(core, {{-1, sound}, {128, sound}, {200, sound}}, 48000);
  for (int note : {0, 127}) EXPECT_EQ(testing::rms(playNote(core, note, 0.1)), 0.0) << note;
  destroyCore(core);
}

// Whole conversions are kept in the cache folder. A later core plays what
// it takes from there exactly as it plays a fresh conversion; an entry that
// is damaged, or was made from other recordings, is never played but made
// again.
TEST(SampleCacheTest, KeptConversionsPlayAsFreshOnesAndBadEntriesAreRemade) {
  ScratchFolder scratch;
  const std::filesystem::path cache = scratch.path() / "cache";
  auto recording = [](double hz) {
    const std::vector<float> wave = testing::sine(hz, 48000, 0.5);
    return SampleLibrary{{60, StoredSound(testing::makeSound(wave, wave, 48000))}};
  };
  const SampleLibrary ours = recording(440), others = recording(660);
  auto played = [](const SampleLibrary& library, const std::filesystem::path& folder) {
    setenv("QUIMBEL_CACHE_DIR", folder.c_str(), 1);
    RenderCore* core = createCore(44100);
    installSamples(core, library, 44100);
    unsetenv("QUIMBEL_CACHE_DIR");
    std::vector<float> out = playNote(core, 60, 0.4);
    destroyCore(core);
    return out;
  };
  auto entry = [&] {  // the one file in the cache
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(cache), {}), 1);
    return std::filesystem::directory_iterator(cache)->path();
  };
  const std::vector<float> ourSound = played(ours, scratch.path() / "ours");
  EXPECT_EQ(played(ours, cache), ourSound);  // made and kept
  const std::string kept = contents(entry());
  EXPECT_EQ(played(ours, cache), ourSound);  // taken from the cache

  auto flipped = [&](std::size_t at) {
    return std::string(kept).replace(at, 1, 1, kept[at] ^ 0x10);
  };
  // A flipped sample, a flipped key, a cut entry.
  for (const std::string& bad :
       {flipped(48 + 2 * 1000 + 1), flipped(9), kept.substr(0, kept.size() - 2)}) {
    std::ofstream(entry(), std::ios::binary | std::ios::trunc) << bad;
    EXPECT_EQ(played(ours, cache), ourSound) << bad.size();
    EXPECT_EQ(contents(entry()), kept) << bad.size();  // made again
  }
  const std::vector<float> theirSound = played(others, scratch.path() / "theirs");
  EXPECT_EQ(played(others, cache), theirSound);  // stale: made again
  EXPECT_NE(contents(entry()), kept);
}

// Runs before anything reads the whole piano, so the part is read note by
// note; it must still be what the whole library would choose.
TEST(PianoPartTest, HoldsTheSamplesTheWholeLibraryWouldPlayTheNotesFrom) {
  const std::vector<int> notes{0, 22, 23, 60, 61, 127, 128, -1};
  const SampleLibrary part = pianoSamplesNearest(notes);
  const SampleLibrary& whole = sampleLibrary();
  ASSERT_FALSE(whole.empty()) << "no piano in QUIMBEL_DATA_DIR";
  std::set<int> expected, got;
  for (int note : notes)
    if (const auto nearest = nearestSampleNote(whole, note)) expected.insert(*nearest);
  for (const auto& [note, sound] : part) got.insert(note);
  EXPECT_EQ(got, expected);
}

// The piano prepared at launch for 44100 Hz: the first core at that rate
// takes the prepared samples, later cores and other rates convert their own,
// and all of them play middle C in tune.
TEST(PianoPreparationTest, EveryCoreGetsAnInTunePianoWhetherPreparedOrNot) {
  preloadSampleLibrary(44100);
  for (double rate : {44100.0, 44100.0, 48000.0}) {
    RenderCore* core = createCore(rate);
    installPianoSamples(core, rate);
    const std::vector<float> out = playNote(core, 60, 1.0);
    const auto middle = testing::between(out, rate, 0.05, 0.95);
    EXPECT_NEAR(testing::strongestFrequency(middle, rate, 230, 290, 0.1), 261.63, 0.8) << rate;
    destroyCore(core);
  }
}

}  // namespace
}  // namespace quimbel
