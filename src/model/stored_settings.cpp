#include "model/stored_settings.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>

#include "music/key_json.h"

namespace quimbel {

namespace {

std::string_view trimmed(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// Clamping in double space first keeps a huge stored integer from
// overflowing on its way into an int.
std::optional<int> clampedInteger(std::optional<std::string> text, int low, int high) {
  if (!text) return std::nullopt;
  auto number = parseSettingNumber(*text);
  if (!number || *number != std::trunc(*number)) return std::nullopt;
  return static_cast<int>(std::clamp(*number, double(low), double(high)));
}

}  // namespace

std::optional<double> parseSettingNumber(std::string_view text) {
  text = trimmed(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  double value = 0.0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

std::optional<bool> parseSettingBool(std::string_view text) {
  text = trimmed(text);
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower == "true" || lower == "1") return true;
  if (lower == "false" || lower == "0") return false;
  return std::nullopt;
}

std::string settingText(int value) { return std::to_string(value); }

std::string settingText(bool value) { return value ? "true" : "false"; }

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
  if (auto text = store.value(SettingKey::bass)) settings.bass = parseSettingBool(*text);
  if (auto text = store.value(SettingKey::quantize)) settings.quantize = parseSettingBool(*text);
  settings.bpm = clampedInteger(store.value(SettingKey::bpm), kBpmMin, kBpmMax);
  if (auto text = store.value(SettingKey::volume)) {
    if (auto volume = parseSettingNumber(*text)) settings.volume = std::clamp(*volume, 0.0, 1.0);
  }
  return settings;
}

}  // namespace quimbel
