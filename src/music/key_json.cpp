#include "music/key_json.h"

#include <climits>
#include <cmath>

#include "music/chords.h"

namespace quimbel::Chords {

nlohmann::json keyToJson(const Key& key) {
  return {{"tonic", key.tonic}, {"mode", std::string(modeName(key.mode))}};
}

std::optional<Key> keyFromJson(const nlohmann::json& json) {
  if (!json.is_object()) return std::nullopt;
  auto tonic = json.find("tonic");
  auto mode = json.find("mode");
  if (tonic == json.end() || mode == json.end()) return std::nullopt;
  if (!tonic->is_number() || !mode->is_string()) return std::nullopt;

  Key key;
  if (tonic->is_number_integer()) {
    // Covers both signed and unsigned storage; reject what an int cannot hold.
    if (tonic->is_number_unsigned()) {
      auto value = tonic->get<std::uint64_t>();
      if (value > static_cast<std::uint64_t>(INT_MAX)) return std::nullopt;
      key.tonic = static_cast<int>(value);
    } else {
      auto value = tonic->get<std::int64_t>();
      if (value < INT_MIN || value > INT_MAX) return std::nullopt;
      key.tonic = static_cast<int>(value);
    }
  } else {
    // 1.0 is a whole number; 1.5, infinities and values beyond an int are not.
    double value = tonic->get<double>();
    if (!std::isfinite(value) || value != std::trunc(value) || value < INT_MIN || value > INT_MAX) {
      return std::nullopt;
    }
    key.tonic = static_cast<int>(value);
  }

  auto parsed = modeFromName(mode->get_ref<const std::string&>());
  if (!parsed) return std::nullopt;
  key.mode = *parsed;
  return key;
}

std::string encodeKey(const Key& key) { return keyToJson(key).dump(); }

std::optional<Key> decodeKey(std::string_view text) {
  auto json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (json.is_discarded()) return std::nullopt;
  return keyFromJson(json);
}

}  // namespace quimbel::Chords
