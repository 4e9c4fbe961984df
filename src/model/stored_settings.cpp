#include "model/stored_settings.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "music/key_json.h"

namespace quimbel {

namespace {

std::optional<int> clampedInteger(std::optional<std::string> text, int low, int high) {
  if (!text) return std::nullopt;
  return parseSettingInteger(*text, low, high);
}

}  // namespace

std::string settingText(double value) {
  std::array<char, 32> buffer{};
  auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  if (error != std::errc()) return "0";
  return std::string(buffer.data(), end);
}

std::string settingText(const Chords::Key& key) { return Chords::encodeKey(key); }

StoredSettings readStoredSettings(const SettingsStore& store) {
  StoredSettings settings;
  if (auto text = store.value(SettingKey::key)) {
    auto key = Chords::decodeKey(*text);
    if (key && key->tonic >= 0 && key->tonic <= 11) settings.key = key;
  }
  settings.knob = clampedInteger(store.value(SettingKey::knob), kKnobMin, kKnobMax);
  settings.bass = storedBool(store, SettingKey::bass);
  settings.quantize = storedBool(store, SettingKey::quantize);
  settings.bpm = clampedInteger(store.value(SettingKey::bpm), kBpmMin, kBpmMax);
  if (auto text = store.value(SettingKey::volume)) {
    if (auto volume = parseSettingNumber(*text)) settings.volume = std::clamp(*volume, 0.0, 1.0);
  }
  return settings;
}

}  // namespace quimbel
