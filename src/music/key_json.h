#pragma once

// The stored form of a key: {"tonic": 1, "mode": "minor"}.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "music/key.h"

namespace quimbel::Chords {

nlohmann::json keyToJson(const Key& key);

// Fails (none) when either member is missing, the tonic is not a whole number
// or the mode is neither "major" nor "minor". A tonic outside 0 … 11 decodes;
// the caller decides whether to use it.
std::optional<Key> keyFromJson(const nlohmann::json& json);

// Compact text form and its reader; decodeKey never throws.
std::string encodeKey(const Key& key);
std::optional<Key> decodeKey(std::string_view text);

}  // namespace quimbel::Chords
