#pragma once

// The pad model's six stored settings and their text form in the settings
// store: integers and booleans as every room writes them (setting_text.h),
// the volume as the shortest text that reads back to the same double, the key
// as its JSON.
// Reading is lenient and never fails: a value that cannot be read is treated
// as absent, and numbers out of range are clamped.

#include <optional>
#include <string>
#include <string_view>

#include "base/main_thread.h"
#include "base/setting_text.h"
#include "music/fresh_settings.h"
#include "music/key.h"

namespace quimbel {

namespace SettingKey {
inline constexpr std::string_view key = "key";
inline constexpr std::string_view knob = "knob";
inline constexpr std::string_view bass = "bass";
inline constexpr std::string_view quantize = "quantize";
inline constexpr std::string_view bpm = "bpm";
inline constexpr std::string_view volume = "volume";
}  // namespace SettingKey

// What the store holds, already decoded and brought into range; an absent
// member leaves the model's default.
struct StoredSettings {
  std::optional<Chords::Key> key;  // only with a tonic 0 … 11
  std::optional<int> knob;         // −5 … 5
  std::optional<bool> bass;
  std::optional<bool> quantize;
  std::optional<int> bpm;        // 60 … 200
  std::optional<double> volume;  // 0 … 1
};

StoredSettings readStoredSettings(const SettingsStore& store);

std::string settingText(double value);
std::string settingText(const Chords::Key& key);

}  // namespace quimbel
