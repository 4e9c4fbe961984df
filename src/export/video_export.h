#pragma once

// The take as a portrait video: 1080 × 1920 at 30 frames per second, H.264
// with AAC sound. The video draws the instrument playing the take twice (the
// pixel screen, the eight pads lighting up, the knob), then a short outro with
// the icon, the name and the web address.
//
// Thread contract: a VideoExport is a plain value copied from the pad model;
// every operation here may run on any thread and shares nothing mutable with
// the model. The operations that write files block their thread until the
// file is complete. Drawing the frames needs the program's QGuiApplication
// to exist (text goes through Qt's font machinery); without one, writeFrames
// fails with a message instead of drawing.

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "files/written.h"
#include "music/chord_hit.h"
#include "music/key.h"
#include "screen/compose.h"

namespace quimbel {

inline constexpr int kVideoWidth = 1080;
inline constexpr int kVideoHeight = 1920;
inline constexpr int kVideoFps = 30;
inline constexpr double kOutroSeconds = 1.8;
inline constexpr int kVideoSoundRate = 48000;
// A released pad's glow fades out over this long.
inline constexpr double kGlowFadeSeconds = 1.6;
// The eight faces of the pad grid: seven chord pads and the sevenths pad.
inline constexpr int kVideoPads = 8;

// The maker's web address, shown under the name in the outro.
inline constexpr const char* kMakerAddress = "quimbel.app";
inline constexpr const char* kVideoFileName = "Quimbel take.mp4";

// An image as 32-bit premultiplied pixels in memory order B, G, R, A, rows top
// to bottom without padding; colours are sRGB.
struct VideoBitmap {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> bgra;

  friend bool operator==(const VideoBitmap&, const VideoBitmap&) = default;
};

struct VideoExport {
  std::vector<ChordHit> events;  // the take's hits in time order
  double taken = 0.0;            // seconds: the loop length, or the recorded length without hits
  Chords::Key key;
  int knob = 0;
  float volume = 1.0f;              // the model's volume squared
  std::optional<VideoBitmap> icon;  // the application icon, 280 × 280

  // What one frame of the take shows.
  struct Frame {
    ChordScreen::Cells cells{};
    std::array<double, kVideoPads> glow{};   // 0 … 1
    std::array<bool, kVideoPads> pressed{};  // the pad's key is still down
    bool seventh = false;
    bool ninth = false;
  };

  // Seconds of one pass through the take: the take's length, or a little past
  // its last hit when that starts at or after the end.
  double passLength() const;
  // Two passes and the outro.
  double totalLength() const;
  int frameCount() const;
  // The hits twice, the second copy one pass later, stably sorted by time.
  std::vector<ChordHit> doubledEvents() const;
  // The screen, glows and flags at `now` seconds from the start of the video.
  Frame frameState(double now) const;

  // The whole export into `url`: frames, sound and the two muxed together.
  // The intermediate files live beside `url` and are removed on success.
  Written renderVideo(const std::filesystem::path& url) const;
  // The silent video.
  Written writeFrames(const std::filesystem::path& url) const;
  // The sound as AAC in an MPEG-4 audio file.
  Written writeSound(const std::filesystem::path& url) const;
  // The first video stream of `videoUrl` and the first audio stream of
  // `soundUrl`, both cut to the video's duration, copied into `outputUrl`
  // (written aside and moved into place; the index leads the file).
  static Written mux(const std::filesystem::path& videoUrl, const std::filesystem::path& soundUrl,
                     const std::filesystem::path& outputUrl);
};

// The frame state for a list already doubled (doubledEvents), so that a
// render can build that list once.
VideoExport::Frame frameStateOf(std::span<const ChordHit> doubled, const Chords::Key& key,
                                double now);

// The glow of a pad `seconds` after its key came up: 1 − y(s) of the ease
// curve (0.2, 0.6, 0.3, 1.0) at x(s) = seconds / 1.6; 1 at release, 0 from
// 1.6 s on.
double releaseGlow(double seconds);

// The outro's opacity `u` seconds after it began: a quarter-second fade-in.
double outroFade(double u);

// The video's colour space shares the sRGB primaries but encodes with a pure
// power of 1 / 1.961: every sRGB colour drawn into a frame is first
// linearised with the sRGB curve and then encoded with that power.
std::uint8_t toVideoChannel(std::uint8_t srgb);
std::uint8_t fromVideoChannel(std::uint8_t video);
std::uint32_t toVideoColor(std::uint32_t rgb);
std::uint32_t fromVideoColor(std::uint32_t rgb);

}  // namespace quimbel
