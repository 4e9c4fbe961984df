#include "export/video_export.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <system_error>
#include <thread>

#include "export/video_frames.h"
#include "screen/input.h"

namespace quimbel {
namespace {

// The ease curve of a fading pad: a cubic Bézier through (0, 0), (0.2, 0.6),
// (0.3, 1.0) and (1, 1), as x(s) and y(s).
double easeX(double s) {
  const double r = 1.0 - s;
  return 0.6 * s * r * r + 0.9 * s * s * r + s * s * s;
}
double easeY(double s) {
  const double r = 1.0 - s;
  return 1.8 * s * r * r + 3.0 * s * s * r + s * s * s;
}

struct ChannelTables {
  std::array<std::uint8_t, 256> toVideo{};
  std::array<std::uint8_t, 256> fromVideo{};
};

const ChannelTables& channelTables() {
  static const ChannelTables tables = [] {
    constexpr double kVideoGamma = 1.961;
    ChannelTables t;
    for (int i = 0; i < 256; ++i) {
      const double srgb = i / 255.0;
      const double linear = srgb <= 0.04045 ? srgb / 12.92 : std::pow((srgb + 0.055) / 1.055, 2.4);
      t.toVideo[i] =
          static_cast<std::uint8_t>(std::lround(std::pow(linear, 1.0 / kVideoGamma) * 255.0));

      const double back = std::pow(i / 255.0, kVideoGamma);
      const double encoded =
          back <= 0.0031308 ? back * 12.92 : 1.055 * std::pow(back, 1.0 / 2.4) - 0.055;
      t.fromVideo[i] =
          static_cast<std::uint8_t>(std::lround(std::clamp(encoded, 0.0, 1.0) * 255.0));
    }
    return t;
  }();
  return tables;
}

std::uint32_t mapChannels(std::uint32_t rgb, const std::array<std::uint8_t, 256>& table) {
  return static_cast<std::uint32_t>(table[(rgb >> 16) & 0xFF]) << 16 |
         static_cast<std::uint32_t>(table[(rgb >> 8) & 0xFF]) << 8 | table[rgb & 0xFF];
}

void removeQuietly(const std::filesystem::path& file) {
  std::error_code ignored;
  std::filesystem::remove(file, ignored);
}

}  // namespace

double VideoExport::passLength() const {
  if (!events.empty()) {
    const double last = events.back().t;
    return last < taken ? taken : last + 0.05;
  }
  return taken > 0.0 ? taken : 0.05;
}

double VideoExport::totalLength() const { return 2.0 * passLength() + kOutroSeconds; }

int VideoExport::frameCount() const {
  return static_cast<int>(std::ceil(totalLength() * kVideoFps));
}

std::vector<ChordHit> VideoExport::doubledEvents() const {
  const double pass = passLength();
  std::vector<ChordHit> doubled;
  doubled.reserve(events.size() * 2);
  doubled.insert(doubled.end(), events.begin(), events.end());
  for (ChordHit hit : events) {
    hit.t += pass;
    doubled.push_back(std::move(hit));
  }
  std::stable_sort(doubled.begin(), doubled.end(),
                   [](const ChordHit& a, const ChordHit& b) { return a.t < b.t; });
  return doubled;
}

VideoExport::Frame VideoExport::frameState(double now) const {
  return frameStateOf(doubledEvents(), key, now);
}

VideoExport::Frame frameStateOf(std::span<const ChordHit> doubled, const Chords::Key& key,
                                double now) {
  VideoExport::Frame frame;
  const ChordScreen::Shown* shown = nullptr;
  for (const ChordHit& hit : doubled) {
    if (!(hit.t <= now)) continue;
    shown = &hit.shown;
    // A pad index from outside the grid lights nothing rather than writing
    // past the pad arrays.
    const bool onGrid = hit.pad >= 0 && hit.pad < kVideoPads;
    if (now < hit.t + hit.hold) {
      if (onGrid) {
        frame.pressed[hit.pad] = true;
        frame.glow[hit.pad] = 1.0;
      }
      if (hit.seventh || hit.ninth) frame.seventh = true;
      if (hit.ninth) frame.ninth = true;
    } else if (onGrid) {
      frame.glow[hit.pad] = std::max(frame.glow[hit.pad], releaseGlow(now - (hit.t + hit.hold)));
    }
  }

  ChordScreen::Input input;
  input.key = key;
  if (shown != nullptr) input.shown = *shown;
  input.state = PadState::ready;
  input.countN = 0;
  input.recAt = -1e9;
  frame.cells = ChordScreen::compose(input, now * 1000.0);
  return frame;
}

double releaseGlow(double seconds) {
  const double p = std::min(seconds / kGlowFadeSeconds, 1.0);
  double low = 0.0;
  double high = 1.0;
  for (int round = 0; round < 40; ++round) {
    const double mid = (low + high) / 2.0;
    if (easeX(mid) < p) {
      low = mid;
    } else {
      high = mid;
    }
  }
  return 1.0 - easeY((low + high) / 2.0);
}

double outroFade(double u) { return std::clamp(4.0 * u, 0.0, 1.0); }

std::uint8_t toVideoChannel(std::uint8_t srgb) { return channelTables().toVideo[srgb]; }
std::uint8_t fromVideoChannel(std::uint8_t video) { return channelTables().fromVideo[video]; }
std::uint32_t toVideoColor(std::uint32_t rgb) { return mapChannels(rgb, channelTables().toVideo); }
std::uint32_t fromVideoColor(std::uint32_t rgb) {
  return mapChannels(rgb, channelTables().fromVideo);
}

Written VideoExport::renderVideo(const std::filesystem::path& url) const {
  const std::filesystem::path folder = url.parent_path();
  const std::filesystem::path videoOnly = folder / "video-only.mp4";
  const std::filesystem::path sound = folder / "sound.m4a";
  removeQuietly(videoOnly);
  removeQuietly(sound);
  removeQuietly(url);

  // The sound starts beside the encoder only once the drawing is done and its
  // images are freed: the encoder's look-ahead holds most of the export's
  // memory, and the sound's buffers then take the images' place instead of
  // adding to the peak. A failed video is still reported before the sound.
  Written soundWritten;
  std::jthread soundThread;  // joined on every way out
  const Written videoWritten = writeVideoFrames(*this, videoOnly, [&] {
    try {
      soundThread = std::jthread([&] {
        // Nothing may escape the thread; what it throws fails the sound.
        try {
          soundWritten = writeSound(sound);
        } catch (const std::exception& e) {
          soundWritten = {std::nullopt, std::string("cannot write the sound: ") + e.what()};
        }
      });
    } catch (const std::system_error&) {
      // No thread to spare: the sound follows the pictures.
    }
  });
  if (soundThread.joinable()) {
    soundThread.join();
  } else if (videoWritten) {
    soundWritten = writeSound(sound);
  }
  if (!videoWritten) return videoWritten;
  if (!soundWritten) return soundWritten;
  if (Written w = mux(videoOnly, sound, url); !w) return w;

  removeQuietly(videoOnly);
  removeQuietly(sound);
  return {url, {}};
}

}  // namespace quimbel
