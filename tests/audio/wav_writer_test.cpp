#include "audio/wav_writer.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>

#include "audio/audio_export.h"
#include "audio/audio_fixtures.h"
#include "audio/offline_render.h"

namespace quimbel {
namespace {

using testing::ScratchFolder;

struct SampleCase {
  const char* rule;
  float x;
  std::int16_t expected;
};

class WavSampleTest : public ::testing::TestWithParam<SampleCase> {};

TEST_P(WavSampleTest, ConvertsLikeTheInstrument) {
  EXPECT_EQ(wavSample(GetParam().x), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, WavSampleTest,
    ::testing::Values(SampleCase{"full scale up", 1.0f, 32767},
                      SampleCase{"clipped up", 3.0f, 32767},
                      SampleCase{"infinity", INFINITY, 32767},
                      SampleCase{"not a number", std::numeric_limits<float>::quiet_NaN(), 32767},
                      SampleCase{"full scale down never reaches -32768", -1.0f, -32767},
                      SampleCase{"clipped down", -3.0f, -32767},
                      SampleCase{"minus infinity", -INFINITY, -32767},
                      SampleCase{"half truncates toward zero", 0.5f, 16383},
                      SampleCase{"minus half truncates toward zero", -0.5f, -16383},
                      SampleCase{"just below full scale", 0.99999994f, 32766},
                      SampleCase{"tiny negative is zero", -1e-6f, 0}, SampleCase{"zero", 0.0f, 0}),
    [](const auto& info) {
      std::string name = info.param.rule;
      for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return name;
    });

std::vector<std::uint8_t> readBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(WavFileTest, HeaderAndFramesAreLaidOutByteForByte) {
  const std::vector<float> left{1.0f, -1.0f, 0.5f};
  const std::vector<float> right{std::numeric_limits<float>::quiet_NaN(), 0.0f, -0.5f};
  const std::vector<std::uint8_t> expected{
      'R',  'I',  'F',  'F',  48,  0,   0,   0,                 // 12 data bytes + 36
      'W',  'A',  'V',  'E',  'f', 'm', 't', ' ', 16, 0, 0, 0,  // format chunk of 16 bytes
      1,    0,    2,    0,                                      // integer PCM, 2 channels
      0x44, 0xAC, 0,    0,                                      // 44100
      0x10, 0xB1, 0x02, 0,                                      // 176400 bytes per second
      4,    0,    16,   0,                                      // 4 bytes per frame, 16 bits
      'd',  'a',  't',  'a',  12,  0,   0,   0,                 //
      0xFF, 0x7F, 0xFF, 0x7F,                                   // 32767, NaN as 32767
      0x01, 0x80, 0x00, 0x00,                                   // -32767, 0
      0xFF, 0x3F, 0x01, 0xC0,                                   // 16383, -16383
  };
  EXPECT_EQ(wavFileData(left, right, 44100), expected);
}

TEST(WavFileTest, ARealReaderSeesTheWrittenFrames) {
  ScratchFolder folder;
  const std::vector<float> left = testing::sine(1000, 48000, 0.01, 0.9f);
  const std::vector<float> right = testing::sine(250, 48000, 0.01, -0.9f);
  const auto file = folder.path() / "read back.wav";
  const Written written = writeWavFile(left, right, 48000, file);
  ASSERT_TRUE(written) << written.error;
  EXPECT_EQ(*written.file, file);

  SF_INFO info{};
  SNDFILE* in = sf_open(file.c_str(), SFM_READ, &info);
  ASSERT_NE(in, nullptr) << sf_strerror(nullptr);
  EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  EXPECT_EQ(info.channels, 2);
  EXPECT_EQ(info.samplerate, 48000);
  ASSERT_EQ(info.frames, static_cast<sf_count_t>(left.size()));
  std::vector<short> frames(left.size() * 2);
  EXPECT_EQ(sf_readf_short(in, frames.data(), info.frames), info.frames);
  sf_close(in);
  for (std::size_t i = 0; i < left.size(); ++i) {
    ASSERT_EQ(frames[2 * i], wavSample(left[i])) << i;
    ASSERT_EQ(frames[2 * i + 1], wavSample(right[i])) << i;
  }
}

TEST(WavFileTest, AShortRightChannelIsWrittenAsSilence) {
  const std::vector<float> left{0.5f, 0.5f};
  const std::vector<float> right{0.5f};
  const std::vector<std::uint8_t> bytes = wavFileData(left, right, 8000);
  ASSERT_EQ(bytes.size(), 44u + 8u);
  EXPECT_EQ(bytes[50], 0);
  EXPECT_EQ(bytes[51], 0);
}

TEST(WavFileTest, UnwritableDestinationsFailWithoutLeavingAFile) {
  ScratchFolder folder;
  const std::vector<float> audio{0.1f, 0.2f};
  const Written missingFolder =
      writeWavFile(audio, audio, 44100, folder.path() / "no such" / "x.wav");
  EXPECT_FALSE(missingFolder);
  EXPECT_FALSE(missingFolder.error.empty());

  for (std::int32_t rate : {-1, 1 << 30}) {
    const auto file = folder.path() / "bad rate.wav";
    EXPECT_FALSE(writeWavFile(audio, audio, rate, file)) << rate;
    EXPECT_FALSE(std::filesystem::exists(file)) << rate;
  }
  EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
}

// The take's audio export writes into $TMPDIR/Takes/<UUID>/.
class AudioExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TMPDIR");
    if (old != nullptr) oldTmp_ = old;
    setenv("TMPDIR", folder_.path().c_str(), 1);
  }
  void TearDown() override {
    if (oldTmp_) {
      setenv("TMPDIR", oldTmp_->c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
  }

  ScratchFolder folder_;
  std::optional<std::string> oldTmp_;
};

TEST_F(AudioExportTest, TwoSecondTakeBecomesAFreshFileOf238141FramesAt44100) {
  Take take;
  take.length = 2.0;
  take.volume = 0.8f;
  ChordHit hit;
  hit.voicing.notes = {60, 64, 67};
  hit.voicing.offsets = {0, 0, 0};
  take.events = {hit};

  EXPECT_DOUBLE_EQ(audioExportSeconds(take), 5.4);
  const std::optional<std::filesystem::path> first = exportTakeAudio(take);
  const std::optional<std::filesystem::path> second = exportTakeAudio(take);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->filename(), "my chords.wav");
  EXPECT_EQ(first->parent_path().parent_path(), folder_.path() / "Takes");
  EXPECT_NE(first->parent_path(), second->parent_path())
      << "an export never overwrites an earlier one";

  // ceil(5.4 × 44100) in doubles is 238141, one frame above exact arithmetic.
  constexpr sf_count_t kFrames = 238141;
  EXPECT_EQ(std::filesystem::file_size(*first), 44u + kFrames * 4u);
  SF_INFO info{};
  SNDFILE* in = sf_open(first->c_str(), SFM_READ, &info);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(info.samplerate, 44100);
  EXPECT_EQ(info.frames, kFrames);
  std::vector<float> frames(static_cast<std::size_t>(kFrames) * 2);
  sf_readf_float(in, frames.data(), kFrames);
  sf_close(in);
  EXPECT_GT(testing::rms(frames), 0.01) << "the chord is in the file";
  EXPECT_EQ(readBytes(*first), readBytes(*second)) << "rendering is deterministic";
}

TEST_F(AudioExportTest, VolumeIsAppliedSquared) {
  Take take;
  take.length = 0.5;
  ChordHit hit;
  hit.voicing.notes = {60};
  hit.voicing.offsets = {0};
  take.events = {hit};
  take.volume = 0.5f;
  const auto file = exportTakeAudio(take);
  ASSERT_TRUE(file);
  const std::vector<std::uint8_t> bytes = readBytes(*file);
  const StereoBuffer expected = renderOffline(take.events, audioExportSeconds(take), 0.25f, 44100);
  EXPECT_EQ(bytes, wavFileData(expected.left, expected.right, 44100));
}

TEST_F(AudioExportTest, AnUncreatableFolderGivesNoFile) {
  setenv("TMPDIR", (folder_.path() / "file").c_str(), 1);
  std::ofstream(folder_.path() / "file") << "in the way";
  Take take;
  take.length = 0.1;
  EXPECT_FALSE(exportTakeAudio(take));
}

}  // namespace
}  // namespace quimbel
