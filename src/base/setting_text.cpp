#include "base/setting_text.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>

namespace quimbel {

namespace {

std::string_view trimmed(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
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

std::optional<int> parseSettingInteger(std::string_view text, int low, int high) {
  // Clamping in double space first keeps a huge stored integer from
  // overflowing on its way into an int.
  auto number = parseSettingNumber(text);
  if (!number || *number != std::trunc(*number)) return std::nullopt;
  return static_cast<int>(std::clamp(*number, double(low), double(high)));
}

std::optional<bool> storedBool(const SettingsStore& store, std::string_view key) {
  auto text = store.value(key);
  return text ? parseSettingBool(*text) : std::nullopt;
}

std::string settingText(int value) { return std::to_string(value); }

std::string settingText(bool value) { return value ? "true" : "false"; }

}  // namespace quimbel
