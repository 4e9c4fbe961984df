#include "audio/audio_export.h"

#include "audio/offline_render.h"
#include "audio/wav_writer.h"
#include "files/written.h"

namespace quimbel {

Written renderWavFile(std::span<const ChordHit> hits, double seconds, float volume,
                      std::int32_t sampleRate, const std::filesystem::path& destination) {
  const std::size_t frames = offlineFrameCount(seconds, sampleRate);
  const std::vector<std::uint8_t> header = wavHeader(frames, sampleRate);
  if (header.empty())
    return {std::nullopt, destination.string() + ": too much audio for a WAV file"};
  return writeFileAside(destination, [&](int fd) {
    int error = writeAll(fd, header.data(), header.size());
    std::vector<std::uint8_t> block;
    block.reserve(kOfflineBlockFrames * 4);
    renderOfflineBlocks(hits, seconds, volume, sampleRate,
                        [&](std::span<const float> left, std::span<const float> right) {
                          block.clear();
                          appendWavFrames(block, left, right);
                          if (error == 0) error = writeAll(fd, block.data(), block.size());
                          return error == 0;
                        });
    return error;
  });
}

double audioExportSeconds(const Take& take) {
  return take.length + kExportSustainSeconds + kExportTailSeconds;
}

Written exportTakeAudio(const Take& take) {
  const Written folder = makeTakeFolder();
  // The live engine plays at volume squared; the file sounds the same.
  Written written =
      folder ? renderWavFile(take.events, audioExportSeconds(take), take.volume * take.volume,
                             static_cast<std::int32_t>(kAudioExportRate),
                             *folder.file / "my chords.wav")
             : folder;
  return written;
}

}  // namespace quimbel
