#include "audio/wav_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "audio/audio_export.h"
#include "audio/audio_fixtures.h"
#include "audio/offline_render.h"
#include "music/voicing.h"

namespace quimbel {
namespace {

using testing::ScratchFolder;

// The whole file's bytes, as the export streams them.
std::vector<std::uint8_t> wavFileData(std::span<const float> left, std::span<const float> right,
                                      std::int32_t sampleRate) {
  std::vector<std::uint8_t> bytes = wavHeader(left.size(), sampleRate);
  if (!bytes.empty()) appendWavFrames(bytes, left, right);
  return bytes;
}

std::vector<std::uint8_t> fileBytes(const std::filesystem::path& file) {
  const std::string bytes = contents(file);
  return {bytes.begin(), bytes.end()};
}

TEST(WavSampleTest, ClipsTruncatesTowardZeroAndNeverReachesMinus32768) {
  const std::pair<float, std::int16_t> cases[] = {{3.0f, 32767},        {INFINITY, 32767},
                                                  {0.99999994f, 32766}, {-1e-6f, 0},
                                                  {-3.0f, -32767},      {-INFINITY, -32767}};
  for (const auto& [x, expected] : cases) EXPECT_EQ(wavSample(x), expected) << x;
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

  const std::vector<std::uint8_t> shortRight = wavFileData(left, {right.data(), 1}, 8000);
  ASSERT_EQ(shortRight.size(), 44u + 12u);
  EXPECT_EQ(shortRight[50] | shortRight[51] | shortRight[54] | shortRight[55], 0)
      << "missing right values are silence";
}

TEST(WavFileTest, UnwritableDestinationsFailWithoutLeavingAFile) {
  ScratchFolder folder;
  const double twoFrames = 2.0 / 44100.0;
  const Written missingFolder =
      renderWavFile({}, twoFrames, 1.0f, 44100, folder.path() / "no" / "x.wav");
  EXPECT_FALSE(missingFolder || missingFolder.error.empty());
  for (std::int32_t rate : {-1, 1 << 30})
    EXPECT_FALSE(renderWavFile({}, twoFrames, 1.0f, rate, folder.path() / "bad rate.wav")) << rate;
  EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
}

TEST(AudioExportTest, TwoSecondTakeIsRenderedAtVolumeSquaredIntoAFreshFile) {
  ScratchFolder tmp;
  Take take;
  take.length = 2.0;
  take.volume = 0.5f;
  take.events = {{.voicing = plainVoicing(std::vector{60, 64, 67})}};
  EXPECT_DOUBLE_EQ(audioExportSeconds(take), 5.4);
  const std::optional<std::filesystem::path> file = exportTakeAudio(take).file;
  ASSERT_TRUE(file);
  EXPECT_EQ(file->filename(), "my chords.wav");
  EXPECT_EQ(file->parent_path().parent_path(), tmp.path() / "Quimbel" / "Takes");

  // The file is the whole 5.4 s render at a quarter's gain, laid out as the
  // header test lays it out; the frame count is offline_render_test's.
  const StereoBuffer expected = renderOffline(take.events, 5.4, 0.25f, 44100);
  EXPECT_GT(testing::rms(expected.left), 0.01) << "the chord is in the file";
  EXPECT_EQ(fileBytes(*file), wavFileData(expected.left, expected.right, 44100));

  take.length = 0.1;
  const std::optional<std::filesystem::path> second = exportTakeAudio(take).file;
  ASSERT_TRUE(second);
  EXPECT_NE(second->parent_path(), file->parent_path()) << "an export never overwrites another";
}

TEST(AudioExportTest, StreamedFileEqualsTheWholeRenderAcrossBlockAndChunkBoundaries) {
  ScratchFolder folder;
  // Hits on, just before and just after block boundaries, and two at once.
  std::vector<ChordHit> hits;
  for (double frame : {0.0, 16383.0, 16384.0, 16385.0, 32768.0 + 511.0, 40000.0, 40000.0}) {
    const std::vector<int> notes{48 + static_cast<int>(hits.size()), 64, 67};
    hits.push_back({.t = frame / 48000.0, .voicing = {notes, {0, 0.01, 0.02}}});
  }
  const double seconds = 1.3;
  const StereoBuffer whole = renderOffline(hits, seconds, 0.8f, 48000);
  const Written streamed =
      renderWavFile(hits, seconds, 0.8f, 48000, folder.path() / "streamed.wav");
  ASSERT_TRUE(streamed) << streamed.error;
  EXPECT_EQ(fileBytes(*streamed.file), wavFileData(whole.left, whole.right, 48000));

  std::size_t blocks = 0;
  EXPECT_FALSE(renderOfflineBlocks(
      hits, seconds, 0.8f, 48000,
      [&](std::span<const float>, std::span<const float>) { return ++blocks < 2; }))
      << "a sink that stops ends the render";
  EXPECT_EQ(blocks, 2u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1)
      << "the streamed file alone, nothing left beside it";
}

}  // namespace
}  // namespace quimbel
