#include "audio/audio_export.h"

#include "audio/offline_render.h"
#include "audio/wav_writer.h"
#include "diagnostics/report.h"
#include "files/written.h"

namespace quimbel {

double audioExportSeconds(const Take& take) {
  return take.length + kExportSustainSeconds + kExportTailSeconds;
}

std::optional<std::filesystem::path> exportTakeAudio(const Take& take) {
  const std::filesystem::path file = makeTakeFolder() / "my chords.wav";
  // The live engine plays at volume squared; the file sounds the same.
  StereoBuffer audio = renderOffline(take.events, audioExportSeconds(take),
                                     take.volume * take.volume, kAudioExportRate);
  Written written =
      writeWavFile(audio.left, audio.right, static_cast<std::int32_t>(kAudioExportRate), file);
  if (!written) {
    diagnostics::logLine("[audio] export failed: " + written.error);
    return std::nullopt;
  }
  return written.file;
}

}  // namespace quimbel
