#pragma once

// The text form of numbers and switches in the settings store, read the same
// lenient way by every room that keeps a setting: surrounding blanks are
// ignored, a switch is "true"/"false" in any case or "1"/"0", and a value
// that cannot be read is absent, never an error.

#include <optional>
#include <string>
#include <string_view>

#include "base/main_thread.h"

namespace quimbel {

std::optional<double> parseSettingNumber(std::string_view text);
std::optional<bool> parseSettingBool(std::string_view text);
// A whole number ("5" or "5.0"); a fraction or anything else is absent.
std::optional<int> parseSettingInteger(std::string_view text, int low, int high);

// The switch stored under key; absent when missing or unreadable.
std::optional<bool> storedBool(const SettingsStore& store, std::string_view key);

std::string settingText(int value);
std::string settingText(bool value);

}  // namespace quimbel
